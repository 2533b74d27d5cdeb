// Text conversion, code pages, SYSTEMTIME arithmetic and GUIDs of the
// simulated machine.
#include <cstdio>
#include <stdexcept>

#include "simulated_machine.h"

namespace sim {

namespace {

constexpr char16_t kReplacement = 0xFFFD;

char16_t foldToUpper(char16_t unit) { return (unit >= u'a' && unit <= u'z') ? static_cast<char16_t>(unit - 32) : unit; }

bool isHighSurrogate(char16_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool isLowSurrogate(char16_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

void appendUtf8(std::string& out, uint32_t point) {
  if (point < 0x80) {
    out.push_back(static_cast<char>(point));
  } else if (point < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (point >> 6)));
    out.push_back(static_cast<char>(0x80 | (point & 0x3F)));
  } else if (point < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (point >> 12)));
    out.push_back(static_cast<char>(0x80 | ((point >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (point & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (point >> 18)));
    out.push_back(static_cast<char>(0x80 | ((point >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((point >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (point & 0x3F)));
  }
}

void appendUtf16(std::u16string& out, uint32_t point) {
  if (point < 0x10000) {
    out.push_back(static_cast<char16_t>(point));
    return;
  }
  point -= 0x10000;
  out.push_back(static_cast<char16_t>(0xD800 | (point >> 10)));
  out.push_back(static_cast<char16_t>(0xDC00 | (point & 0x3FF)));
}

// Civil date <-> days since 1970-01-01, proleptic Gregorian.
int64_t daysFromCivil(int64_t year, unsigned month, unsigned day) {
  year -= month <= 2 ? 1 : 0;
  const int64_t era = (year >= 0 ? year : year - 399) / 400;
  const auto yearOfEra = static_cast<unsigned>(year - era * 400);
  const unsigned dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
  const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + static_cast<int64_t>(dayOfEra) - 719468;
}

void civilFromDays(int64_t days, int64_t* year, unsigned* month, unsigned* day) {
  days += 719468;
  const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const auto dayOfEra = static_cast<unsigned>(days - era * 146097);
  const unsigned yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const unsigned shiftedMonth = (5 * dayOfYear + 2) / 153;
  *day = dayOfYear - (153 * shiftedMonth + 2) / 5 + 1;
  *month = shiftedMonth < 10 ? shiftedMonth + 3 : shiftedMonth - 9;
  *year = static_cast<int64_t>(yearOfEra) + era * 400 + (*month <= 2 ? 1 : 0);
}

const int64_t kDaysBefore1601 = daysFromCivil(1601, 1, 1);
constexpr uint64_t kTicksPerDay = 864'000'000'000;

bool isLeapYear(unsigned year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

unsigned daysInMonth(unsigned year, unsigned month) {
  static constexpr unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && isLeapYear(year) ? 29 : kDays[month - 1];
}

}  // namespace

// ---- Text ----

std::string toUtf8(std::u16string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    const char16_t unit = text[i];
    if (isHighSurrogate(unit) && i + 1 < text.size() && isLowSurrogate(text[i + 1])) {
      appendUtf8(out, 0x10000 + ((uint32_t{unit} - 0xD800) << 10) + (uint32_t{text[i + 1]} - 0xDC00));
      ++i;
    } else if (isHighSurrogate(unit) || isLowSurrogate(unit)) {
      appendUtf8(out, kReplacement);
    } else {
      appendUtf8(out, unit);
    }
  }
  return out;
}

std::u16string fromUtf8(std::string_view text) {
  std::u16string out;
  size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<uint8_t>(text[i]);
    size_t length = 0;
    uint32_t point = 0;
    if (lead < 0x80) {
      length = 1;
      point = lead;
    } else if ((lead & 0xE0) == 0xC0) {
      length = 2;
      point = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
      length = 3;
      point = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
      length = 4;
      point = lead & 0x07;
    }
    bool valid = length > 0 && i + length <= text.size();
    for (size_t k = 1; valid && k < length; ++k) {
      const auto next = static_cast<uint8_t>(text[i + k]);
      valid = (next & 0xC0) == 0x80;
      point = (point << 6) | (next & 0x3F);
    }
    if (!valid) {
      out.push_back(kReplacement);
      ++i;
      continue;
    }
    appendUtf16(out, point);
    i += length;
  }
  return out;
}

bool sameTextIgnoringCase(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (foldToUpper(a[i]) != foldToUpper(b[i])) return false;
  }
  return true;
}

bool NameOrder::operator()(std::u16string_view a, std::u16string_view b) const {
  const size_t common = a.size() < b.size() ? a.size() : b.size();
  for (size_t i = 0; i < common; ++i) {
    const char16_t x = foldToUpper(a[i]);
    const char16_t y = foldToUpper(b[i]);
    if (x != y) return x < y;
  }
  return a.size() < b.size();
}

// ---- Code pages ----

void CodePage::map(char16_t unit, std::string bytes) {
  unitOf[bytes] = unit;
  bytesOf[unit] = std::move(bytes);
}

bool CodePage::isLeadByte(uint8_t byte) const {
  return firstLeadByte != 0 && byte >= firstLeadByte && byte <= lastLeadByte;
}

std::string CodePage::encode(std::u16string_view text, bool* usedDefault) const {
  if (utf8) return toUtf8(text);
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    const char16_t unit = text[i];
    if (unit < 0x80) {
      out.push_back(static_cast<char>(unit));
      continue;
    }
    const auto found = bytesOf.find(unit);
    if (found != bytesOf.end()) {
      out += found->second;
      continue;
    }
    // A surrogate pair is one character and becomes one '?'.
    if (isHighSurrogate(unit) && i + 1 < text.size() && isLowSurrogate(text[i + 1])) ++i;
    out.push_back('?');
    if (usedDefault) *usedDefault = true;
  }
  return out;
}

std::u16string CodePage::decode(std::string_view bytes) const {
  if (utf8) return fromUtf8(bytes);
  std::u16string out;
  size_t i = 0;
  while (i < bytes.size()) {
    const auto byte = static_cast<uint8_t>(bytes[i]);
    if (byte < 0x80) {
      out.push_back(byte);
      ++i;
      continue;
    }
    const size_t length = isLeadByte(byte) ? 2 : 1;
    if (i + length > bytes.size()) {
      out.push_back(kReplacement);
      break;
    }
    const auto found = unitOf.find(std::string(bytes.substr(i, length)));
    out.push_back(found != unitOf.end() ? found->second : kReplacement);
    i += length;
  }
  return out;
}

CodePage CodePage::Latin1() {
  CodePage page;
  page.number = 28591;
  for (unsigned unit = 0x80; unit <= 0xFF; ++unit) {
    page.map(static_cast<char16_t>(unit), std::string(1, static_cast<char>(unit)));
  }
  return page;
}

CodePage CodePage::Oem437() {
  CodePage page;
  page.number = 437;
  static constexpr char16_t kFrom0x80[] = u"ÇüéâäàåçêëèïîìÄÅÉæÆôöòûùÿÖÜ¢£¥₧ƒáíóúñÑ";
  for (unsigned i = 0; kFrom0x80[i] != 0; ++i) page.map(kFrom0x80[i], std::string(1, static_cast<char>(0x80 + i)));
  page.map(u'ß', "\xE1");
  page.map(u'µ', "\xE6");
  page.map(u'°', "\xF8");
  return page;
}

CodePage CodePage::Gbk936Subset() {
  CodePage page;
  page.number = 936;
  page.firstLeadByte = 0x81;
  page.lastLeadByte = 0xFE;
  static const struct {
    char16_t unit;
    const char* bytes;
  } kCharacters[] = {
      {u'卸', "\xD0\xB6"}, {u'载', "\xD4\xD8"}, {u'中', "\xD6\xD0"}, {u'文', "\xCE\xC4"},
      {u'张', "\xD5\xC5"}, {u'伟', "\xCE\xB0"}, {u'删', "\xC9\xBE"}, {u'除', "\xB3\xFD"},
      {u'临', "\xC1\xD9"}, {u'时', "\xCA\xB1"}, {u'存', "\xB4\xE6"}, {u'点', "\xB5\xE3"},
      {u'失', "\xCA\xA7"}, {u'败', "\xB0\xDC"}, {u'操', "\xB2\xD9"}, {u'作', "\xD7\xF7"},
      {u'在', "\xD4\xDA"}, {u'下', "\xCF\xC2"}, {u'不', "\xB2\xBB"}, {u'能', "\xC4\xDC"},
      {u'的', "\xB5\xC4"}, {u'子', "\xD7\xD3"}, {u'成', "\xB3\xC9"}, {u'功', "\xB9\xA6"},
      {u'键', "\xBC\xFC"}, {u'值', "\xD6\xB5"}, {u'！', "\xA3\xA1"}, {u'，', "\xA3\xAC"},
  };
  for (const auto& character : kCharacters) page.map(character.unit, character.bytes);
  return page;
}

CodePage CodePage::Utf8() {
  CodePage page;
  page.number = 65001;
  page.utf8 = true;
  return page;
}

// ---- Time ----

SystemTime makeTime(int year, int month, int day, int hour, int minute, int second, int milliseconds) {
  SystemTime time{};
  time.year = static_cast<uint16_t>(year);
  time.month = static_cast<uint16_t>(month);
  time.day = static_cast<uint16_t>(day);
  time.hour = static_cast<uint16_t>(hour);
  time.minute = static_cast<uint16_t>(minute);
  time.second = static_cast<uint16_t>(second);
  time.milliseconds = static_cast<uint16_t>(milliseconds);
  if (const std::optional<uint64_t> ticks = toFileTime(time)) time.dayOfWeek = fromFileTime(*ticks).dayOfWeek;
  return time;
}

std::optional<uint64_t> toFileTime(const SystemTime& time) {
  if (time.year < 1601 || time.year > 30827) return std::nullopt;
  if (time.month < 1 || time.month > 12) return std::nullopt;
  if (time.day < 1 || time.day > daysInMonth(time.year, time.month)) return std::nullopt;
  if (time.hour > 23 || time.minute > 59 || time.second > 59 || time.milliseconds > 999) return std::nullopt;
  const auto days = static_cast<uint64_t>(daysFromCivil(time.year, time.month, time.day) - kDaysBefore1601);
  const uint64_t milliseconds =
      ((uint64_t{time.hour} * 60 + time.minute) * 60 + time.second) * 1000 + time.milliseconds;
  return days * kTicksPerDay + milliseconds * kTicksPerMillisecond;
}

SystemTime fromFileTime(uint64_t ticks) {
  const uint64_t days = ticks / kTicksPerDay;
  const uint64_t milliseconds = ticks % kTicksPerDay / kTicksPerMillisecond;
  int64_t year = 0;
  unsigned month = 0;
  unsigned day = 0;
  civilFromDays(static_cast<int64_t>(days) + kDaysBefore1601, &year, &month, &day);
  SystemTime time{};
  time.year = static_cast<uint16_t>(year);
  time.month = static_cast<uint16_t>(month);
  time.day = static_cast<uint16_t>(day);
  time.dayOfWeek = static_cast<uint16_t>((days + 1) % 7);  // 1601-01-01 was a Monday
  time.hour = static_cast<uint16_t>(milliseconds / 3'600'000);
  time.minute = static_cast<uint16_t>(milliseconds / 60'000 % 60);
  time.second = static_cast<uint16_t>(milliseconds / 1000 % 60);
  time.milliseconds = static_cast<uint16_t>(milliseconds % 1000);
  return time;
}

SystemTime shiftedTime(const SystemTime& time, int64_t milliseconds) {
  const std::optional<uint64_t> ticks = toFileTime(time);
  if (!ticks) throw std::invalid_argument("shiftedTime: not a valid date: " + timeText(time));
  const int64_t shifted = static_cast<int64_t>(*ticks) + milliseconds * kTicksPerMillisecond;
  if (shifted < 0) throw std::invalid_argument("shiftedTime: before 1601");
  return fromFileTime(static_cast<uint64_t>(shifted));
}

std::string timeText(const SystemTime& time) {
  char text[64];
  std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u.%03u", unsigned{time.year}, unsigned{time.month},
                unsigned{time.day}, unsigned{time.hour}, unsigned{time.minute}, unsigned{time.second},
                unsigned{time.milliseconds});
  return text;
}

// ---- GUIDs ----

bool sameGuid(const Guid& a, const Guid& b) {
  if (a.data1 != b.data1 || a.data2 != b.data2 || a.data3 != b.data3) return false;
  for (int i = 0; i < 8; ++i) {
    if (a.data4[i] != b.data4[i]) return false;
  }
  return true;
}

std::string guidText(const Guid& guid) {
  char text[40];
  std::snprintf(text, sizeof text, "%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x", unsigned{guid.data1},
                unsigned{guid.data2}, unsigned{guid.data3}, guid.data4[0], guid.data4[1], guid.data4[2],
                guid.data4[3], guid.data4[4], guid.data4[5], guid.data4[6], guid.data4[7]);
  return text;
}

}  // namespace sim
