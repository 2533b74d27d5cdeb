#include <cstdio>
#include <cstring>
#include <string_view>
#include <utility>

#include "cleanup/cleanup.h"
#include "cleanup/console_report.h"

namespace {

constexpr platform::Guid kDiskInterfaceClass = {
    0x53f56307, 0xb6bf, 0x11d0, {0x94, 0xf2, 0x00, 0xa0, 0xc9, 0x1e, 0xfb, 0x8b}};
constexpr platform::Guid kVolumeInterfaceClass = {
    0x53f5630d, 0xb6bf, 0x11d0, {0x94, 0xf2, 0x00, 0xa0, 0xc9, 0x1e, 0xfb, 0x8b}};

constexpr uint32_t kPresentInterfaceDevices =
    platform::kDigcfPresent | platform::kDigcfProfile | platform::kDigcfDeviceInterface;

// Two zero units after the property's bytes, rounded up to whole units.
constexpr uint64_t kTerminatorBytes = 4;

const char16_t* Text(const platform::UniqueHeapBuffer& buffer) {
  return reinterpret_cast<const char16_t*>(buffer.get());
}

size_t TextLength(const char16_t* text) { return std::char_traits<char16_t>::length(text); }

char16_t FoldAsciiLetter(char16_t unit) { return (unit >= u'A' && unit <= u'Z') ? unit - u'A' + u'a' : unit; }

// Locale-independent: only A-Z fold onto a-z.
bool EqualIgnoringAsciiCase(const char16_t* left, const char16_t* right) {
  for (; *left != 0 && *right != 0; ++left, ++right) {
    if (FoldAsciiLetter(*left) != FoldAsciiLetter(*right)) return false;
  }
  return *left == *right;
}

void ReportWithCode(const char* format, uint32_t code) {
  char line[128];
  std::snprintf(line, sizeof line, format, code);
  Report(line);
}

bool IsDiskDrive(platform::DevInfoSet set, platform::DevInfoData* device) {
  uint32_t type = 0;
  platform::UniqueHeapBuffer deviceClass = GetDeviceRegistryProperty(set, device, platform::kSpdrpClass, &type);
  if (!deviceClass) return false;
  return type == platform::kRegSz && std::u16string_view(Text(deviceClass)) == u"DiskDrive";
}

// False only when the class's device list can't be built.
bool RemoveFilterFromClass(const platform::Guid& interfaceClass, const char16_t* filterName) {
  platform::UniqueDevInfoSet set = platform::SetupDiGetClassDevsW(&interfaceClass, kPresentInterfaceDevices);
  if (!set) return false;
  platform::DevInfoData device{};
  device.cbSize = sizeof device;
  for (uint32_t index = 0; platform::SetupDiEnumDeviceInfo(set.get(), index, &device); ++index) {
    if (!IsDiskDrive(set.get(), &device)) continue;
    if (!RemoveUpperFilterDriver(set.get(), &device, filterName)) Report("Unable to remove filter!\n");
  }
  if (!platform::SetupDiDestroyDeviceInfoList(std::move(set))) {
    ReportWithCode("unable to delete device info list! error: %u\n", platform::GetLastError());
  }
  return true;
}

}  // namespace

bool DeregisterDiskFilter() {
  for (const platform::Guid* interfaceClass : {&kDiskInterfaceClass, &kVolumeInterfaceClass}) {
    if (!RemoveFilterFromClass(*interfaceClass, u"Durvak")) return false;
  }
  return true;
}

bool RemoveUpperFilterDriver(platform::DevInfoSet set, platform::DevInfoData* device, const char16_t* filterName) {
  uint32_t type = 0;
  platform::UniqueHeapBuffer filters = GetDeviceRegistryProperty(set, device, platform::kSpdrpUpperFilters, &type);
  if (!filters) return true;
  if (type != platform::kRegMultiSz) {
    Report("in GetUpperFilters(): registry key is not a MULTI_SZ!\n");
    return true;
  }

  char16_t* list = reinterpret_cast<char16_t*>(filters.get());
  uint32_t length = 0;
  RemoveMultiSzEntries(list, filterName, &length);
  const uint32_t units = MultiSzUnitCount(list);
  const bool written =
      units == 1 ? platform::SetupDiSetDeviceRegistryPropertyW(set, device, platform::kSpdrpUpperFilters, nullptr, 0)
                 : platform::SetupDiSetDeviceRegistryPropertyW(set, device, platform::kSpdrpUpperFilters,
                                                               filters.get(), 2 * units);
  filters.reset();
  if (!written) {
    ReportWithCode("in RemoveUpperFilterDriver(): couldn't set registry value! error: %i\n", platform::GetLastError());
    return false;
  }
  return true;
}

platform::UniqueHeapBuffer GetDeviceRegistryProperty(platform::DevInfoSet set, platform::DevInfoData* device,
                                                     uint32_t property, uint32_t* registryType) {
  uint32_t required = 0;
  if (platform::SetupDiGetDeviceRegistryPropertyW(set, device, property, nullptr, nullptr, 0, &required)) {
    ReportWithCode("in GetDeviceRegistryProperty(): call SetupDiGetDeviceRegistryProperty did not fail? (%x)\n",
                   platform::GetLastError());
    return nullptr;
  }
  if (platform::GetLastError() != platform::kErrorInsufficientBuffer) return nullptr;

  const uint64_t bytes = (uint64_t{required} + 1) / 2 * 2 + kTerminatorBytes;
  platform::UniqueHeapBuffer buffer;
  if (bytes <= SIZE_MAX) buffer = platform::HeapAlloc(static_cast<size_t>(bytes), /*zeroMemory=*/true);
  if (!buffer) {
    Report("in GetDeviceRegistryProperty(): unable to allocate memory!\n");
    return nullptr;
  }
  if (!platform::SetupDiGetDeviceRegistryPropertyW(set, device, property, registryType, buffer.get(), required,
                                                   nullptr)) {
    ReportWithCode("in GetDeviceRegistryProperty(): couldn't get registry property! error: %i\n",
                   platform::GetLastError());
    return nullptr;
  }
  return buffer;
}

uint32_t RemoveMultiSzEntries(char16_t* list, const char16_t* name, uint32_t* length) {
  *length = MultiSzUnitCount(list);
  uint32_t kept = 0;
  uint32_t removed = 0;
  while (list[kept] != 0) {
    char16_t* entry = list + kept;
    const uint32_t entryUnits = static_cast<uint32_t>(TextLength(entry)) + 1;
    if (!EqualIgnoringAsciiCase(entry, name)) {
      kept += entryUnits;
      continue;
    }
    *length -= entryUnits;
    std::memmove(entry, entry + entryUnits, (*length - kept) * sizeof(char16_t));
    ++removed;
  }
  return removed;
}

uint32_t MultiSzUnitCount(const char16_t* list) {
  uint32_t units = 0;
  while (list[units] != 0) units += static_cast<uint32_t>(TextLength(list + units)) + 1;
  return units + 1;
}
