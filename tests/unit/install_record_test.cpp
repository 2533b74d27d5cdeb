// The install record: the file and the shortcut folder it names, and the
// record itself.
#include <gtest/gtest.h>

#include <string>

#include "cleanup/cleanup.h"
#include "machine_test.h"

namespace {

const std::u16string kInstallFolder = u"C:\\Program Files\\Durvak";
const std::u16string kRecord = u"C:\\Program Files\\Durvak\\qvinstall.ini";
// 卸载Lumatide.lnk in code page 936.
const std::string kUninstallShortcut = "\xD0\xB6\xD4\xD8Lumatide.lnk";

class InstallRecord : public MachineTest {
 protected:
  InstallRecord() {
    machine.ansiCodePage = sim::CodePage::Gbk936Subset();
    machine.files.addFolder(kInstallFolder);
  }

  void AddShortcuts(const std::string& folder) {
    machine.files.addFile(Ansi(folder + "\\Lumatide.lnk"));
    machine.files.addFile(Ansi(folder + "\\" + kUninstallShortcut));
  }

  std::u16string Ansi(const std::string& bytes) const { return machine.ansiCodePage.decode(bytes); }
  bool FileExists(const std::string& path) const { return machine.files.fileExists(Ansi(path)); }
  bool FolderExists(const std::string& path) const { return machine.files.folderExists(Ansi(path)); }
};

// A path of exactly `bytes` bytes: C:\ then folder names of 'a's.
std::string PathOfLength(size_t bytes) {
  std::string path = "C:\\";
  while (path.size() < bytes) path += (path.size() % 100 == 99) ? '\\' : 'a';
  path.back() = 'z';
  return path;
}

TEST_F(InstallRecord, FileShortcutsFolderAndRecordAreDeletedWithEitherLineBreak) {
  for (const char* lineBreak : {"\r\n", "\n"}) {
    SCOPED_TRACE(lineBreak[0] == '\r' ? "CR LF" : "LF");
    sim::reset();
    machine.ansiCodePage = sim::CodePage::Gbk936Subset();
    machine.files.addFile(u"C:\\Data\\Lumatide\\qv.log");
    AddShortcuts("C:\\Links\\Lumatide");
    machine.files.addFile(kRecord, std::string("C:\\Data\\Lumatide\\qv.log") + lineBreak + "C:\\Links\\Lumatide" +
                                       lineBreak + "third line" + lineBreak);

    RemoveInstallRecordItems(kInstallFolder);

    EXPECT_FALSE(FileExists("C:\\Data\\Lumatide\\qv.log"));
    EXPECT_TRUE(FolderExists("C:\\Data\\Lumatide"));
    EXPECT_FALSE(FileExists("C:\\Links\\Lumatide\\Lumatide.lnk"));
    EXPECT_FALSE(FileExists("C:\\Links\\Lumatide\\" + kUninstallShortcut));
    EXPECT_FALSE(FolderExists("C:\\Links\\Lumatide"));
    EXPECT_TRUE(FolderExists("C:\\Links"));
    EXPECT_FALSE(machine.files.fileExists(kRecord));
    EXPECT_EQ(machine.argumentsOf("DeleteFileA").size(), 3u);
  }
}

TEST_F(InstallRecord, LineFitsTheLineBufferUpTo258BytesBeforeItsBreak) {
  const struct {
    size_t pathBytes;
    const char* lineBreak;
    bool used;
  } cases[] = {
      {258, "\r\n", true}, {258, "\n", true}, {259, "\r\n", false}, {259, "\n", false}, {400, "\n", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.pathBytes) + (c.lineBreak[0] == '\r' ? " CR LF" : " LF"));
    sim::reset();
    machine.ansiCodePage = sim::CodePage::Gbk936Subset();
    const std::string path = PathOfLength(c.pathBytes);
    const std::string cutPath = path.substr(0, 258);  // what a line buffer piece would give
    machine.files.addFile(Ansi(path));
    machine.files.addFile(Ansi(cutPath));
    AddShortcuts("C:\\Links");
    machine.files.addFile(kRecord, path + c.lineBreak + "C:\\Links" + c.lineBreak);

    RemoveInstallRecordItems(kInstallFolder);

    EXPECT_EQ(FileExists(path), !c.used);
    if (!c.used) {
      EXPECT_TRUE(FileExists(cutPath)) << "a piece of an overlong line was used as a path";
    }
    // Whatever line 1 was, line 2 is still the shortcut folder.
    EXPECT_FALSE(FileExists("C:\\Links\\Lumatide.lnk"));
    EXPECT_FALSE(FileExists("C:\\Links\\" + kUninstallShortcut));
    EXPECT_FALSE(machine.files.fileExists(kRecord));
  }
}

