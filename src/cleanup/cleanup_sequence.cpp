#include "cleanup/cleanup.h"
#include "platform/wide_path.h"

namespace {

constexpr char16_t kUninstallKey[] = u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall";

}  // namespace

void RunCleanup(const std::u16string& installFolder) {
  RemoveDriverAndFilter();
  DeleteBootService();
  DeleteUninstallEntry();
  if (installFolder.empty()) return;  // nothing of the product can be found without it
  DeleteInstallFolderFiles(installFolder);
  RemoveInstallRecordItems(installFolder);
  WriteSelfDeleteScript(installFolder);
}

void DeleteUninstallEntry() {
  platform::UniqueRegKey uninstall = CreateLocalMachineKey(kUninstallKey);
  if (!uninstall) return;
  DeleteKeyTree(uninstall.get(), u"Durvak");
}

void DeleteInstallFolderFiles(const std::u16string& installFolder) {
  for (const char16_t* file : {u"\\Tessel.dat", u"\\qv.exe", u"\\Unplex.exe"}) {
    const std::u16string path = platform::JoinPath(installFolder, file);
    if (!path.empty()) platform::DeleteFileW(path.c_str());
  }
}
