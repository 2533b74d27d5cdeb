// The simulated machine's own Windows semantics, where a mistake in the model
// would make the tool's tests pass or fail for the wrong reason.
#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

#include "platform/platform.h"
#include "simulated_machine.h"

namespace {

sim::Machine& freshMachine() {
  sim::reset();
  return sim::machine();
}

class SimulatedMachine : public testing::Test {
 protected:
  sim::Machine& machine = freshMachine();
};

TEST_F(SimulatedMachine, SystemTimeToFileTimeCountsTicksSince1601) {
  const struct {
    sim::SystemTime time;
    uint64_t ticks;
  } cases[] = {
      {sim::makeTime(1601, 1, 1), 0},
      {sim::makeTime(1970, 1, 1), 116444736000000000},
      {sim::makeTime(2000, 2, 29, 12, 34, 56, 789), 125963012967890000},
      {sim::makeTime(30827, 12, 31, 23, 59, 59, 999), 0x7FFF35F4F06C58F0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(sim::timeText(c.time));
    sim::SystemTime time = c.time;
    time.dayOfWeek = 6;  // ignored
    uint64_t ticks = 1;
    ASSERT_TRUE(platform::SystemTimeToFileTime(&time, &ticks));
    EXPECT_EQ(ticks, c.ticks);
    EXPECT_EQ(sim::timeText(sim::fromFileTime(ticks)), sim::timeText(c.time));
  }
  EXPECT_EQ(sim::makeTime(2024, 5, 20).dayOfWeek, 1);  // a Monday
}

TEST_F(SimulatedMachine, SystemTimeToFileTimeRefusesInvalidFields) {
  const sim::SystemTime valid = sim::makeTime(2024, 2, 29, 23, 59, 59, 999);
  const auto with = [&](auto change) {
    sim::SystemTime time = valid;
    change(time);
    return time;
  };
  const sim::SystemTime cases[] = {
      with([](sim::SystemTime& t) { t.year = 1600; t.month = 12; t.day = 31; }),
      with([](sim::SystemTime& t) { t.year = 30828; t.month = 1; t.day = 1; }),
      with([](sim::SystemTime& t) { t.month = 0; }),
      with([](sim::SystemTime& t) { t.month = 13; }),
      with([](sim::SystemTime& t) { t.year = 2023; }),  // 29 February in a common year
      with([](sim::SystemTime& t) { t.year = 1900; }),  // century, not a leap year
      with([](sim::SystemTime& t) { t.day = 0; }),
      with([](sim::SystemTime& t) { t.month = 4; t.day = 31; }),
      with([](sim::SystemTime& t) { t.hour = 24; }),
      with([](sim::SystemTime& t) { t.minute = 60; }),
      with([](sim::SystemTime& t) { t.second = 60; }),
      with([](sim::SystemTime& t) { t.milliseconds = 1000; }),
  };
  uint64_t ticks = 0;
  ASSERT_TRUE(platform::SystemTimeToFileTime(&valid, &ticks));
  for (const sim::SystemTime& time : cases) {
    SCOPED_TRACE(sim::timeText(time));
    machine.lastError = 0;
    EXPECT_FALSE(platform::SystemTimeToFileTime(&time, &ticks));
    EXPECT_EQ(platform::GetLastError(), sim::kErrorInvalidParameter);
  }
}

TEST_F(SimulatedMachine, ShiftedTimeKeepsMillisecondsAcrossMonthEnds) {
  const sim::SystemTime now = sim::makeTime(2024, 3, 1, 0, 0, 0, 500);
  const sim::SystemTime before = sim::shiftedTime(now, -30 * sim::kMillisecondsPerDay - 900);
  EXPECT_EQ(sim::timeText(before), "2024-01-30 23:59:59.600");
  EXPECT_EQ(*sim::toFileTime(now) - *sim::toFileTime(before),
            uint64_t(30 * 86400 * sim::kTicksPerSecond + 900 * sim::kTicksPerMillisecond));
}

TEST_F(SimulatedMachine, RegistryEnumeratesInUpperCaseFoldedOrder) {
  for (const char16_t* name : {u"K\\b", u"K\\_x", u"K\\a1", u"K\\A"}) machine.registry.addKey(name);
  platform::UniqueRegKey key;
  ASSERT_EQ(platform::RegOpenKeyExW(platform::LocalMachineKey(), u"k", 0, platform::kKeyAllAccess, &key), 0);
  uint32_t count = 0;
  ASSERT_EQ(platform::RegQueryInfoKeyW(key.get(), &count), 0);
  EXPECT_EQ(count, 4u);

  std::vector<std::u16string> names;
  char16_t name[platform::kMaxPath];
  for (uint32_t i = 0; platform::RegEnumKeyW(key.get(), i, name, platform::kMaxPath) == 0; ++i) names.push_back(name);
  // '_' sorts after the letters once they are folded to upper case.
  EXPECT_EQ(names, (std::vector<std::u16string>{u"A", u"a1", u"b", u"_x"}));
  EXPECT_EQ(platform::RegEnumKeyW(key.get(), 4, name, platform::kMaxPath), long{sim::kErrorNoMoreItems});
  EXPECT_EQ(platform::RegEnumKeyW(key.get(), 1, name, 2), long{sim::kErrorMoreData});  // "a1" needs 3 units
  EXPECT_EQ(platform::RegEnumKeyW(key.get(), 1, name, 3), 0);
}

TEST_F(SimulatedMachine, RegDeleteKeyOnlyDeletesLeavesAndInvalidatesOpenHandles) {
  machine.registry.addKey(u"SOFTWARE\\Durvak\\Child");
  machine.registry.setValue(u"SOFTWARE\\Durvak", u"Version", {platform::kRegSz, {0x31, 0, 0, 0}});
  platform::UniqueRegKey software;
  ASSERT_EQ(platform::RegOpenKeyExW(platform::LocalMachineKey(), u"SOFTWARE", 0, platform::kKeyAllAccess, &software), 0);
  platform::UniqueRegKey durvak;
  ASSERT_EQ(platform::RegOpenKeyExW(software.get(), u"DURVAK", 0, platform::kKeyAllAccess, &durvak), 0);

  EXPECT_EQ(platform::RegDeleteKeyW(software.get(), u"Durvak"), long{sim::kErrorAccessDenied});
  EXPECT_EQ(platform::RegDeleteKeyW(durvak.get(), u"child"), 0);
  EXPECT_EQ(platform::RegDeleteKeyW(durvak.get(), u"Child"), long{sim::kErrorFileNotFound});
  EXPECT_EQ(platform::RegDeleteKeyW(software.get(), u"Durvak"), 0);
  EXPECT_FALSE(machine.registry.keyExists(u"SOFTWARE\\Durvak"));
  EXPECT_FALSE(machine.registry.valueExists(u"SOFTWARE\\Durvak", u"Version"));

  uint32_t count = 0;
  EXPECT_EQ(platform::RegQueryInfoKeyW(durvak.get(), &count), long{sim::kErrorKeyDeleted});
  EXPECT_EQ(machine.openHandleCount(), 2u);
  durvak.reset();
  software.reset();
  EXPECT_EQ(machine.openHandleCount(), 0u);
  EXPECT_TRUE(machine.usageErrors.empty());
}

TEST_F(SimulatedMachine, RegCreateKeyCreatesIntermediateKeysOnce) {
  const char16_t* path = u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
  for (const uint32_t expected : {1u, 2u}) {
    platform::UniqueRegKey key;
    uint32_t disposition = 0;
    ASSERT_EQ(platform::RegCreateKeyExW(platform::LocalMachineKey(), path, u"", platform::kRegOptionNonVolatile,
                                        platform::kKeyAllAccess, &key, &disposition),
              0);
    EXPECT_EQ(disposition, expected);
  }
  EXPECT_EQ(machine.registry.allKeyPaths().size(), 5u);
  machine.registry.denyOpen(path);
  platform::UniqueRegKey key;
  EXPECT_EQ(platform::RegCreateKeyExW(platform::LocalMachineKey(), path, u"", 0, platform::kKeyAllAccess, &key,
                                      nullptr),
            long{sim::kErrorAccessDenied});
  EXPECT_EQ(machine.openHandleCount(), 0u);
}

TEST_F(SimulatedMachine, WideCharToMultiByteFollowsTheCodePageTable) {
  machine.ansiCodePage = sim::CodePage::Gbk936Subset();
  const std::u16string text = u"卸载é";
  bool usedDefault = false;
  const int units = static_cast<int>(text.size());
  EXPECT_EQ(platform::WideCharToMultiByte(platform::kCpAcp, 0, text.data(), units, nullptr, 0, &usedDefault), 5);
  EXPECT_TRUE(usedDefault);

  char out[8] = {};
  EXPECT_EQ(platform::WideCharToMultiByte(platform::kCpAcp, platform::kWcNoBestFitChars, text.data(), -1, out, 8,
                                          &usedDefault),
            6);
  EXPECT_EQ(std::string(out, 6), std::string("\xD0\xB6\xD4\xD8?\0", 6));
  EXPECT_EQ(platform::WideCharToMultiByte(platform::kCpAcp, 0, text.data(), units, out, 4, nullptr), 0);
  EXPECT_EQ(platform::GetLastError(), sim::kErrorInsufficientBuffer);

  usedDefault = false;
  EXPECT_EQ(platform::WideCharToMultiByte(platform::kCpOemCp, 0, u"é", 1, out, 8, &usedDefault), 1);
  EXPECT_EQ(out[0], '\x82');
  EXPECT_FALSE(usedDefault);

  machine.ansiCodePage = sim::CodePage::Utf8();  // refuses the no-best-fit flag, as Windows does
  EXPECT_EQ(platform::WideCharToMultiByte(platform::kCpAcp, platform::kWcNoBestFitChars, u"é", 1, out, 8, nullptr), 0);
  EXPECT_EQ(platform::GetLastError(), sim::kErrorInvalidFlags);
  EXPECT_EQ(platform::WideCharToMultiByte(platform::kCpAcp, 0, u"é", 1, out, 8, nullptr), 2);
}

TEST_F(SimulatedMachine, DeleteFileADecodesInTheAnsiCodePage) {
  const char16_t* shortcut = u"C:\\Links\\卸载Lumatide.lnk";
  const char* bytes = "C:\\Links\\\xD0\xB6\xD4\xD8Lumatide.lnk";
  machine.files.addFile(shortcut);

  EXPECT_FALSE(platform::DeleteFileA(bytes));  // Latin-1 reads other characters
  EXPECT_EQ(platform::GetLastError(), sim::kErrorFileNotFound);
  machine.ansiCodePage = sim::CodePage::Gbk936Subset();
  EXPECT_TRUE(platform::DeleteFileA(bytes));
  EXPECT_FALSE(machine.files.fileExists(shortcut));
  EXPECT_EQ(machine.argumentsOf("DeleteFileA").back(), sim::toUtf8(shortcut));
}

TEST_F(SimulatedMachine, FileAndFolderRemovalAnswersLikeWindows) {
  machine.files.addFile(u"C:\\Temp\\Durvak.bat", "x");
  machine.files.addFile(u"C:\\Locked\\a.dat");
  machine.files.setDeleteError(u"C:\\Locked\\a.dat", sim::kErrorSharingViolation);
  machine.files.addFolder(u"C:\\Empty");
  const struct {
    bool folder;
    const char16_t* path;
    uint32_t error;
  } cases[] = {
      {false, u"C:\\Temp\\Nothing.bat", sim::kErrorFileNotFound},
      {false, u"C:\\Nowhere\\Durvak.bat", sim::kErrorPathNotFound},
      {false, u"C:\\Temp", sim::kErrorAccessDenied},
      {false, u"C:\\Locked\\a.dat", sim::kErrorSharingViolation},
      {true, u"C:\\Temp", sim::kErrorDirNotEmpty},
      {true, u"C:\\Temp\\Durvak.bat", sim::kErrorDirectory},
      {true, u"C:\\Nowhere", sim::kErrorFileNotFound},
      {true, u"C:\\Nowhere\\Deeper", sim::kErrorPathNotFound},
      {false, u"c:/temp\\\\DURVAK.BAT", 0},
      {true, u"C:\\Temp\\", 0},
      {true, u"C:\\Empty", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(sim::toUtf8(c.path));
    machine.lastError = 0;
    const bool removed = c.folder ? platform::RemoveDirectoryW(c.path) : platform::DeleteFileW(c.path);
    EXPECT_EQ(removed, c.error == 0);
    EXPECT_EQ(platform::GetLastError(), c.error);
  }
  EXPECT_EQ(machine.files.files(), std::vector<std::u16string>{u"C:\\Locked\\a.dat"});
  EXPECT_EQ(machine.files.folders(), (std::vector<std::u16string>{u"C:\\Locked", u"C:\\Windows"}));
}

TEST_F(SimulatedMachine, StreamsWriteExactBytesAndHoldOffDeletion) {
  machine.files.addFile(u"C:\\Temp\\Durvak.bat", "old contents");
  {
    platform::UniqueStream out = platform::OpenStream(u"C:\\Temp\\\\Durvak.bat", "wb");
    ASSERT_TRUE(out);
    EXPECT_EQ(platform::WriteStream(out.get(), "a\r\n", 3), 3u);
    EXPECT_EQ(platform::WriteStream(out.get(), "b\r\n", 3), 3u);
    EXPECT_FALSE(platform::DeleteFileW(u"C:\\Temp\\Durvak.bat"));
    EXPECT_EQ(platform::GetLastError(), sim::kErrorSharingViolation);
  }
  EXPECT_EQ(machine.files.fileBytes(u"C:\\Temp\\Durvak.bat"), "a\r\nb\r\n");

  platform::UniqueStream in = platform::OpenStream(u"C:\\TEMP\\durvak.bat", "rb");
  ASSERT_TRUE(in);
  char buffer[4];
  EXPECT_EQ(platform::ReadStream(in.get(), buffer, 4), 4u);
  EXPECT_EQ(platform::ReadStream(in.get(), buffer, 4), 2u);
  EXPECT_EQ(platform::ReadStream(in.get(), buffer, 4), 0u);
  in.reset();
  EXPECT_FALSE(platform::OpenStream(u"C:\\Missing\\x.ini", "wb"));
  EXPECT_EQ(platform::GetLastError(), sim::kErrorPathNotFound);
  EXPECT_TRUE(platform::DeleteFileW(u"C:\\Temp\\Durvak.bat"));
  EXPECT_EQ(machine.openHandleCount(), 0u);
}

TEST_F(SimulatedMachine, FolderQueriesFollowTheWin32LengthContract) {
  char16_t buffer[platform::kMaxPath];
  EXPECT_EQ(platform::GetTempPathW(platform::kMaxPath, buffer), 8u);
  EXPECT_EQ(std::u16string(buffer), u"C:\\Temp\\");
  EXPECT_EQ(platform::GetTempPathW(8, buffer), 9u);  // needed, zero included
  machine.tempPath = u"C:\\" + std::u16string(300, u'x') + u"\\";
  EXPECT_EQ(platform::GetTempPathW(platform::kMaxPath, buffer), 305u);
  machine.tempPath.reset();
  EXPECT_EQ(platform::GetTempPathW(platform::kMaxPath, buffer), 0u);

  machine.windowsDirectory = u"D:\\Windows";
  EXPECT_EQ(platform::GetWindowsDirectoryW(buffer, platform::kMaxPath), 10u);
  EXPECT_EQ(std::u16string(buffer), u"D:\\Windows");
}

TEST_F(SimulatedMachine, FormatMessageGivesTheSystemTextWithItsLineBreak) {
  char16_t text[512];
  const uint32_t units = platform::FormatMessageW(platform::kFormatMessageFromSystem, 2, text, 512);
  EXPECT_EQ(std::u16string(text, units), u"The system cannot find the file specified.\r\n");
  EXPECT_EQ(platform::FormatMessageW(platform::kFormatMessageFromSystem, 1018, text, 20), 0u);
  EXPECT_EQ(platform::GetLastError(), sim::kErrorInsufficientBuffer);
  EXPECT_EQ(platform::FormatMessageW(platform::kFormatMessageFromSystem, 0xDEAD, text, 512), 0u);
  EXPECT_EQ(platform::GetLastError(), sim::kErrorMrMidNotFound);
}

TEST_F(SimulatedMachine, DriverWritesTheTableLayoutWithinTheOutputLength) {
  const sim::SystemTime time = sim::makeTime(2024, 4, 1, 8, 30, 15, 250);
  machine.driver.installed = true;
  machine.driver.otherBytes = 0xA5;
  machine.driver.addSavePoint(2, 0x11223344, time);
  platform::UniqueFile volume = platform::CreateFileW(u"\\\\.\\C:", platform::kGenericReadWrite,
                                                      platform::kFileShareReadWrite, platform::kOpenExisting,
                                                      platform::kFileFlagNoBuffering);
  ASSERT_TRUE(volume);

  std::vector<uint8_t> table(373760 + 16, 0);
  uint32_t returned = 0;
  ASSERT_TRUE(platform::DeviceIoControl(volume.get(), sim::kListRequest, nullptr, 0, table.data(), 373760, &returned));
  EXPECT_EQ(returned, sim::kTableBytes);
  const uint8_t* entry = table.data() + 896 + 372 * 2;
  EXPECT_EQ(std::vector<uint8_t>(entry, entry + 4), (std::vector<uint8_t>{0x44, 0x33, 0x22, 0x11}));
  EXPECT_EQ(entry[8], 1);
  EXPECT_EQ(std::vector<uint8_t>(entry + 28, entry + 44),
            (std::vector<uint8_t>{0xE8, 0x07, 4, 0, 1, 0, 1, 0, 8, 0, 30, 0, 15, 0, 0xFA, 0}));
  EXPECT_EQ(table[896 + 8], 0);  // slot 0 is not in use
  EXPECT_EQ(table[0], 0xA5);
  EXPECT_EQ(table[sim::kTableBytes], 0);  // the sector padding is left alone

  machine.driver.listAnswer = sim::ListAnswer::kFirstBytes;
  machine.driver.answerBytes = 100;
  std::fill(table.begin(), table.end(), 0);
  ASSERT_TRUE(platform::DeviceIoControl(volume.get(), sim::kListRequest, nullptr, 0, table.data(), 50, &returned));
  EXPECT_EQ(returned, 50u);
  EXPECT_EQ(table[49], 0xA5);
  EXPECT_EQ(table[50], 0);

  const uint8_t id[4] = {0x44, 0x33, 0x22, 0x11};
  machine.driver.refusedIds.insert(0x11223344);
  EXPECT_FALSE(platform::DeviceIoControl(volume.get(), sim::kDeleteRequest, id, 4, nullptr, 0, &returned));
  machine.driver.refusedIds.clear();
  EXPECT_FALSE(platform::DeviceIoControl(volume.get(), sim::kDeleteRequest, id, 3, nullptr, 0, &returned));
  EXPECT_TRUE(platform::DeviceIoControl(volume.get(), sim::kDeleteRequest, id, 4, nullptr, 0, &returned));
  EXPECT_FALSE(machine.driver.hasSavePoint(0x11223344));
  EXPECT_EQ(machine.driver.requests.size(), 5u);
  EXPECT_EQ(machine.driver.requests.back().input, std::vector<uint8_t>(id, id + 4));

  machine.driver.installed = false;
  EXPECT_FALSE(platform::DeviceIoControl(volume.get(), sim::kListRequest, nullptr, 0, table.data(), 512, &returned));
  EXPECT_EQ(platform::GetLastError(), sim::kErrorInvalidFunction);
  volume.reset();
  EXPECT_FALSE(platform::DeviceIoControl(nullptr, sim::kListRequest, nullptr, 0, table.data(), 512, &returned));
  EXPECT_EQ(platform::GetLastError(), sim::kErrorInvalidHandle);
}

TEST_F(SimulatedMachine, DevicePropertiesAnswerSizeQueriesLikeSetupApi) {
  machine.addDiskDrive(u"Disk 0", sim::multiSz({u"PartMgr", u"Durvak"}));
  machine.addDiskDrive(u"Disk 1");
  machine.addDiskDrive(u"Gone", sim::multiSz({u"Durvak"})).present = false;
  machine.addVolumeDevice(u"Volume 0");

  platform::UniqueDevInfoSet set =
      platform::SetupDiGetClassDevsW(&sim::kDiskInterfaceClass, platform::kDigcfPresent | platform::kDigcfProfile |
                                                                    platform::kDigcfDeviceInterface);
  ASSERT_TRUE(set);
  EXPECT_EQ(machine.deviceSetQueries.back().members, (std::vector<std::u16string>{u"Disk 0", u"Disk 1"}));
  platform::DevInfoData device{};
  EXPECT_FALSE(platform::SetupDiEnumDeviceInfo(set.get(), 0, &device));  // cbSize unset
  device.cbSize = sizeof device;
  ASSERT_TRUE(platform::SetupDiEnumDeviceInfo(set.get(), 0, &device));

  uint32_t required = 0;
  EXPECT_FALSE(platform::SetupDiGetDeviceRegistryPropertyW(set.get(), &device, platform::kSpdrpUpperFilters, nullptr,
                                                           nullptr, 0, &required));
  EXPECT_EQ(platform::GetLastError(), sim::kErrorInsufficientBuffer);
  EXPECT_EQ(required, 2u * (7 + 1 + 6 + 1 + 1));
  std::vector<uint8_t> buffer(required);
  uint32_t type = 0;
  ASSERT_TRUE(platform::SetupDiGetDeviceRegistryPropertyW(set.get(), &device, platform::kSpdrpUpperFilters, &type,
                                                          buffer.data(), required, nullptr));
  EXPECT_EQ(type, platform::kRegMultiSz);
  EXPECT_EQ(sim::multiSzEntries(buffer), (std::vector<std::u16string>{u"PartMgr", u"Durvak"}));

  const std::vector<uint8_t> partMgr = sim::multiSz({u"PartMgr"}).bytes;
  ASSERT_TRUE(platform::SetupDiSetDeviceRegistryPropertyW(set.get(), &device, platform::kSpdrpUpperFilters,
                                                          partMgr.data(), 18));
  EXPECT_EQ(machine.findDevice(u"Disk 0")->upperFilterNames(), std::vector<std::u16string>{u"PartMgr"});
  EXPECT_EQ(machine.findDevice(u"Disk 0")->upperFilters()->bytes.size(), 18u);

  ASSERT_TRUE(platform::SetupDiEnumDeviceInfo(set.get(), 1, &device));
  EXPECT_FALSE(platform::SetupDiGetDeviceRegistryPropertyW(set.get(), &device, platform::kSpdrpUpperFilters, nullptr,
                                                           nullptr, 0, &required));
  EXPECT_EQ(platform::GetLastError(), sim::kErrorInvalidData);
  EXPECT_TRUE(platform::SetupDiSetDeviceRegistryPropertyW(set.get(), &device, platform::kSpdrpUpperFilters, nullptr, 0));
  EXPECT_FALSE(machine.propertyWrites.back().bytes);
  EXPECT_FALSE(platform::SetupDiEnumDeviceInfo(set.get(), 2, &device));
  EXPECT_EQ(platform::GetLastError(), sim::kErrorNoMoreItems);

  // A property that grows between the size query and the read.
  machine.findDevice(u"Disk 1")->valueAfterFirstRead[platform::kSpdrpClass] = sim::regSz(u"DiskDriveLonger");
  ASSERT_FALSE(platform::SetupDiGetDeviceRegistryPropertyW(set.get(), &device, platform::kSpdrpClass, nullptr, nullptr,
                                                           0, &required));
  EXPECT_EQ(required, 20u);
  buffer.resize(required);
  EXPECT_FALSE(platform::SetupDiGetDeviceRegistryPropertyW(set.get(), &device, platform::kSpdrpClass, &type,
                                                           buffer.data(), required, &required));
  EXPECT_EQ(platform::GetLastError(), sim::kErrorInsufficientBuffer);
  EXPECT_EQ(required, 32u);

  machine.failCall("SetupDiDestroyDeviceInfoList", sim::kErrorInvalidParameter);
  EXPECT_FALSE(platform::SetupDiDestroyDeviceInfoList(std::move(set)));
  EXPECT_EQ(machine.openHandleCount(), 0u);
  EXPECT_EQ(machine.usageErrors, std::vector<std::string>{
                                     "SetupDiEnumDeviceInfo: cbSize is not the size of the element"});
}

TEST_F(SimulatedMachine, FailureRulesCountOnlyTheCallsTheyMatch) {
  machine.files.addFile(u"C:\\Dir\\a");
  machine.files.addFolder(u"C:\\Other");
  machine.failCall("RemoveDirectoryW", sim::kErrorSharingViolation, 2, u"c:\\DIR");

  EXPECT_FALSE(platform::RemoveDirectoryW(u"C:\\Dir"));  // first match: not empty
  EXPECT_TRUE(platform::DeleteFileW(u"C:\\Dir\\a"));
  EXPECT_TRUE(platform::RemoveDirectoryW(u"C:\\Other"));  // no match, not counted
  EXPECT_FALSE(platform::RemoveDirectoryW(u"C:\\Dir\\"));  // second match: injected
  EXPECT_EQ(platform::GetLastError(), sim::kErrorSharingViolation);
  EXPECT_TRUE(machine.files.folderExists(u"C:\\Dir"));
  EXPECT_TRUE(platform::RemoveDirectoryW(u"C:\\Dir"));

  std::vector<uint32_t> errors;
  std::vector<bool> injected;
  for (const sim::CallRecord& call : machine.calls) {
    errors.push_back(call.error);
    injected.push_back(call.injected);
  }
  EXPECT_EQ(errors, (std::vector<uint32_t>{sim::kErrorDirNotEmpty, 0, 0, sim::kErrorSharingViolation, 0}));
  EXPECT_EQ(injected, (std::vector<bool>{false, false, false, true, false}));
  EXPECT_LT(machine.callIndex("DeleteFileW", u"C:\\Dir\\a"), machine.lastCallIndex("RemoveDirectoryW", u"C:\\Dir"));
  EXPECT_EQ(machine.callIndex("DeleteFileW", u"C:\\Other"), -1);
  EXPECT_THROW(machine.failCall("RemoveDirectory", 5), std::invalid_argument);
}

TEST_F(SimulatedMachine, ClosingWhatIsNotOpenIsReportedNotFatal) {
  platform::UniqueService manager = platform::OpenSCManagerW(platform::kScManagerAllAccess);
  machine.addService(u"Kestrovin");
  platform::UniqueService service = platform::OpenServiceW(manager.get(), u"kestrovin", platform::kServiceAllAccess);
  ASSERT_TRUE(service);
  EXPECT_TRUE(platform::DeleteService(service.get()));
  EXPECT_FALSE(machine.serviceExists(u"Kestrovin"));
  EXPECT_FALSE(platform::OpenServiceW(manager.get(), u"Kestrovin", platform::kServiceAllAccess));
  EXPECT_EQ(platform::GetLastError(), sim::kErrorServiceDoesNotExist);
  EXPECT_FALSE(platform::DeleteService(nullptr));
  EXPECT_EQ(platform::GetLastError(), sim::kErrorInvalidHandle);
  EXPECT_EQ(machine.openHandleCount(), 2u);

  platform::ServiceHandle raw = service.get();
  service.reset();
  platform::ServiceCloser{}(raw);  // closed twice
  platform::RegKeyCloser{}(platform::LocalMachineKey());
  platform::UniqueHeapBuffer buffer = platform::HeapAlloc(16, false);
  EXPECT_EQ(buffer[15], 0xCD);
  EXPECT_EQ(machine.liveBufferCount(), 1u);
  buffer.reset();
  EXPECT_EQ(machine.liveBufferCount(), 0u);
  EXPECT_EQ(machine.usageErrors.size(), 2u);
}

}  // namespace
