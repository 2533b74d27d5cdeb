#include <string>

#include "cleanup/cleanup.h"
#include "platform/wide_path.h"

namespace {

constexpr char16_t kServicesKey[] = u"SYSTEM\\CurrentControlSet\\Services";

}  // namespace

void RemoveDriverAndFilter() {
  char16_t windowsFolder[platform::kMaxPath] = {};
  platform::GetWindowsDirectoryW(windowsFolder, platform::kMaxPath);
  const char16_t windowsDrive = windowsFolder[0];

  platform::UniqueRegKey services = CreateLocalMachineKey(kServicesKey);
  if (!services) return;
  DeleteKeyTree(services.get(), u"Durvak");
  services.reset();

  const std::u16string driverFile = platform::JoinPath(windowsFolder, u"\\System32\\Drivers\\Durvak.sys");
  if (!driverFile.empty()) platform::DeleteFileW(driverFile.c_str());

  DeregisterDiskFilter();

  // The hidden folder sits on the Windows drive, which need not be C:.
  if (windowsDrive != 0) {
    const std::u16string hiddenFolder = std::u16string(1, windowsDrive) + u":\\$Durvak$";
    platform::DeleteFileW((hiddenFolder + u"\\Durvak.sys").c_str());
    platform::RemoveDirectoryW(hiddenFolder.c_str());
  }
}

void DeleteBootService() {
  platform::UniqueService manager = platform::OpenSCManagerW(platform::kScManagerAllAccess);
  platform::UniqueService service = platform::OpenServiceW(manager.get(), u"Kestrovin", platform::kServiceAllAccess);
  platform::DeleteService(service.get());
  // The service handle is closed before the manager's: reverse order of declaration.
}
