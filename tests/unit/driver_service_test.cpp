// Removing the product's driver (service key, files, filter registration,
// hidden folder) and the tool's own boot service.
#include <gtest/gtest.h>

#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "cleanup/cleanup.h"
#include "machine_test.h"

namespace {

constexpr char16_t kServices[] = u"SYSTEM\\CurrentControlSet\\Services";
constexpr char16_t kDriverKey[] = u"SYSTEM\\CurrentControlSet\\Services\\Durvak";
const std::string kDriverKeyLines =
    "\nDeleting Child key Enum of Durvak...\nSuccessfully delete key: Enum!"
    "\nDeleting Child key Parameters of Durvak...\nSuccessfully delete key: Parameters!"
    "\nSuccessfully delete key: Durvak!";

std::vector<std::string> Utf8All(const std::vector<std::u16string>& texts) {
  std::vector<std::string> converted;
  for (const std::u16string& text : texts) converted.push_back(Utf8(text));
  return converted;
}

class DriverRemoval : public MachineTest {
 protected:
  DriverRemoval() { AddProduct(u"C:\\Windows"); }

  // The driver's service key, its two files, its filter entry, and the same
  // files on another drive, which must survive.
  void AddProduct(const std::u16string& windowsFolder) {
    machine.windowsDirectory = windowsFolder;
    const std::u16string drive = windowsFolder.substr(0, 1);
    other = drive == u"C" ? u"D" : u"C";
    machine.registry.addKey(std::u16string(kDriverKey) + u"\\Enum");
    machine.registry.addKey(std::u16string(kDriverKey) + u"\\Parameters");
    machine.registry.addKey(std::u16string(kServices) + u"\\Disk");
    machine.files.addFile(windowsFolder + u"\\System32\\Drivers\\Durvak.sys", "driver");
    machine.files.addFile(windowsFolder + u"\\System32\\Drivers\\disk.sys", "other driver");
    machine.files.addFile(drive + u":\\$Durvak$\\Durvak.sys", "copy");
    machine.files.addFile(other + u":\\Windows\\System32\\Drivers\\Durvak.sys", "decoy");
    machine.files.addFile(other + u":\\$Durvak$\\Durvak.sys", "decoy");
    machine.addDiskDrive(u"Disk0", sim::multiSz({u"PartMgr", u"Durvak"}));
  }

  std::vector<std::string> FilterNames() const { return Utf8All(machine.devices.front().upperFilterNames()); }

