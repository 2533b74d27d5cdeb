// Cleanup mode end to end on the simulated machine: the fixed order of its
// steps, what goes, what stays, and what is printed.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "machine_test.h"
#include "run/run.h"

namespace {

const std::u16string kServices = u"SYSTEM\\CurrentControlSet\\Services";
const std::u16string kUninstall = u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
const std::u16string kInstallFolder = u"C:\\Program Files\\Durvak";

const std::string kMissingKeyLines =
    "\nError! code=2\nError Message:The system cannot find the file specified.\r\n";

class CleanupSequence : public MachineTest {
 protected:
  CleanupSequence() { machine.ansiCodePage = sim::CodePage::Gbk936Subset(); }

  // Every trace of the product, and things beside it that must stay.
  void InstallProduct() {
    machine.registry.addKey(kServices + u"\\Durvak\\Enum");
    machine.registry.addKey(kServices + u"\\Durvak\\Parameters\\Wdf");
    machine.registry.setValue(kServices + u"\\Durvak", u"Start", {4, {0, 0, 0, 0}});
    machine.registry.addKey(kServices + u"\\DurvakKeep");
    machine.registry.addKey(kUninstall + u"\\Durvak\\Components");
    machine.registry.addKey(kUninstall + u"\\Durvak2");
    machine.files.addFile(u"C:\\Windows\\System32\\Drivers\\Durvak.sys");
    machine.files.addFile(u"C:\\Windows\\System32\\Drivers\\Durvak2.sys");
    machine.files.addFile(u"C:\\$Durvak$\\Durvak.sys");
    machine.addDiskDrive(u"Disk 0", sim::multiSz({u"PartMgr", u"Durvak"}));
    machine.addDiskDrive(u"Disk 1", sim::multiSz({u"Durvak"}));
    machine.addService(u"Kestrovin");
    machine.addService(u"Spooler");
    for (const char16_t* file : {u"\\Tessel.dat", u"\\qv.exe", u"\\Unplex.exe", u"\\Kestrovin.exe"}) {
      machine.files.addFile(kInstallFolder + file);
    }
    machine.files.addFile(kInstallFolder + u"\\qvinstall.ini", "C:\\Data\\qv.log\r\nC:\\Links\\Lumatide\r\n");
    machine.files.addFile(u"C:\\Data\\qv.log");
    machine.files.addFile(u"C:\\Links\\Lumatide\\Lumatide.lnk");
    machine.files.addFile(u"C:\\Links\\Lumatide\\卸载Lumatide.lnk");
  }

