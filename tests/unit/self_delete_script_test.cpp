// The hidden batch script that removes the executable and the install folder
// once the tool has ended.
#include <gtest/gtest.h>

#include <string>

#include "cleanup/cleanup.h"
#include "machine_test.h"

namespace {

const std::u16string kInstallFolder = u"C:\\Program Files\\Durvak";

std::string ScriptFor(const std::string& installFolder, const std::string& scriptPath) {
  const std::string executable = installFolder + "\\Kestrovin.exe";
  return ":Repeat\r\n"
         "del \"" + executable + "\"\r\n"
         "if exist \"" + executable + "\" goto Repeat\r\n"
         "rd \"" + installFolder + "\"\r\n"
         "del \"" + scriptPath + "\"\r\n";
}

class SelfDeleteScript : public MachineTest {};

TEST_F(SelfDeleteScript, ScriptHasFiveCrLfLinesAndIsStartedHidden) {
  WriteSelfDeleteScript(kInstallFolder);

  const std::string expected = ScriptFor("C:\\Program Files\\Durvak", "C:\\Temp\\\\Durvak.bat");
  EXPECT_EQ(machine.files.fileBytes(u"C:\\Temp\\Durvak.bat"), expected);
  ASSERT_EQ(machine.launches.size(), 1u);
  const sim::Launch& launch = machine.launches[0];
  EXPECT_EQ(launch.verb, std::u16string(u"open"));
  EXPECT_EQ(launch.file, std::u16string(u"C:\\Temp\\\\Durvak.bat"));
  EXPECT_EQ(launch.parameters, std::u16string(u""));
  EXPECT_EQ(launch.directory, std::u16string(u""));
  EXPECT_EQ(launch.showCommand, 0);
  EXPECT_EQ(launch.fileBytes, expected);  // written and closed before it starts
}

TEST_F(SelfDeleteScript, NoTemporaryFolderPutsTheScriptAtTheRootOfC) {
  machine.tempPath.reset();

  WriteSelfDeleteScript(kInstallFolder);

  EXPECT_EQ(machine.files.fileBytes(u"C:\\Durvak.bat"), ScriptFor("C:\\Program Files\\Durvak", "C:\\Durvak.bat"));
  ASSERT_EQ(machine.launches.size(), 1u);
  EXPECT_EQ(machine.launches[0].file, std::u16string(u"C:\\Durvak.bat"));
}

TEST_F(SelfDeleteScript, ExistingScriptIsOverwritten) {
  machine.files.addFile(u"C:\\Temp\\Durvak.bat", std::string(5000, 'x'));

  WriteSelfDeleteScript(kInstallFolder);

  EXPECT_EQ(machine.files.fileBytes(u"C:\\Temp\\Durvak.bat"),
            ScriptFor("C:\\Program Files\\Durvak", "C:\\Temp\\\\Durvak.bat"));
}

TEST_F(SelfDeleteScript, PathsAreWrittenInTheOemCodePageWithPercentSignsDoubled) {
  const struct {
    const char* label;
    std::u16string installFolder;
    std::u16string tempFolder;
    sim::CodePage oem;
    std::string installText;
    std::string scriptText;
  } cases[] = {
      {"space", kInstallFolder, u"C:\\My Temp\\", sim::CodePage::Oem437(), "C:\\Program Files\\Durvak",
       "C:\\My Temp\\\\Durvak.bat"},
      {"lone percent", kInstallFolder, u"C:\\T%p\\", sim::CodePage::Oem437(), "C:\\Program Files\\Durvak",
       "C:\\T%%p\\\\Durvak.bat"},
      {"variable-like", u"C:\\Program Files\\%TEMP%\\Durvak", u"C:\\Temp\\", sim::CodePage::Oem437(),
       "C:\\Program Files\\%%TEMP%%\\Durvak", "C:\\Temp\\\\Durvak.bat"},
      {"e acute in code page 437", kInstallFolder, u"C:\\Users\\Ren\u00e9\\Temp\\", sim::CodePage::Oem437(),
       "C:\\Program Files\\Durvak", "C:\\Users\\Ren\x82\\Temp\\\\Durvak.bat"},
      {"Chinese name in code page 936", kInstallFolder, u"C:\\Users\\张伟\\Temp\\", sim::CodePage::Gbk936Subset(),
       "C:\\Program Files\\Durvak", "C:\\Users\\\xD5\xC5\xCE\xB0\\Temp\\\\Durvak.bat"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    sim::reset();
    machine.oemCodePage = c.oem;
    machine.tempPath = c.tempFolder;
    machine.files.addFolder(c.tempFolder);

    WriteSelfDeleteScript(c.installFolder);

    EXPECT_EQ(machine.files.fileBytes(c.tempFolder + u"Durvak.bat"), ScriptFor(c.installText, c.scriptText));
    EXPECT_EQ(machine.launches.size(), 1u);
  }
}

TEST_F(SelfDeleteScript, PathThatCantBeWrittenExactlyStopsTheScript) {
  const struct {
    const char* label;
    std::u16string installFolder;
    std::u16string tempFolder;
  } cases[] = {
      {"Chinese temporary folder in code page 437", kInstallFolder, u"C:\\Users\\张伟\\Temp\\"},
      {"Chinese install folder in code page 437", u"C:\\程序\\Durvak", u"C:\\Temp\\"},
      {"character above U+00FF with a best-fit look-alike", kInstallFolder, u"C:\\T\u0100mp\\"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    sim::reset();
    machine.tempPath = c.tempFolder;
    machine.files.addFolder(c.tempFolder);

    WriteSelfDeleteScript(c.installFolder);

    EXPECT_FALSE(machine.files.fileExists(c.tempFolder + u"Durvak.bat"));
    EXPECT_TRUE(machine.launches.empty());
  }
}

TEST_F(SelfDeleteScript, ScriptPathMustFitInAPathBuffer) {
  const struct {
    size_t tempUnits;
    bool written;
  } cases[] = {{248, true}, {249, false}, {259, false}, {300, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.tempUnits);
    sim::reset();
    std::u16string temp = u"C:\\";
    while (temp.size() < c.tempUnits - 1) temp += u't';
    temp += u'\\';
    machine.tempPath = temp;
    machine.files.addFolder(temp);

    WriteSelfDeleteScript(kInstallFolder);

    EXPECT_EQ(machine.launches.size(), c.written ? 1u : 0u);
    EXPECT_EQ(machine.files.fileExists(temp + u"Durvak.bat"), c.written);
  }
}

TEST_F(SelfDeleteScript, ScriptThatCantBeWrittenWholeIsNotStarted) {
  const struct {
    const char* label;
    const char* failingCall;
  } cases[] = {{"can't be created", "OpenStream"}, {"write fails", "WriteStream"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    sim::reset();
    machine.failCall(c.failingCall, sim::kErrorAccessDenied);

    WriteSelfDeleteScript(kInstallFolder);

    EXPECT_TRUE(machine.launches.empty());
  }
}

}  // namespace