  std::u16string other;
};

TEST_F(DriverRemoval, DriverKeyFilesFilterAndHiddenFolderGoFromTheWindowsDrive) {
  const struct {
    const char16_t* windowsFolder;
    std::vector<std::string> deletedFiles;
    std::string removedFolder;
  } cases[] = {
      {u"C:\\Windows", {"C:\\Windows\\System32\\Drivers\\Durvak.sys", "C:\\$Durvak$\\Durvak.sys"}, "C:\\$Durvak$"},
      {u"D:\\Windows", {"D:\\Windows\\System32\\Drivers\\Durvak.sys", "D:\\$Durvak$\\Durvak.sys"}, "D:\\$Durvak$"},
      {u"E:\\OS\\WINNT", {"E:\\OS\\WINNT\\System32\\Drivers\\Durvak.sys", "E:\\$Durvak$\\Durvak.sys"},
       "E:\\$Durvak$"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(Utf8(c.windowsFolder));
    sim::reset();
    AddProduct(c.windowsFolder);

    RemoveDriverAndFilter();

    EXPECT_EQ(machine.console, kDriverKeyLines);
    EXPECT_FALSE(machine.registry.keyExists(kDriverKey));
    EXPECT_TRUE(machine.registry.keyExists(std::u16string(kServices) + u"\\Disk"));
    EXPECT_EQ(machine.argumentsOf("DeleteFileW"), c.deletedFiles);
    EXPECT_EQ(machine.argumentsOf("RemoveDirectoryW"), std::vector<std::string>{c.removedFolder});
    for (const std::string& file : c.deletedFiles) EXPECT_FALSE(machine.files.fileExists(sim::fromUtf8(file)));
    EXPECT_FALSE(machine.files.folderExists(sim::fromUtf8(c.removedFolder)));
    EXPECT_TRUE(machine.files.fileExists(std::u16string(c.windowsFolder) + u"\\System32\\Drivers\\disk.sys"));
    EXPECT_TRUE(machine.files.fileExists(other + u":\\Windows\\System32\\Drivers\\Durvak.sys"));
    EXPECT_TRUE(machine.files.fileExists(other + u":\\$Durvak$\\Durvak.sys"));
    EXPECT_EQ(FilterNames(), std::vector<std::string>{"PartMgr"});
    ASSERT_FALSE(machine.keyOpens.empty());
    const sim::KeyOpen& services = machine.keyOpens.front();
    EXPECT_EQ(services.function, "RegCreateKeyExW");
    EXPECT_EQ(Utf8(services.path), Utf8(kServices));
    EXPECT_EQ(services.options, 0u);
    EXPECT_EQ(services.access, 0xF003Fu);
  }
}

TEST_F(DriverRemoval, StepsRunInTheirFixedOrder) {
  RemoveDriverAndFilter();

  const long steps[] = {
      machine.callIndex("RegDeleteKeyW", kDriverKey),
      machine.callIndex("RegCloseKey", kServices),
      machine.callIndex("DeleteFileW", u"C:\\Windows\\System32\\Drivers\\Durvak.sys"),
      machine.callIndex("SetupDiGetClassDevsW", u"53f56307-b6bf-11d0-94f2-00a0c91efb8b"),
      machine.callIndex("SetupDiSetDeviceRegistryPropertyW", u"Disk0\\UpperFilters"),
      machine.lastCallIndex("SetupDiDestroyDeviceInfoList", u"53f5630d-b6bf-11d0-94f2-00a0c91efb8b"),
      machine.callIndex("DeleteFileW", u"C:\\$Durvak$\\Durvak.sys"),
      machine.callIndex("RemoveDirectoryW", u"C:\\$Durvak$"),
  };
  EXPECT_GE(steps[0], 0);
  for (size_t i = 1; i < std::size(steps); ++i) EXPECT_LT(steps[i - 1], steps[i]) << "step " << i;
}

TEST_F(DriverRemoval, MissingOrStubbornPiecesPassSilently) {
  const struct {
    const char* label;
    std::function<void(sim::Machine&)> arrange;
    bool hiddenFileGone;
    bool hiddenFolderGone;
    bool notesKept = false;
  } cases[] = {
      {"hidden folder holds another file",
       [](sim::Machine& m) { m.files.addFile(u"C:\\$Durvak$\\notes.txt"); }, true, false, true},
      {"hidden file can't be deleted",
       [](sim::Machine& m) { m.files.setDeleteError(u"C:\\$Durvak$\\Durvak.sys", sim::kErrorAccessDenied); }, false,
       false},
      {"no hidden folder", [](sim::Machine& m) { m.files.remove(u"C:\\$Durvak$"); }, true, true},
      {"no driver file in System32",
       [](sim::Machine& m) { m.files.remove(u"C:\\Windows\\System32\\Drivers\\Durvak.sys"); }, true, true},
      {"driver file in System32 can't be deleted",
       [](sim::Machine& m) {
         m.files.setDeleteError(u"C:\\Windows\\System32\\Drivers\\Durvak.sys", sim::kErrorSharingViolation);
       },
       true, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    sim::reset();
    AddProduct(u"C:\\Windows");
    c.arrange(machine);

    RemoveDriverAndFilter();

    EXPECT_EQ(machine.console, kDriverKeyLines);
    EXPECT_EQ(machine.files.fileExists(u"C:\\$Durvak$\\Durvak.sys"), !c.hiddenFileGone);
    EXPECT_EQ(machine.files.folderExists(u"C:\\$Durvak$"), !c.hiddenFolderGone);
    EXPECT_TRUE(machine.wasCalled("RemoveDirectoryW", u"C:\\$Durvak$"));
    EXPECT_EQ(FilterNames(), std::vector<std::string>{"PartMgr"});
    EXPECT_EQ(machine.files.fileExists(u"C:\\$Durvak$\\notes.txt"), c.notesKept);
  }
}

TEST_F(DriverRemoval, ServicesKeyThatCantBeOpenedLeavesEverythingInPlace) {
  const struct {
    const char* label;
    std::function<void(sim::Machine&)> arrange;
  } cases[] = {
      {"RegCreateKeyExW fails",
       [](sim::Machine& m) { m.failCall("RegCreateKeyExW", sim::kErrorAccessDenied, 0, kServices); }},
      {"services key refuses opening",
       [](sim::Machine& m) { m.registry.denyOpen(kServices, sim::kErrorAccessDenied); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    sim::reset();
    AddProduct(u"C:\\Windows");
    c.arrange(machine);

    RemoveDriverAndFilter();

    EXPECT_EQ(machine.console, "");
    EXPECT_TRUE(machine.registry.keyExists(std::u16string(kDriverKey) + u"\\Enum"));
    EXPECT_TRUE(machine.argumentsOf("SetupDiGetClassDevsW").empty());
    EXPECT_TRUE(machine.propertyWrites.empty());
    EXPECT_EQ(FilterNames(), (std::vector<std::string>{"PartMgr", "Durvak"}));
    EXPECT_TRUE(machine.argumentsOf("DeleteFileW").empty());
    EXPECT_TRUE(machine.argumentsOf("RemoveDirectoryW").empty());
    EXPECT_TRUE(machine.files.fileExists(u"C:\\Windows\\System32\\Drivers\\Durvak.sys"));
    EXPECT_TRUE(machine.files.fileExists(u"C:\\$Durvak$\\Durvak.sys"));
  }
}

TEST_F(DriverRemoval, MissingDriverKeyIsReportedAndTheRestStillGoes) {
  machine.registry.removeKey(kDriverKey);

  RemoveDriverAndFilter();

  EXPECT_EQ(machine.console, "\nError! code=2\nError Message:The system cannot find the file specified.\r\n");
  EXPECT_FALSE(machine.files.fileExists(u"C:\\Windows\\System32\\Drivers\\Durvak.sys"));
  EXPECT_EQ(FilterNames(), std::vector<std::string>{"PartMgr"});
  EXPECT_FALSE(machine.files.folderExists(u"C:\\$Durvak$"));
  EXPECT_TRUE(machine.registry.keyExists(kServices));
}

TEST_F(DriverRemoval, FileStepsNeedAWindowsFolderThatFits) {
  const std::u16string longFolder = u"D:\\" + std::u16string(240, u'W');  // fits, but not with the driver path
  const struct {
    const char* label;
    std::function<void(sim::Machine&)> arrange;
    std::vector<std::string> deletedFiles;
    std::vector<std::string> removedFolders;
  } cases[] = {
      {"GetWindowsDirectoryW fails",
       [](sim::Machine& m) { m.failCall("GetWindowsDirectoryW", sim::kErrorAccessDenied); }, {}, {}},
      {"Windows folder longer than the buffer",
       [](sim::Machine& m) { m.windowsDirectory = u"C:\\" + std::u16string(300, u'W'); }, {}, {}},
      {"driver path would not fit",
       [&](sim::Machine& m) {
         m.windowsDirectory = longFolder;
         m.files.addFile(u"D:\\$Durvak$\\Durvak.sys");
       },
       {"D:\\$Durvak$\\Durvak.sys"},
       {"D:\\$Durvak$"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    sim::reset();
    AddProduct(u"C:\\Windows");
    c.arrange(machine);

    RemoveDriverAndFilter();

    // No path without its drive is ever acted on; the key and the filter go all the same.
    EXPECT_EQ(machine.argumentsOf("DeleteFileW"), c.deletedFiles);
    EXPECT_EQ(machine.argumentsOf("RemoveDirectoryW"), c.removedFolders);
    EXPECT_EQ(machine.console, kDriverKeyLines);
    EXPECT_FALSE(machine.registry.keyExists(kDriverKey));
    EXPECT_EQ(FilterNames(), std::vector<std::string>{"PartMgr"});
    EXPECT_TRUE(machine.files.fileExists(u"C:\\Windows\\System32\\Drivers\\Durvak.sys"));
    EXPECT_TRUE(machine.files.fileExists(u"C:\\$Durvak$\\Durvak.sys"));
  }
}

class BootService : public MachineTest {
 protected:
  BootService() { AddServices(); }

  void AddServices() {
    machine.addService(u"Kestrovin");
    machine.addService(u"Spooler");
  }
};

TEST_F(BootService, KestrovinIsDeletedAndItsHandleClosedBeforeTheManagers) {
  DeleteBootService();

  EXPECT_EQ(Utf8All(machine.deletedServices), std::vector<std::string>{"Kestrovin"});
  EXPECT_FALSE(machine.serviceExists(u"Kestrovin"));
  EXPECT_TRUE(machine.serviceExists(u"Spooler"));
  ASSERT_EQ(machine.serviceOpens.size(), 2u);
  EXPECT_EQ(Utf8(machine.serviceOpens[0].name), "");
  EXPECT_EQ(machine.serviceOpens[0].access, 0xF003Fu);
  EXPECT_EQ(Utf8(machine.serviceOpens[1].name), "Kestrovin");
  EXPECT_EQ(machine.serviceOpens[1].access, 0xF01FFu);
  EXPECT_EQ(machine.argumentsOf("CloseServiceHandle"),
            (std::vector<std::string>{"Kestrovin", "service control manager"}));
  EXPECT_EQ(machine.console, "");
}

TEST_F(BootService, FailuresPassSilentlyAndLeaveNothingOpen) {
  const struct {
    const char* label;
    std::function<void(sim::Machine&)> arrange;
    bool kestrovinLeft;
    std::vector<std::string> closed;
  } cases[] = {
      {"no Kestrovin service", [](sim::Machine& m) { m.services.erase(u"Kestrovin"); }, false,
       {"service control manager"}},
      {"manager can't be opened", [](sim::Machine& m) { m.failCall("OpenSCManagerW", sim::kErrorAccessDenied); },
       true, {}},
      {"service can't be opened", [](sim::Machine& m) { m.failCall("OpenServiceW", sim::kErrorAccessDenied); }, true,
       {"service control manager"}},
      {"deletion refused", [](sim::Machine& m) { m.services.at(u"Kestrovin").deleteError = sim::kErrorAccessDenied; },
       true, {"Kestrovin", "service control manager"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    sim::reset();
    AddServices();
    c.arrange(machine);

    DeleteBootService();

    EXPECT_TRUE(machine.deletedServices.empty());
    EXPECT_EQ(machine.serviceExists(u"Kestrovin"), c.kestrovinLeft);
    EXPECT_TRUE(machine.serviceExists(u"Spooler"));
    EXPECT_EQ(machine.argumentsOf("CloseServiceHandle"), c.closed);
    EXPECT_EQ(machine.console, "");
    EXPECT_EQ(machine.openHandleCount(), 0u);
    EXPECT_TRUE(machine.usageErrors.empty()) << testing::PrintToString(machine.usageErrors);
  }
}

}  // namespace
