// Taking Durvak out of the upper filters of every present disk drive.
#include <gtest/gtest.h>

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cleanup/cleanup.h"
#include "machine_test.h"

namespace {

using namespace std::string_view_literals;

constexpr char16_t kDiskClassText[] = u"53f56307-b6bf-11d0-94f2-00a0c91efb8b";
constexpr char16_t kVolumeClassText[] = u"53f5630d-b6bf-11d0-94f2-00a0c91efb8b";

// UTF-16 units as little-endian bytes, exactly as given: no terminator added.
std::vector<uint8_t> Bytes(std::u16string_view units) {
  std::vector<uint8_t> bytes;
  for (const char16_t unit : units) {
    bytes.push_back(static_cast<uint8_t>(unit));
    bytes.push_back(static_cast<uint8_t>(unit >> 8));
  }
  return bytes;
}

sim::DeviceProperty Raw(uint32_t type, std::u16string_view units) { return sim::DeviceProperty{type, Bytes(units)}; }

std::vector<std::string> Names(const std::vector<std::u16string>& names) {
  std::vector<std::string> text;
  for (const std::u16string& name : names) text.push_back(Utf8(name));
  return text;
}

std::vector<std::string> FilterNames(sim::Machine& m, std::u16string_view device) {
  const sim::Device* found = m.findDevice(device);
  return found ? Names(found->upperFilterNames()) : std::vector<std::string>{"<no such device>"};
}

// A terminated multi-string with guard units after it, to catch writes past its end.
constexpr char16_t kGuard = 0xBEEF;
constexpr size_t kGuardUnits = 4;

std::vector<char16_t> MultiSzWithGuard(const std::vector<std::u16string>& entries) {
  std::vector<char16_t> list;
  for (const std::u16string& entry : entries) {
    list.insert(list.end(), entry.begin(), entry.end());
    list.push_back(0);
  }
  list.push_back(0);
  list.insert(list.end(), kGuardUnits, kGuard);
  return list;
}

std::vector<std::u16string> EntriesOf(const char16_t* list) {
  std::vector<std::u16string> entries;
  while (*list != 0) {
    entries.emplace_back(list);
    list += entries.back().size() + 1;
  }
  return entries;
}

// ---- The multi-string helpers ----

TEST(DiskFilterMultiSz, MatchingEntriesAreRemovedAndTheRestKeepsItsOrder) {
  const struct {
    const char* label;
    std::vector<std::u16string> entries;
    const char16_t* name;
    uint32_t removed;
    std::vector<std::u16string> after;
    uint32_t length;
  } cases[] = {
      {"filter last", {u"PartMgr", u"Durvak"}, u"Durvak", 1, {u"PartMgr"}, 9},
      {"both letter cases", {u"Durvak", u"DURVAK"}, u"Durvak", 2, {}, 1},
      {"no match", {u"PartMgr", u"Other"}, u"Durvak", 0, {u"PartMgr", u"Other"}, 15},
      {"filter in the middle", {u"A", u"Durvak", u"B"}, u"Durvak", 1, {u"A", u"B"}, 5},
      {"every match goes",
       {u"durvak", u"PartMgr", u"DuRvAk", u"X", u"DURVAK"}, u"Durvak", 3, {u"PartMgr", u"X"}, 11},
      {"length must match",
       {u"Durvak2", u"Durvakx", u"Durva", u"Durvak"}, u"Durvak", 1, {u"Durvak2", u"Durvakx", u"Durva"}, 23},
      {"no folding beyond ASCII",  // Kelvin sign (lower case: k), Cyrillic a, fullwidth D
       {u"DURVA\u212A", u"Durv\u0430k", u"\uFF24urvak", u"DURVAK"}, u"Durvak", 1,
       {u"DURVA\u212A", u"Durv\u0430k", u"\uFF24urvak"}, 22},
      {"only A-Z fold", {u"A[B`", u"a{b@", u"A[B@"}, u"a[b@", 1, {u"A[B`", u"a{b@"}, 11},
      {"empty list", {}, u"Durvak", 0, {}, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    std::vector<char16_t> list = MultiSzWithGuard(c.entries);
    const size_t end = list.size() - kGuardUnits;
    uint32_t length = 0xFFFF;

    EXPECT_EQ(RemoveMultiSzEntries(list.data(), c.name, &length), c.removed);

    EXPECT_EQ(Names(EntriesOf(list.data())), Names(c.after));
    EXPECT_EQ(length, c.length);
    EXPECT_EQ(MultiSzUnitCount(list.data()), c.length);
    EXPECT_EQ(std::vector<char16_t>(list.begin() + static_cast<std::ptrdiff_t>(end), list.end()),
              std::vector<char16_t>(kGuardUnits, kGuard));
  }
}

TEST(DiskFilterMultiSz, UnitCountIncludesEachTerminatorAndTheFinalZero) {
  const struct {
    std::vector<std::u16string> entries;
    uint32_t units;
  } cases[] = {{{}, 1}, {{u"ab", u"c"}, 6}, {{u"Durvak"}, 8}, {{u"PartMgr", u"Durvak"}, 16}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(Names(c.entries)));
    EXPECT_EQ(MultiSzUnitCount(MultiSzWithGuard(c.entries).data()), c.units);
  }
}

// ---- Device properties ----

// Disk0's filters {PartMgr, Durvak} after the run.
const std::vector<std::string> kEdited = {"PartMgr"};
const std::vector<std::string> kUntouched = {"PartMgr", "Durvak"};

class DiskFilter : public MachineTest {};

TEST_F(DiskFilter, PropertyBufferHoldsTheBytesFollowedByTwoZeroUnits) {
  const struct {
    const char* label;
    std::optional<sim::DeviceProperty> value;
    size_t bufferBytes;  // 0: no buffer
  } cases[] = {
      {"terminated text", sim::regSz(u"DiskDrive"), 24},
      {"text without its zero unit", Raw(platform::kRegSz, u"DiskDrive"), 22},
      {"odd byte count", sim::DeviceProperty{3, {1, 2, 3, 4, 5}}, 10},
      {"empty value", sim::DeviceProperty{platform::kRegMultiSz, {}}, 4},
      {"absent", std::nullopt, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    sim::reset();
    sim::Device& disk = machine.addDiskDrive(u"Disk0");
    if (c.value) disk.properties[0x0C] = *c.value;
    platform::UniqueDevInfoSet set = platform::SetupDiGetClassDevsW(&sim::kDiskInterfaceClass, 0x1A);
    ASSERT_TRUE(set);
    platform::DevInfoData device{};
    device.cbSize = sizeof device;
    ASSERT_TRUE(platform::SetupDiEnumDeviceInfo(set.get(), 0, &device));
    uint32_t type = 0xFFFF;

    const platform::UniqueHeapBuffer buffer = GetDeviceRegistryProperty(set.get(), &device, 0x0C, &type);

    EXPECT_EQ(machine.console, "");
    if (c.bufferBytes == 0) {
      EXPECT_FALSE(buffer);
      EXPECT_TRUE(machine.allocations.empty());
      continue;
    }
    ASSERT_TRUE(buffer);
    EXPECT_EQ(type, c.value->type);
    ASSERT_EQ(machine.bufferSize(buffer.get()), c.bufferBytes);
    std::vector<uint8_t> expected = c.value->bytes;
    expected.resize(c.bufferBytes, 0);
    EXPECT_EQ(std::vector<uint8_t>(buffer.get(), buffer.get() + c.bufferBytes), expected);
  }
}

TEST_F(DiskFilter, UpperFiltersLoseDurvakAndAreWrittenBackTerminated) {
  const struct {
    const char* label;
    sim::DeviceProperty filters;
    std::optional<std::vector<uint8_t>> written;  // nothing: the property is removed
  } cases[] = {
      {"PartMgr then Durvak", sim::multiSz({u"PartMgr", u"Durvak"}), Bytes(u"PartMgr\0\0"sv)},
      {"Durvak and DURVAK", sim::multiSz({u"Durvak", u"DURVAK"}), std::nullopt},
      {"no Durvak entry", sim::multiSz({u"PartMgr", u"Other"}), Bytes(u"PartMgr\0Other\0\0"sv)},
      {"Durvak in the middle", sim::multiSz({u"PartMgr", u"Durvak", u"EhStor"}), Bytes(u"PartMgr\0EhStor\0\0"sv)},
      {"only look-alikes", sim::multiSz({u"Durvak2", u"Durvakx", u"Durva"}),
       Bytes(u"Durvak2\0Durvakx\0Durva\0\0"sv)},
      {"empty list", sim::multiSz({}), std::nullopt},
      {"no terminators at all", Raw(platform::kRegMultiSz, u"PartMgr\0Durvak"sv), Bytes(u"PartMgr\0\0"sv)},
      {"final zero missing", Raw(platform::kRegMultiSz, u"PartMgr\0Durvak\0"sv), Bytes(u"PartMgr\0\0"sv)},
      {"unterminated, no Durvak", Raw(platform::kRegMultiSz, u"PartMgr"sv), Bytes(u"PartMgr\0\0"sv)},
      {"unterminated Durvak alone", Raw(platform::kRegMultiSz, u"Durvak"sv), std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    sim::reset();
    machine.addDiskDrive(u"Disk0", c.filters);

    EXPECT_TRUE(DeregisterDiskFilter());

    ASSERT_EQ(machine.propertyWrites.size(), 1u);
    const sim::PropertyWrite& write = machine.propertyWrites[0];
    EXPECT_EQ(Utf8(write.device), "Disk0");
    EXPECT_EQ(write.property, 0x11u);
    EXPECT_EQ(write.bytes, c.written);
    EXPECT_EQ(write.error, 0u);
    const sim::DeviceProperty* now = machine.findDevice(u"Disk0")->upperFilters();
    EXPECT_EQ(now != nullptr, c.written.has_value());
    EXPECT_EQ(machine.console, "");
  }
}

TEST_F(DiskFilter, OnlyTheExactClassTextDiskDriveMakesADiskDrive) {
  const struct {
    const char* label;
    std::optional<sim::DeviceProperty> deviceClass;
    bool diskDrive;
  } cases[] = {
      {"DiskDrive", sim::regSz(u"DiskDrive"), true},
      {"DiskDrive without its zero unit", Raw(platform::kRegSz, u"DiskDrive"), true},
      {"diskdrive", sim::regSz(u"diskdrive"), false},
      {"DISKDRIVE", sim::regSz(u"DISKDRIVE"), false},
      {"DiskDriveX", sim::regSz(u"DiskDriveX"), false},
      {"DiskDriveX without its zero unit", Raw(platform::kRegSz, u"DiskDriveX"), false},
      {"DiskDriv", sim::regSz(u"DiskDriv"), false},
      {"DiskDrive as a multi-string", sim::multiSz({u"DiskDrive"}), false},
      {"no class", std::nullopt, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    sim::reset();
    sim::Device& disk = machine.addDiskDrive(u"Disk0", sim::multiSz({u"PartMgr", u"Durvak"}));
    disk.properties.erase(platform::kSpdrpClass);
    if (c.deviceClass) disk.properties[platform::kSpdrpClass] = *c.deviceClass;

    EXPECT_TRUE(DeregisterDiskFilter());

    EXPECT_EQ(FilterNames(machine, u"Disk0"), c.diskDrive ? kEdited : kUntouched);
    EXPECT_EQ(machine.propertyWrites.size(), c.diskDrive ? 1u : 0u);
    EXPECT_EQ(machine.console, "");
  }
}

TEST_F(DiskFilter, DiskDrivesOfEitherInterfaceClassLoseTheFilterAndNoOtherDeviceDoes) {
  machine.addDiskDrive(u"Disk0", sim::multiSz({u"Durvak", u"PartMgr"}));
  machine.addDiskDrive(u"Unplugged", sim::multiSz({u"Durvak"})).present = false;
  machine.addDiskDrive(u"OnlyVolumeInterface", sim::multiSz({u"Durvak"})).interfaceClasses = {
      sim::kVolumeInterfaceClass};
  sim::Device& cdrom = machine.addDevice(u"Cd0");
  cdrom.interfaceClasses = {sim::kDiskInterfaceClass, sim::kVolumeInterfaceClass};
  cdrom.properties[platform::kSpdrpClass] = sim::regSz(u"CDROM");
  cdrom.properties[platform::kSpdrpUpperFilters] = sim::multiSz({u"Durvak"});
  machine.addVolumeDevice(u"Volume0", sim::multiSz({u"Durvak"}));
  machine.addDiskDrive(u"NoFilters");

  EXPECT_TRUE(DeregisterDiskFilter());

  EXPECT_EQ(FilterNames(machine, u"Disk0"), std::vector<std::string>{"PartMgr"});
  EXPECT_EQ(FilterNames(machine, u"Unplugged"), std::vector<std::string>{"Durvak"});
  EXPECT_EQ(machine.findDevice(u"OnlyVolumeInterface")->upperFilters(), nullptr);
  EXPECT_EQ(FilterNames(machine, u"Cd0"), std::vector<std::string>{"Durvak"});
  EXPECT_EQ(FilterNames(machine, u"Volume0"), std::vector<std::string>{"Durvak"});
  EXPECT_EQ(machine.findDevice(u"NoFilters")->upperFilters(), nullptr);
  EXPECT_EQ(machine.console, "");
  // Disks first, then volumes; present devices behind a device interface.
  ASSERT_EQ(machine.deviceSetQueries.size(), 2u);
  EXPECT_TRUE(sim::sameGuid(machine.deviceSetQueries[0].classGuid, sim::kDiskInterfaceClass));
  EXPECT_TRUE(sim::sameGuid(machine.deviceSetQueries[1].classGuid, sim::kVolumeInterfaceClass));
  for (const sim::DeviceSetQuery& query : machine.deviceSetQueries) EXPECT_EQ(query.flags, 0x1Au);
  std::vector<std::string> written;
  for (const sim::PropertyWrite& write : machine.propertyWrites) written.push_back(Utf8(write.device));
  EXPECT_EQ(written, (std::vector<std::string>{"Disk0", "OnlyVolumeInterface"}));
}

TEST_F(DiskFilter, UpperFiltersStoredAsPlainTextAreLeftAloneAndTheWalkGoesOn) {
  machine.addDiskDrive(u"Disk0", sim::regSz(u"Durvak"));
  machine.addDiskDrive(u"Disk1", sim::multiSz({u"Durvak"}));

  EXPECT_TRUE(DeregisterDiskFilter());

  EXPECT_EQ(machine.console, "in GetUpperFilters(): registry key is not a MULTI_SZ!\n");
  ASSERT_NE(machine.findDevice(u"Disk0")->upperFilters(), nullptr);
  EXPECT_EQ(machine.findDevice(u"Disk0")->upperFilters()->bytes, sim::regSz(u"Durvak").bytes);
  EXPECT_EQ(machine.findDevice(u"Disk0")->upperFilters()->type, platform::kRegSz);
  EXPECT_EQ(machine.findDevice(u"Disk1")->upperFilters(), nullptr);
  ASSERT_EQ(machine.propertyWrites.size(), 1u);
  EXPECT_EQ(Utf8(machine.propertyWrites[0].device), "Disk1");
}

TEST_F(DiskFilter, ClassListThatCantBeBuiltEndsTheDeregistrationSilently) {
  const struct {
    const char* label;
    const char16_t* failingClass;
    size_t queries;
    bool diskInterfaceHandled;
  } cases[] = {
      {"disk class", kDiskClassText, 1, false},
      {"volume class", kVolumeClassText, 2, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    sim::reset();
    machine.addDiskDrive(u"Disk0", sim::multiSz({u"PartMgr", u"Durvak"}));
    machine.addDiskDrive(u"OnlyVolumeInterface", sim::multiSz({u"Durvak"})).interfaceClasses = {
        sim::kVolumeInterfaceClass};
    machine.failCall("SetupDiGetClassDevsW", sim::kErrorAccessDenied, 0, std::u16string(c.failingClass));

    EXPECT_FALSE(DeregisterDiskFilter());

    EXPECT_EQ(machine.console, "");
    EXPECT_EQ(machine.deviceSetQueries.size(), c.queries);
    EXPECT_EQ(FilterNames(machine, u"Disk0"), c.diskInterfaceHandled ? kEdited : kUntouched);
    EXPECT_EQ(FilterNames(machine, u"OnlyVolumeInterface"), std::vector<std::string>{"Durvak"});
  }
}

TEST_F(DiskFilter, FailedWriteBackIsReportedAndTheNextDeviceIsHandled) {
  const struct {
    const char* label;
    sim::DeviceProperty filters;
  } cases[] = {
      {"edited list", sim::multiSz({u"PartMgr", u"Durvak"})},
      {"property removal", sim::multiSz({u"Durvak"})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    sim::reset();
    machine.addDiskDrive(u"Disk0", c.filters);
    machine.addDiskDrive(u"Disk1", sim::multiSz({u"Durvak", u"PartMgr"}));
    machine.failCall("SetupDiSetDeviceRegistryPropertyW", sim::kErrorAccessDenied, 0, u"Disk0\\UpperFilters");

    EXPECT_TRUE(DeregisterDiskFilter());

    EXPECT_EQ(machine.console,
              "in RemoveUpperFilterDriver(): couldn't set registry value! error: 5\n"
              "Unable to remove filter!\n");
    EXPECT_EQ(machine.findDevice(u"Disk0")->upperFilters()->bytes, c.filters.bytes);
    EXPECT_EQ(FilterNames(machine, u"Disk1"), std::vector<std::string>{"PartMgr"});
  }
}

TEST_F(DiskFilter, DeviceListThatCantBeReleasedIsReportedAndTheNextClassIsSearched) {
  const struct {
    const char* label;
    unsigned failingRelease;
    std::string console;
  } cases[] = {
      {"disk class list", 1, "unable to delete device info list! error: 5\n"},
      {"both lists", 0, "unable to delete device info list! error: 5\nunable to delete device info list! error: 5\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    sim::reset();
    machine.addDiskDrive(u"Disk0", sim::multiSz({u"PartMgr", u"Durvak"}));
    machine.addDiskDrive(u"OnlyVolumeInterface", sim::multiSz({u"Durvak"})).interfaceClasses = {
        sim::kVolumeInterfaceClass};
    machine.failCall("SetupDiDestroyDeviceInfoList", sim::kErrorAccessDenied, c.failingRelease);

    EXPECT_TRUE(DeregisterDiskFilter());

    EXPECT_EQ(machine.console, c.console);
    EXPECT_EQ(FilterNames(machine, u"Disk0"), std::vector<std::string>{"PartMgr"});
    EXPECT_EQ(machine.findDevice(u"OnlyVolumeInterface")->upperFilters(), nullptr);
  }
}

TEST_F(DiskFilter, PropertyThatCantBeReadSkipsTheDeviceWithItsLine) {
  const char kReadFailed[] = "in GetDeviceRegistryProperty(): couldn't get registry property! error: ";
  const char kNoMemory[] = "in GetDeviceRegistryProperty(): unable to allocate memory!\n";
  const struct {
    const char* label;
    std::function<void(sim::Machine&)> arrange;
    std::string console;
  } cases[] = {
      {"upper filters read fails",
       [](sim::Machine& m) {
         m.failCall("SetupDiGetDeviceRegistryPropertyW", sim::kErrorAccessDenied, 2, u"Disk0\\UpperFilters");
       },
       std::string(kReadFailed) + "5\n"},
      {"class read fails",
       [](sim::Machine& m) {
         m.failCall("SetupDiGetDeviceRegistryPropertyW", sim::kErrorAccessDenied, 2, u"Disk0\\Class");
       },
       std::string(kReadFailed) + "5\n"},
      {"upper filters size query fails otherwise",
       [](sim::Machine& m) {
         m.failCall("SetupDiGetDeviceRegistryPropertyW", sim::kErrorInvalidData, 1, u"Disk0\\UpperFilters");
       },
       ""},
      {"class size query fails otherwise",
       [](sim::Machine& m) {
         m.failCall("SetupDiGetDeviceRegistryPropertyW", sim::kErrorInvalidParameter, 1, u"Disk0\\Class");
       },
       ""},
      {"class buffer can't be allocated", [](sim::Machine& m) { m.failCall("HeapAlloc", 8, 1); }, kNoMemory},
      {"upper filters buffer can't be allocated", [](sim::Machine& m) { m.failCall("HeapAlloc", 8, 2); }, kNoMemory},
      // One unit more: still within the allocation, but not within the size asked for.
      {"upper filters grow after the size query",
       [](sim::Machine& m) {
         m.findDevice(u"Disk0")->valueAfterFirstRead[platform::kSpdrpUpperFilters] =
             sim::multiSz({u"PartMgr", u"Durvakx"});
       },
       std::string(kReadFailed) + "122\n"},
      {"class grows after the size query",
       [](sim::Machine& m) {
         m.findDevice(u"Disk0")->valueAfterFirstRead[platform::kSpdrpClass] = sim::regSz(u"DiskDriveX");
       },
       std::string(kReadFailed) + "122\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    sim::reset();
    machine.addDiskDrive(u"Disk0", sim::multiSz({u"PartMgr", u"Durvak"}));
    machine.addDiskDrive(u"Disk1", sim::multiSz({u"Durvak", u"PartMgr"}));
    c.arrange(machine);

    EXPECT_TRUE(DeregisterDiskFilter());

    EXPECT_EQ(machine.console, c.console);
    // Disk0 is passed over untouched; Disk1 is handled after it.
    ASSERT_EQ(machine.propertyWrites.size(), 1u);
    EXPECT_EQ(Utf8(machine.propertyWrites[0].device), "Disk1");
    EXPECT_EQ(FilterNames(machine, u"Disk1"), std::vector<std::string>{"PartMgr"});
  }
}

}  // namespace