TEST_F(InstallRecord, LastLineWithoutABreakMayFillTheWholeLineBuffer) {
  const struct {
    size_t pathBytes;
    bool used;
  } cases[] = {{259, true}, {260, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.pathBytes);
    sim::reset();
    const std::string path = PathOfLength(c.pathBytes);
    const std::string cutPath = path.substr(0, 259);
    machine.files.addFile(Ansi(path));
    machine.files.addFile(Ansi(cutPath));
    machine.files.addFile(kRecord, path);

    RemoveInstallRecordItems(kInstallFolder);

    EXPECT_EQ(FileExists(path), !c.used);
    EXPECT_EQ(FileExists(cutPath), !c.used);
  }
}

TEST_F(InstallRecord, OverlongShortcutFolderLineRemovesNothing) {
  const std::string folder = PathOfLength(300);
  const std::string cutFolder = folder.substr(0, 258);
  AddShortcuts(cutFolder);
  AddShortcuts(folder);
  machine.files.addFile(kRecord, "C:\\none.txt\r\n" + folder + "\r\n");

  RemoveInstallRecordItems(kInstallFolder);

  EXPECT_TRUE(FileExists(cutFolder + "\\Lumatide.lnk"));
  EXPECT_TRUE(FileExists(folder + "\\Lumatide.lnk"));
  EXPECT_TRUE(machine.argumentsOf("RemoveDirectoryA").empty());
  EXPECT_FALSE(machine.files.fileExists(kRecord));
}

TEST_F(InstallRecord, LastLineWithoutABreakKeepsItsLastCharacter) {
  AddShortcuts("C:\\Links");
  AddShortcuts("C:\\Link");
  machine.files.addFile(kRecord, "C:\\none.txt\r\nC:\\Links");

  RemoveInstallRecordItems(kInstallFolder);

  EXPECT_FALSE(FolderExists("C:\\Links"));
  EXPECT_TRUE(FileExists("C:\\Link\\Lumatide.lnk"));
}

