#include <string>

#include "cleanup/cleanup.h"
#include "cleanup/console_report.h"

namespace {

constexpr uint32_t kSubkeysRemained = 21;
constexpr uint32_t kMessageUnits = 512;

// "删除操作失败，在" and "下存在不能删除的子Key!" in code page 936.
constexpr char kUndeletableHead[] = "\n\xC9\xBE\xB3\xFD\xB2\xD9\xD7\xF7\xCA\xA7\xB0\xDC\xA3\xAC\xD4\xDA";
constexpr char kUndeletableTail[] = "\xCF\xC2\xB4\xE6\xD4\xDA\xB2\xBB\xC4\xDC\xC9\xBE\xB3\xFD\xB5\xC4\xD7\xD3Key!\n";

void ReportError(uint32_t code) {
  Report("\nError! code=" + std::to_string(static_cast<int32_t>(code)));
  char16_t message[kMessageUnits] = {};
  const uint32_t units = platform::FormatMessageW(platform::kFormatMessageFromSystem, code, message, kMessageUnits);
  if (units == 0) {
    Report("\nError Message:no system text for this code\n");
    return;
  }
  Report("\nError Message:" + ToAnsi(std::u16string_view(message, units)));
}

uint32_t SubkeyCount(platform::RegKey key) {
  uint32_t count = 0;
  platform::RegQueryInfoKeyW(key, &count);  // a failed query counts as none
  return count;
}

}  // namespace

uint32_t DeleteKeyTree(platform::RegKey parent, const char16_t* name) {
  platform::UniqueRegKey key;
  const long opened = platform::RegOpenKeyExW(parent, name, 0, platform::kKeyAllAccess, &key);
  if (opened != 0) {
    ReportError(static_cast<uint32_t>(opened));
    return static_cast<uint32_t>(opened);
  }

  if (SubkeyCount(key.get()) > 0) {
    char16_t child[platform::kMaxPath] = {};
    while (platform::RegEnumKeyW(key.get(), 0, child, platform::kMaxPath) == 0) {
      ReportWide(u"\nDeleting Child key " + std::u16string(child) + u" of " + name + u"...");
      const uint32_t result = DeleteKeyTree(key.get(), child);
      if (result != 0) return result;
    }
  }

  if (SubkeyCount(key.get()) > 0) {
    Report(kUndeletableHead + ToAnsi(name) + kUndeletableTail);
    return kSubkeysRemained;
  }

  key.reset();
  const long deleted = platform::RegDeleteKeyW(parent, name);
  if (deleted != 0) {
    ReportError(static_cast<uint32_t>(deleted));
    return static_cast<uint32_t>(deleted);
  }
  Report("\nSuccessfully delete key: " + ToAnsi(name) + "!");
  return 0;
}

platform::UniqueRegKey CreateLocalMachineKey(const char16_t* subKey) {
  platform::UniqueRegKey key;
  uint32_t disposition = 0;
  platform::RegCreateKeyExW(platform::LocalMachineKey(), subKey, u"", platform::kRegOptionNonVolatile,
                            platform::kKeyAllAccess, &key, &disposition);
  return key;
}
