// The run's entry, its mode decision and housekeeping mode.
#include <gtest/gtest.h>

#include <vector>

#include "machine_test.h"
#include "run/run.h"

namespace {

constexpr int64_t kDay = sim::kMillisecondsPerDay;
constexpr int64_t kThirtyDays = 30 * kDay;

class Housekeeping : public MachineTest {
 protected:
  Housekeeping() { machine.driver.installed = true; }

  // A save point in use, `ageMilliseconds` before the machine's present moment.
  void AddSavePoint(uint32_t slot, uint32_t id, int64_t ageMilliseconds) {
    machine.driver.addSavePoint(slot, id, sim::shiftedTime(machine.localTime, -ageMilliseconds));
  }

  std::vector<uint32_t> DeleteRequestIds() const {
    std::vector<uint32_t> ids;
    for (const sim::DriverRequest* request : machine.driver.requestsWithCode(sim::kDeleteRequest)) {
      uint32_t id = 0;
      for (size_t i = 0; i < request->input.size() && i < 4; ++i) id |= uint32_t{request->input[i]} << (8 * i);
      ids.push_back(id);
    }
    return ids;
  }

  bool CleanupRan() const { return machine.wasCalled("RegCreateKeyExW", u"SYSTEM\\CurrentControlSet\\Services"); }
};

TEST_F(Housekeeping, DriverThatAnswersSelectsHousekeepingAndNothingIsPrinted) {
  AddSavePoint(0, 11, kThirtyDays + 5000);
  machine.registry.addKey(u"SYSTEM\\CurrentControlSet\\Services\\Durvak");

  EXPECT_EQ(RunOnce(), 0);

  EXPECT_EQ(machine.driver.deletedIds, std::vector<uint32_t>{11});
  EXPECT_FALSE(CleanupRan());
  EXPECT_TRUE(machine.registry.keyExists(u"SYSTEM\\CurrentControlSet\\Services\\Durvak"));
  EXPECT_EQ(machine.console, "");
  EXPECT_TRUE(machine.messageBoxes.empty());
}

TEST_F(Housekeeping, VolumeIsOpenedForReadWriteUnbufferedAndTheListRequestGoesToC) {
  machine.windowsDirectory = u"D:\\Windows";
  machine.volumes[u'D'];

  EXPECT_EQ(RunOnce(), 0);

  EXPECT_EQ(machine.argumentsOf("GetDiskFreeSpaceW"), std::vector<std::string>{"C:\\"});
  ASSERT_EQ(machine.createFileCalls.size(), 1u);
  const sim::CreateFileRecord& open = machine.createFileCalls[0];
  EXPECT_EQ(Utf8(open.path), "\\\\.\\C:");
  EXPECT_EQ(open.access, 0xC0000000u);
  EXPECT_EQ(open.share, 3u);
  EXPECT_EQ(open.disposition, 3u);
  EXPECT_EQ(open.flags, 0x20000000u);
  ASSERT_EQ(machine.driver.requests.size(), 1u);
  EXPECT_EQ(machine.driver.requests[0].drive, u'C');
  EXPECT_EQ(machine.driver.requests[0].code, 0x88000004u);
  EXPECT_TRUE(machine.driver.requests[0].input.empty());
}

TEST_F(Housekeeping, ListRequestAsksForTheTableRoundedUpToWholeSectors) {
  const struct {
    uint32_t bytesPerSector;
    uint32_t outputBytes;
  } cases[] = {{512, 373760}, {4096, 376832}, {1, 373264}, {373264, 373264}, {373265, 373265}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bytesPerSector);
    sim::reset();
    machine.driver.installed = true;
    machine.volumes[u'C'].bytesPerSector = c.bytesPerSector;

    EXPECT_EQ(RunOnce(), 0);

    ASSERT_EQ(machine.driver.requests.size(), 1u);
    EXPECT_EQ(machine.driver.requests[0].outputBytes, c.outputBytes);
    EXPECT_FALSE(machine.driver.requests[0].outputNull);
  }
}

