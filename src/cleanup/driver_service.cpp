#include <string>

#include "cleanup/cleanup.h"
#include "platform/wide_path.h"

namespace {

constexpr char16_t kServicesKey[] = u"SYSTEM\\CurrentControlSet\\Services";

// Empty when it can't be read whole; the file steps then have no base and are
// skipped rather than run on a relative or cut path.
std::u16string WindowsFolder() {
  char16_t folder[platform::kMaxPath] = {};
  const uint32_t units = platform::GetWindowsDirectoryW(folder, platform::kMaxPath);
  if (units == 0 || units >= platform::kMaxPath) return {};
  return std::u16string(folder, units);
}

}  // namespace

void RemoveDriverAndFilter() {
  const std::u16string windowsFolder = WindowsFolder();

  platform::UniqueRegKey services = CreateLocalMachineKey(kServicesKey);
  if (!services) return;
  DeleteKeyTree(services.get(), u"Durvak");
  services.reset();

  const std::u16string driverFile = platform::JoinPath(windowsFolder, u"\\System32\\Drivers\\Durvak.sys");
  if (!driverFile.empty()) platform::DeleteFileW(driverFile.c_str());

  DeregisterDiskFilter();

  // The hidden folder sits on the Windows drive, which need not be C:.
  if (!windowsFolder.empty()) {
    const std::u16string hiddenFolder = windowsFolder.substr(0, 1) + u":\\$Durvak$";
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
