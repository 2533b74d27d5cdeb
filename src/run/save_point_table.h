// The tool's side of the driver's control interface: the two requests sent to
// volume C: and the few fields of the save point table the tool reads.
#pragma once

#include <cstdint>
#include <optional>

#include "platform/platform.h"

constexpr uint32_t IOCTL_SAVEPOINT_LIST = 0x88000004;
constexpr uint32_t IOCTL_SAVEPOINT_DELETE = 0x8800000C;

constexpr uint32_t kSavePointCount = 1000;
constexpr uint32_t kSavePointTableBytes = 373264;

// The table buffer, owned by whoever holds the volume.
using SavePointTable = platform::UniqueHeapBuffer;

// One entry of the table, copied out byte by byte.
struct SavePointEntry {
  uint8_t id[4];  // opaque to the tool; sent back unchanged
  bool inUse;
  platform::SystemTime time;
};

// Table size rounded up to whole sectors, or nothing for a sector size of 0 or
// one so large that the rounding would overflow 32 bits.
std::optional<uint32_t> SavePointTableSize(uint32_t bytesPerSector);

// Sends the list request; nothing when the buffer can't be allocated
// (*allocationFailed set) or the driver does not answer.
SavePointTable QuerySavePointTable(platform::FileHandle volume, uint32_t bytesPerSector,
                                   bool* allocationFailed);

bool DeleteSavePoint(platform::FileHandle volume, const uint8_t id[4]);

// Entry index 0..kSavePointCount-1 of a table returned by QuerySavePointTable.
SavePointEntry ReadSavePointEntry(const uint8_t* table, uint32_t index);
