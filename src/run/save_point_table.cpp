#include "run/save_point_table.h"

#include <cstring>

namespace {

constexpr uint32_t kFirstEntryOffset = 896;
constexpr uint32_t kEntryBytes = 372;
constexpr uint32_t kIdOffset = 0;
constexpr uint32_t kInUseOffset = 8;
constexpr uint32_t kTimeOffset = 28;

uint16_t ReadLittleEndian16(const uint8_t* bytes) {
  return static_cast<uint16_t>(bytes[0] | (bytes[1] << 8));
}

}  // namespace

std::optional<uint32_t> SavePointTableSize(uint32_t bytesPerSector) {
  // Zero would divide by zero, and the sum below must not wrap.
  if (bytesPerSector == 0 || bytesPerSector > UINT32_MAX - (kSavePointTableBytes - 1)) return std::nullopt;
  return bytesPerSector * ((bytesPerSector + kSavePointTableBytes - 1) / bytesPerSector);
}

SavePointTable QuerySavePointTable(platform::FileHandle volume, uint32_t bytesPerSector,
                                   bool* allocationFailed) {
  *allocationFailed = false;
  const std::optional<uint32_t> size = SavePointTableSize(bytesPerSector);
  if (!size) return nullptr;
  SavePointTable table = platform::HeapAlloc(*size, /*zeroMemory=*/true);
  if (!table) {
    *allocationFailed = true;
    return nullptr;
  }
  uint32_t returned = 0;
  if (!platform::DeviceIoControl(volume, IOCTL_SAVEPOINT_LIST, nullptr, 0, table.get(), *size, &returned)) {
    return nullptr;
  }
  return table;
}

bool DeleteSavePoint(platform::FileHandle volume, const uint8_t id[4]) {
  uint32_t returned = 0;
  return platform::DeviceIoControl(volume, IOCTL_SAVEPOINT_DELETE, id, 4, nullptr, 0, &returned);
}

SavePointEntry ReadSavePointEntry(const uint8_t* table, uint32_t index) {
  const uint8_t* entry = table + kFirstEntryOffset + kEntryBytes * index;
  SavePointEntry view{};
  std::memcpy(view.id, entry + kIdOffset, sizeof view.id);
  view.inUse = entry[kInUseOffset] != 0;
  const uint8_t* time = entry + kTimeOffset;
  view.time.year = ReadLittleEndian16(time + 0);
  view.time.month = ReadLittleEndian16(time + 2);
  view.time.dayOfWeek = ReadLittleEndian16(time + 4);
  view.time.day = ReadLittleEndian16(time + 6);
  view.time.hour = ReadLittleEndian16(time + 8);
  view.time.minute = ReadLittleEndian16(time + 10);
  view.time.second = ReadLittleEndian16(time + 12);
  view.time.milliseconds = ReadLittleEndian16(time + 14);
  return view;
}