  long At(const char* function, std::u16string_view argument) const {
    const long index = machine.callIndex(function, argument);
    EXPECT_GE(index, 0) << function << " " << Utf8(argument) << " was not called";
    return index;
  }
};

TEST_F(CleanupSequence, RemovesEveryTraceInItsFixedOrder) {
  InstallProduct();

  EXPECT_EQ(RunOnce(), 0);

  const std::vector<long> order = {
      At("RegDeleteKeyW", kServices + u"\\Durvak"),
      At("DeleteFileW", u"C:\\Windows\\System32\\Drivers\\Durvak.sys"),
      At("SetupDiGetClassDevsW", u"53f56307-b6bf-11d0-94f2-00a0c91efb8b"),
      At("SetupDiGetClassDevsW", u"53f5630d-b6bf-11d0-94f2-00a0c91efb8b"),
      At("DeleteFileW", u"C:\\$Durvak$\\Durvak.sys"),
      At("RemoveDirectoryW", u"C:\\$Durvak$"),
      At("DeleteService", u"Kestrovin"),
      At("RegDeleteKeyW", kUninstall + u"\\Durvak"),
      At("DeleteFileW", kInstallFolder + u"\\Tessel.dat"),
      At("DeleteFileW", kInstallFolder + u"\\qv.exe"),
      At("DeleteFileW", kInstallFolder + u"\\Unplex.exe"),
      At("DeleteFileA", u"C:\\Data\\qv.log"),
      At("RemoveDirectoryA", u"C:\\Links\\Lumatide"),
      At("DeleteFileW", kInstallFolder + u"\\qvinstall.ini"),
      At("ShellExecuteW", u"C:\\Temp\\Durvak.bat"),
  };
  for (size_t step = 1; step < order.size(); ++step) EXPECT_LT(order[step - 1], order[step]) << "step " << step;

  EXPECT_EQ(machine.console,
            "\nDeleting Child key Enum of Durvak..."
            "\nSuccessfully delete key: Enum!"
            "\nDeleting Child key Parameters of Durvak..."
            "\nDeleting Child key Wdf of Parameters..."
            "\nSuccessfully delete key: Wdf!"
            "\nSuccessfully delete key: Parameters!"
            "\nSuccessfully delete key: Durvak!"
            "\nDeleting Child key Components of Durvak..."
            "\nSuccessfully delete key: Components!"
            "\nSuccessfully delete key: Durvak!");

  EXPECT_EQ(machine.registry.allKeyPaths(),
            (std::vector<std::u16string>{u"SOFTWARE", u"SOFTWARE\\Microsoft", u"SOFTWARE\\Microsoft\\Windows",
                                         u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion", kUninstall,
                                         kUninstall + u"\\Durvak2", u"SYSTEM", u"SYSTEM\\CurrentControlSet", kServices,
                                         kServices + u"\\DurvakKeep"}));
  // The executable and its folder are left to the script.
  EXPECT_EQ(machine.files.files(),
            (std::vector<std::u16string>{kInstallFolder + u"\\Kestrovin.exe", u"C:\\Temp\\Durvak.bat",
                                         u"C:\\Windows\\System32\\Drivers\\Durvak2.sys"}));
  EXPECT_EQ(machine.files.folders(),
            (std::vector<std::u16string>{u"C:\\Data", u"C:\\Links", u"C:\\Program Files", kInstallFolder, u"C:\\Temp",
                                         u"C:\\Windows", u"C:\\Windows\\System32",
                                         u"C:\\Windows\\System32\\Drivers"}));
  EXPECT_EQ(machine.findDevice(u"Disk 0")->upperFilterNames(), std::vector<std::u16string>{u"PartMgr"});
  EXPECT_EQ(machine.findDevice(u"Disk 1")->upperFilters(), nullptr);
  EXPECT_FALSE(machine.serviceExists(u"Kestrovin"));
  EXPECT_TRUE(machine.serviceExists(u"Spooler"));
  EXPECT_EQ(machine.launches.size(), 1u);
}

TEST_F(CleanupSequence, MachineWithoutTracesGetsItsDiagnosticsAndStillTheScript) {
  EXPECT_EQ(RunOnce(), 0);

  EXPECT_EQ(machine.console, kMissingKeyLines + kMissingKeyLines);
  ASSERT_EQ(machine.launches.size(), 1u);
  EXPECT_TRUE(machine.files.fileExists(u"C:\\Temp\\Durvak.bat"));
}

TEST_F(CleanupSequence, SecondRunReportsOnlyWhatIsMissing) {
  InstallProduct();
  RunOnce();
  machine.console.clear();
  const std::vector<std::u16string> keysAfterFirstRun = machine.registry.allKeyPaths();

  EXPECT_EQ(RunOnce(), 0);

  EXPECT_EQ(machine.console, kMissingKeyLines + kMissingKeyLines);
  EXPECT_EQ(machine.registry.allKeyPaths(), keysAfterFirstRun);
}

TEST_F(CleanupSequence, UninstallParentThatCantBeOpenedIsPassedOverSilently) {
  InstallProduct();
  machine.failCall("RegCreateKeyExW", sim::kErrorAccessDenied, 0, kUninstall);

  RunOnce();

  EXPECT_TRUE(machine.registry.keyExists(kUninstall + u"\\Durvak\\Components"));
  EXPECT_EQ(machine.console.find("Components"), std::string::npos);
  EXPECT_FALSE(machine.files.fileExists(kInstallFolder + u"\\Tessel.dat"));
  EXPECT_FALSE(machine.files.fileExists(kInstallFolder + u"\\Unplex.exe"));
}

TEST_F(CleanupSequence, WithoutAnInstallFolderOnlyTheStepsOutsideItRun) {
  InstallProduct();
  machine.programFilesFolder.reset();

  EXPECT_EQ(RunOnce(), 0);

  EXPECT_FALSE(machine.registry.keyExists(kServices + u"\\Durvak"));
  EXPECT_FALSE(machine.registry.keyExists(kUninstall + u"\\Durvak"));
  EXPECT_FALSE(machine.files.fileExists(u"C:\\$Durvak$\\Durvak.sys"));
  EXPECT_FALSE(machine.serviceExists(u"Kestrovin"));
  EXPECT_EQ(machine.findDevice(u"Disk 0")->upperFilterNames(), std::vector<std::u16string>{u"PartMgr"});
  EXPECT_TRUE(machine.argumentsOf("OpenStream").empty());
  EXPECT_TRUE(machine.argumentsOf("DeleteFileA").empty());
  EXPECT_TRUE(machine.launches.empty());
  EXPECT_EQ(machine.argumentsOf("DeleteFileW"),
            (std::vector<std::string>{"C:\\Windows\\System32\\Drivers\\Durvak.sys", "C:\\$Durvak$\\Durvak.sys"}));
  EXPECT_TRUE(machine.files.fileExists(kInstallFolder + u"\\Tessel.dat"));
}

}  // namespace
