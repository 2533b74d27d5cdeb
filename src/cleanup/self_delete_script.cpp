#include <string>

#include "cleanup/cleanup.h"
#include "platform/wide_path.h"

namespace {

// Where GetTempPathW gives nothing, the script goes to the root of C:.
std::u16string ScriptPath() {
  char16_t tempFolder[platform::kMaxPath] = {};
  const uint32_t units = platform::GetTempPathW(platform::kMaxPath, tempFolder);
  if (units == 0) return u"C:\\Durvak.bat";
  if (units >= platform::kMaxPath) return {};  // did not fit the buffer
  return platform::JoinPath(std::u16string_view(tempFolder, units), u"\\Durvak.bat");
}

// The path as the command interpreter reads a batch file: in the OEM code
// page, with every % doubled so it isn't expanded. False when the path has a
// character the code page can't write exactly.
bool ToScriptText(const std::u16string& path, std::string* text) {
  std::u16string escaped;
  for (const char16_t unit : path) {
    escaped.push_back(unit);
    if (unit == u'%') escaped.push_back(unit);
  }
  const int units = static_cast<int>(escaped.size());
  const uint32_t flags = platform::kWcNoBestFitChars;
  const int bytes = platform::WideCharToMultiByte(platform::kCpOemCp, flags, escaped.data(), units, nullptr, 0, nullptr);
  if (bytes <= 0) return false;
  text->assign(static_cast<size_t>(bytes), '\0');
  bool usedDefaultChar = false;
  return platform::WideCharToMultiByte(platform::kCpOemCp, flags, escaped.data(), units, text->data(), bytes,
                                       &usedDefaultChar) == bytes &&
         !usedDefaultChar;
}

}  // namespace

void WriteSelfDeleteScript(const std::u16string& installFolder) {
  const std::u16string executable = platform::JoinPath(installFolder, u"\\Kestrovin.exe");
  const std::u16string scriptPath = ScriptPath();
  if (executable.empty() || scriptPath.empty()) return;

  std::string executableText;
  std::string folderText;
  std::string scriptText;
  if (!ToScriptText(executable, &executableText) || !ToScriptText(installFolder, &folderText) ||
      !ToScriptText(scriptPath, &scriptText)) {
    return;
  }
  const std::string script = ":Repeat\r\n"
                             "del \"" + executableText + "\"\r\n"
                             "if exist \"" + executableText + "\" goto Repeat\r\n"
                             "rd \"" + folderText + "\"\r\n"
                             "del \"" + scriptText + "\"\r\n";

  {
    platform::UniqueStream file = platform::OpenStream(scriptPath.c_str(), "wb");
    if (!file) return;
    // A script cut short could act on a cut path; only a whole one is started.
    if (platform::WriteStream(file.get(), script.data(), script.size()) != script.size()) return;
  }
  platform::ShellExecuteW(u"open", scriptPath.c_str(), u"", u"", platform::kSwHide);
}