TEST_F(InstallRecord, RecordWithFewerThanTwoLinesActsOnlyOnWhatItHolds) {
  const struct {
    const char* label;
    std::string record;
    bool fileDeleted;
  } cases[] = {
      {"empty", "", false},
      {"one line", "C:\\Data\\qv.log\r\n", true},
      {"one line without a break", "C:\\Data\\qv.log", true},
      {"an empty line 2", "C:\\Data\\qv.log\r\n\r\n", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    sim::reset();
    machine.files.addFile(u"C:\\Data\\qv.log");
    machine.files.addFile(u"C:\\Lumatide.lnk");  // what an empty folder name would point at
    machine.files.addFile(kRecord, c.record);

    RemoveInstallRecordItems(kInstallFolder);

    EXPECT_EQ(machine.files.fileExists(u"C:\\Data\\qv.log"), !c.fileDeleted);
    EXPECT_EQ(machine.argumentsOf("DeleteFileA").size(), c.fileDeleted ? 1u : 0u);
    EXPECT_TRUE(machine.argumentsOf("RemoveDirectoryA").empty());
    EXPECT_TRUE(machine.files.fileExists(u"C:\\Lumatide.lnk"));
    EXPECT_FALSE(machine.files.fileExists(kRecord));
  }
}

TEST_F(InstallRecord, ShortcutPathThatWouldNotFitIsNotBuilt) {
  const struct {
    size_t folderBytes;
    bool plainShortcutDeleted;
    bool uninstallShortcutDeleted;
  } cases[] = {{242, true, true}, {243, true, false}, {246, true, false}, {247, false, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.folderBytes);
    sim::reset();
    machine.ansiCodePage = sim::CodePage::Gbk936Subset();
    const std::string folder = PathOfLength(c.folderBytes);
    AddShortcuts(folder);
    machine.files.addFile(kRecord, "C:\\none.txt\n" + folder + "\n");

    RemoveInstallRecordItems(kInstallFolder);

    EXPECT_EQ(FileExists(folder + "\\Lumatide.lnk"), !c.plainShortcutDeleted);
    EXPECT_EQ(FileExists(folder + "\\" + kUninstallShortcut), !c.uninstallShortcutDeleted);
    for (const std::string& deleted : machine.argumentsOf("DeleteFileA")) {
      EXPECT_LT(machine.ansiCodePage.encode(sim::fromUtf8(deleted)).size(), 260u);
    }
  }
}

TEST_F(InstallRecord, MissingFileStillLetsTheShortcutsGo) {
  AddShortcuts("C:\\Links");
  machine.files.addFile(kRecord, "C:\\Data\\gone.log\r\nC:\\Links\r\n");

  RemoveInstallRecordItems(kInstallFolder);

  EXPECT_FALSE(FolderExists("C:\\Links"));
  EXPECT_FALSE(machine.files.fileExists(kRecord));
}

TEST_F(InstallRecord, FolderWithOtherFilesStays) {
  AddShortcuts("C:\\Links");
  machine.files.addFile(u"C:\\Links\\Other.lnk");
  machine.files.addFile(kRecord, "C:\\none.txt\r\nC:\\Links\r\n");

  RemoveInstallRecordItems(kInstallFolder);

  EXPECT_FALSE(FileExists("C:\\Links\\Lumatide.lnk"));
  EXPECT_TRUE(FileExists("C:\\Links\\Other.lnk"));
  EXPECT_TRUE(FolderExists("C:\\Links"));
}

TEST_F(InstallRecord, RecordIsDeletedAfterItsItemsAndAfterItIsClosed) {
  machine.files.addFile(kRecord, "C:\\Data\\gone.log\r\nC:\\Gone\r\n");

  RemoveInstallRecordItems(kInstallFolder);

  const long recordDeleted = machine.callIndex("DeleteFileW", kRecord);
  ASSERT_GE(recordDeleted, 0);
  EXPECT_GT(recordDeleted, machine.lastCallIndex("RemoveDirectoryA", u"C:\\Gone"));
  EXPECT_GT(recordDeleted, machine.lastCallIndex("CloseStream", kRecord));
  EXPECT_FALSE(machine.files.fileExists(kRecord));
}

TEST_F(InstallRecord, MissingRecordOnlyAttemptsItsOwnDeletion) {
  RemoveInstallRecordItems(kInstallFolder);

  EXPECT_TRUE(machine.argumentsOf("DeleteFileA").empty());
  EXPECT_TRUE(machine.argumentsOf("RemoveDirectoryA").empty());
  EXPECT_EQ(machine.argumentsOf("DeleteFileW").size(), 1u);
  EXPECT_TRUE(machine.wasCalled("DeleteFileW", kRecord));
}

TEST_F(InstallRecord, LoneCarriageReturnAndCtrlZReadAsTheRuntimeReadsText) {
  machine.files.addFile(u"C:\\Data\\a\rb.log");  // a lone CR is part of the name
  AddShortcuts("C:\\Hidden");
  machine.files.addFile(kRecord, "C:\\Data\\a\rb.log\r\n\x1A" "C:\\Hidden\r\n");

  RemoveInstallRecordItems(kInstallFolder);

  EXPECT_FALSE(machine.files.fileExists(u"C:\\Data\\a\rb.log"));
  EXPECT_TRUE(FolderExists("C:\\Hidden"));  // Ctrl+Z ended the text before line 2
  EXPECT_TRUE(machine.argumentsOf("RemoveDirectoryA").empty());
}

}  // namespace