TEST_F(Housekeeping, RunEndsQuietlyWhenVolumeCCantBeProbed) {
  enum class Probe { kSectorSizeFails, kZeroSectorSize, kSectorSizeOverflowsTable, kLargestOverflow, kVolumeWontOpen };
  for (Probe probe : {Probe::kSectorSizeFails, Probe::kZeroSectorSize, Probe::kSectorSizeOverflowsTable,
                      Probe::kLargestOverflow, Probe::kVolumeWontOpen}) {
    SCOPED_TRACE(static_cast<int>(probe));
    sim::reset();
    machine.registry.addKey(u"SYSTEM\\CurrentControlSet\\Services\\Durvak");
    if (probe == Probe::kSectorSizeFails) machine.volumes[u'C'].bytesPerSector.reset();
    if (probe == Probe::kZeroSectorSize) machine.volumes[u'C'].bytesPerSector = 0;
    if (probe == Probe::kSectorSizeOverflowsTable) machine.volumes[u'C'].bytesPerSector = 0xFFFFFFFF - 373262;
    if (probe == Probe::kLargestOverflow) machine.volumes[u'C'].bytesPerSector = 0xFFFFFFFF;
    if (probe == Probe::kVolumeWontOpen) machine.volumes[u'C'].openError = sim::kErrorAccessDenied;

    EXPECT_EQ(RunOnce(), 0);

    if (probe != Probe::kVolumeWontOpen) {
      EXPECT_TRUE(machine.createFileCalls.empty());
    }
    EXPECT_TRUE(machine.driver.requests.empty());
    EXPECT_TRUE(machine.allocations.empty());
    EXPECT_FALSE(CleanupRan());
    EXPECT_TRUE(machine.registry.keyExists(u"SYSTEM\\CurrentControlSet\\Services\\Durvak"));
    EXPECT_EQ(machine.console, "");
  }
}

TEST_F(Housekeeping, DriverThatDoesNotAnswerSelectsCleanupAndTheVolumeStaysOpenUntilItEnds) {
  machine.driver.installed = false;

  EXPECT_EQ(RunOnce(), 0);

  EXPECT_TRUE(CleanupRan());
  EXPECT_TRUE(machine.driver.requestsWithCode(sim::kDeleteRequest).empty());
  const long lastCleanupCall = machine.lastCallIndex("ShellExecuteW", u"C:\\Temp\\Durvak.bat");
  ASSERT_GE(lastCleanupCall, 0);
  EXPECT_GT(machine.lastCallIndex("CloseHandle", u"\\\\.\\C:"), lastCleanupCall);
  EXPECT_EQ(machine.liveBufferCount(), 0u);
}

TEST_F(Housekeeping, TableThatCantBeAllocatedEndsTheRunWithStatusOneAndNoRequest) {
  machine.failCall("HeapAlloc", 8);
  AddSavePoint(0, 1, 40 * kDay);

  EXPECT_EQ(RunOnce(), 1);

  EXPECT_TRUE(machine.driver.requests.empty());
  EXPECT_FALSE(CleanupRan());
  EXPECT_TRUE(machine.wasCalled("CloseHandle", u"\\\\.\\C:"));
}

TEST_F(Housekeeping, ProgramFilesFolderUnavailableStillRunsHousekeeping) {
  machine.programFilesFolder.reset();
  AddSavePoint(3, 30, 31 * kDay);

  EXPECT_EQ(RunOnce(), 0);

  EXPECT_EQ(machine.driver.deletedIds, std::vector<uint32_t>{30});
}

