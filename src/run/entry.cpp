#include "cleanup/cleanup.h"
#include "platform/wide_path.h"
#include "run/run.h"

#include <utility>

namespace {

constexpr int kExitAllocationFailed = 1;

// Empty when the program-files folder can't be obtained; cleanup then skips
// every step inside the install folder rather than act on a relative path.
std::u16string InstallFolder() {
  char16_t programFiles[platform::kMaxPath] = {};
  if (!platform::SHGetSpecialFolderPathW(programFiles, platform::kCsidlProgramFiles, false)) return {};
  return platform::JoinPath(programFiles, u"\\Durvak");
}

}  // namespace

int RunOnce() {
  const std::u16string installFolder = InstallFolder();

  uint32_t bytesPerSector = 0;
  if (!platform::GetDiskFreeSpaceW(u"C:\\", &bytesPerSector)) return 0;
  if (!SavePointTableSize(bytesPerSector)) return 0;

  platform::UniqueFile volume =
      platform::CreateFileW(u"\\\\.\\C:", platform::kGenericReadWrite, platform::kFileShareReadWrite,
                            platform::kOpenExisting, platform::kFileFlagNoBuffering);
  if (!volume) return 0;

  bool allocationFailed = false;
  SavePointTable table = QuerySavePointTable(volume.get(), bytesPerSector, &allocationFailed);
  if (allocationFailed) return kExitAllocationFailed;
  if (table) {
    ExpireSavePoints(std::move(volume), std::move(table));
    return 0;
  }
  RunCleanup(installFolder);
  return 0;
}
