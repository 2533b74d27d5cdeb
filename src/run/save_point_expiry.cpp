#include "run/run.h"

namespace {

constexpr uint64_t kTicksPerSecond = 10000000;
constexpr uint64_t kMaxAgeSeconds = 30 * 86400;

// A save point dated after the present moment (the clock was set back) is
// kept, and so is one whose date can't be read.
bool IsExpired(const platform::SystemTime& time, uint64_t now) {
  uint64_t recorded = 0;
  if (!platform::SystemTimeToFileTime(&time, &recorded)) return false;
  if (recorded > now) return false;
  return (now - recorded) / kTicksPerSecond > kMaxAgeSeconds;
}

}  // namespace

void ExpireSavePoints(platform::UniqueFile volume, SavePointTable table) {
  platform::SystemTime present{};
  platform::GetLocalTime(&present);
  uint64_t now = 0;
  if (!platform::SystemTimeToFileTime(&present, &now)) return;

  for (uint32_t index = 0; index < kSavePointCount; ++index) {
    const SavePointEntry entry = ReadSavePointEntry(table.get(), index);
    if (!entry.inUse || !IsExpired(entry.time, now)) continue;
    if (!DeleteSavePoint(volume.get(), entry.id)) {
      volume.reset();
      table.reset();
      platform::MessageBoxW(u"删除临时存点失败！", u"", platform::kMbOk | platform::kMbIconError);
      return;
    }
  }
}