TEST_F(Housekeeping, AgeIsJudgedInWholeSecondsAgainstThirtyDays) {
  const struct {
    const char* label;
    int64_t ageMilliseconds;
    bool deleted;
  } cases[] = {
      {"exactly 30 days", kThirtyDays, false},
      {"30 days and 0.9 s", kThirtyDays + 900, false},
      {"30 days and 1 s", kThirtyDays + 1000, true},
      {"a year", 365 * kDay, true},
      {"a day", kDay, false},
      {"in the future", -kDay, false},
      {"far in the future", -400 * kDay, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    sim::reset();
    machine.driver.installed = true;
    AddSavePoint(0, 77, c.ageMilliseconds);

    EXPECT_EQ(RunOnce(), 0);

    EXPECT_EQ(machine.driver.hasSavePoint(77), !c.deleted);
    EXPECT_EQ(DeleteRequestIds().size(), c.deleted ? 1u : 0u);
  }
}

TEST_F(Housekeeping, DeleteRequestCarriesTheIdBytesAsRead) {
  AddSavePoint(0, 0xA1B2C3D4, 31 * kDay);

  RunOnce();

  const auto deletes = machine.driver.requestsWithCode(sim::kDeleteRequest);
  ASSERT_EQ(deletes.size(), 1u);
  EXPECT_EQ(deletes[0]->input, (std::vector<uint8_t>{0xD4, 0xC3, 0xB2, 0xA1}));
  EXPECT_EQ(deletes[0]->outputBytes, 0u);
  EXPECT_TRUE(deletes[0]->outputNull);
}

TEST_F(Housekeeping, OnlyEntriesInUseAreSentAndFieldsAreReadAtTheirOffsets) {
  machine.driver.otherBytes = 0xFF;  // every byte the tool must not read
  AddSavePoint(0, 1, 31 * kDay);
  machine.driver.addSavePoint(1, 2, sim::shiftedTime(machine.localTime, -31 * kDay)).inUse = 0;
  AddSavePoint(999, 3, 31 * kDay);
  AddSavePoint(500, 4, 2 * kDay);

  RunOnce();

  EXPECT_EQ(DeleteRequestIds(), (std::vector<uint32_t>{1, 3}));
}

TEST_F(Housekeeping, SeveralOldSavePointsAreDeletedInTableOrder) {
  AddSavePoint(9, 90, 31 * kDay);
  AddSavePoint(2, 20, 200 * kDay);
  AddSavePoint(5, 50, 45 * kDay);
  AddSavePoint(4, 40, 3 * kDay);

  RunOnce();

  EXPECT_EQ(DeleteRequestIds(), (std::vector<uint32_t>{20, 50, 90}));
  EXPECT_EQ(machine.driver.remainingIds(), std::vector<uint32_t>{40});
}

TEST_F(Housekeeping, AnswerWithoutEntriesSendsNoFurtherRequest) {
  const struct {
    const char* label;
    sim::ListAnswer answer;
    uint32_t answerBytes;
    std::vector<uint32_t> deleted;
  } cases[] = {
      {"nothing written", sim::ListAnswer::kNothingWritten, 0, {}},
      {"answer ends before entry 1's in-use byte", sim::ListAnswer::kFirstBytes, 896 + 372 + 8, {10}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    sim::reset();
    machine.driver.installed = true;
    machine.driver.listAnswer = c.answer;
    machine.driver.answerBytes = c.answerBytes;
    AddSavePoint(0, 10, 40 * kDay);
    AddSavePoint(1, 11, 40 * kDay);
    AddSavePoint(2, 12, 40 * kDay);

    EXPECT_EQ(RunOnce(), 0);

    EXPECT_EQ(DeleteRequestIds(), c.deleted);
    EXPECT_FALSE(CleanupRan());
    // What the driver leaves unwritten must read as zero, not as old heap contents.
    ASSERT_EQ(machine.allocations.size(), 1u);
    EXPECT_TRUE(machine.allocations[0].zeroed);
  }
}

TEST_F(Housekeeping, SavePointWithAnUnreadableDateIsKeptAndTheWalkGoesOn) {
  AddSavePoint(0, 1, 31 * kDay);
  machine.driver.slots[0].time.month = 13;
  AddSavePoint(1, 2, 31 * kDay);

  RunOnce();

  EXPECT_EQ(DeleteRequestIds(), std::vector<uint32_t>{2});
  EXPECT_TRUE(machine.driver.hasSavePoint(1));
}

TEST_F(Housekeeping, RefusedDeletionShowsOneErrorBoxAndStopsTheWalk) {
  AddSavePoint(0, 1, 31 * kDay);
  AddSavePoint(1, 2, 32 * kDay);
  AddSavePoint(2, 3, 33 * kDay);
  AddSavePoint(3, 4, 34 * kDay);
  machine.driver.refusedIds = {3};

  EXPECT_EQ(RunOnce(), 0);

  EXPECT_EQ(machine.driver.deletedIds, (std::vector<uint32_t>{1, 2}));
  EXPECT_EQ(DeleteRequestIds(), (std::vector<uint32_t>{1, 2, 3}));
  EXPECT_TRUE(machine.driver.hasSavePoint(4));
  ASSERT_EQ(machine.messageBoxes.size(), 1u);
  EXPECT_EQ(machine.messageBoxes[0].text, std::u16string(u"删除临时存点失败！"));
  EXPECT_EQ(machine.messageBoxes[0].caption, std::u16string(u""));
  EXPECT_EQ(machine.messageBoxes[0].style, 0x10u);
  // The volume and the table are released before the box waits for the user.
  const long box = machine.callIndex("MessageBoxW", u"删除临时存点失败！");
  EXPECT_LT(machine.lastCallIndex("CloseHandle", u"\\\\.\\C:"), box);
  EXPECT_LT(machine.lastCallIndex("HeapFree", u"373760"), box);
  EXPECT_EQ(machine.console, "");
}

TEST_F(Housekeeping, PresentMomentIsTakenOnceBeforeTheWalk) {
  AddSavePoint(0, 1, 31 * kDay);
  AddSavePoint(1, 2, 31 * kDay);

  RunOnce();

  EXPECT_EQ(machine.argumentsOf("GetLocalTime").size(), 1u);
  EXPECT_LT(machine.callIndex("GetLocalTime", u""), machine.callIndex("DeviceIoControl", u"0x8800000C"));
}

}  // namespace
