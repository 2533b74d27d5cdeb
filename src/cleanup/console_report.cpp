#include "cleanup/console_report.h"

#include "platform/platform.h"

namespace {

// No best-fit mapping, so a character without an equivalent shows as '?'.
// Code pages that refuse the flag (UTF-8) are converted without it.
bool ConvertToAnsi(std::u16string_view text, uint32_t flags, std::string* converted) {
  const int units = static_cast<int>(text.size());
  const int bytes = platform::WideCharToMultiByte(platform::kCpAcp, flags, text.data(), units, nullptr, 0, nullptr);
  if (bytes <= 0) return false;
  converted->assign(static_cast<size_t>(bytes), '\0');
  return platform::WideCharToMultiByte(platform::kCpAcp, flags, text.data(), units, converted->data(), bytes,
                                       nullptr) == bytes;
}

}  // namespace

std::string ToAnsi(std::u16string_view text) {
  std::string converted;
  if (text.empty()) return converted;
  if (ConvertToAnsi(text, platform::kWcNoBestFitChars, &converted)) return converted;
  if (ConvertToAnsi(text, 0, &converted)) return converted;
  return std::string(text.size(), '?');
}

void Report(std::string_view line) { platform::WriteStandardOutput(line.data(), line.size()); }

void ReportWide(std::u16string_view line) { Report(ToAnsi(line)); }
