// The platform seam over the real Windows API: one thin forwarder per
// procedure, the API's result passed through unchanged.
#include "platform/platform.h"

#include <cstdio>

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <setupapi.h>
#include <shellapi.h>
#include <shlobj.h>

// UTF-16 strings cross into the W functions as they are.
static_assert(sizeof(wchar_t) == sizeof(char16_t), "wchar_t must be UTF-16");

static_assert(platform::kErrorSuccess == ERROR_SUCCESS);
static_assert(platform::kErrorInsufficientBuffer == ERROR_INSUFFICIENT_BUFFER);
static_assert(platform::kGenericReadWrite == (GENERIC_READ | GENERIC_WRITE));
static_assert(platform::kFileShareReadWrite == (FILE_SHARE_READ | FILE_SHARE_WRITE));
static_assert(platform::kOpenExisting == OPEN_EXISTING);
static_assert(platform::kFileFlagNoBuffering == FILE_FLAG_NO_BUFFERING);
static_assert(platform::kCsidlProgramFiles == CSIDL_PROGRAM_FILES);
static_assert(platform::kRegOptionNonVolatile == REG_OPTION_NON_VOLATILE);
static_assert(platform::kKeyAllAccess == KEY_ALL_ACCESS);
static_assert(platform::kFormatMessageFromSystem == FORMAT_MESSAGE_FROM_SYSTEM);
static_assert(platform::kDigcfPresent == DIGCF_PRESENT);
static_assert(platform::kDigcfProfile == DIGCF_PROFILE);
static_assert(platform::kDigcfDeviceInterface == DIGCF_DEVICEINTERFACE);
static_assert(platform::kSpdrpClass == SPDRP_CLASS);
static_assert(platform::kSpdrpUpperFilters == SPDRP_UPPERFILTERS);
static_assert(platform::kRegSz == REG_SZ);
static_assert(platform::kRegMultiSz == REG_MULTI_SZ);
static_assert(platform::kScManagerAllAccess == SC_MANAGER_ALL_ACCESS);
static_assert(platform::kServiceAllAccess == SERVICE_ALL_ACCESS);
static_assert(platform::kMbOk == MB_OK);
static_assert(platform::kMbIconError == MB_ICONERROR);
static_assert(platform::kSwHide == SW_HIDE);
static_assert(platform::kCpAcp == CP_ACP);
static_assert(platform::kCpOemCp == CP_OEMCP);
static_assert(platform::kWcNoBestFitChars == WC_NO_BEST_FIT_CHARS);
static_assert(platform::kMaxPath == MAX_PATH);

// The seam's records are handed to the API in place, so their layouts must match.
static_assert(sizeof(platform::Guid) == sizeof(GUID));
static_assert(offsetof(platform::Guid, data1) == offsetof(GUID, Data1));
static_assert(offsetof(platform::Guid, data2) == offsetof(GUID, Data2));
static_assert(offsetof(platform::Guid, data3) == offsetof(GUID, Data3));
static_assert(offsetof(platform::Guid, data4) == offsetof(GUID, Data4));

static_assert(sizeof(platform::DevInfoData) == sizeof(SP_DEVINFO_DATA));
static_assert(offsetof(platform::DevInfoData, cbSize) == offsetof(SP_DEVINFO_DATA, cbSize));
static_assert(offsetof(platform::DevInfoData, classGuid) == offsetof(SP_DEVINFO_DATA, ClassGuid));
static_assert(offsetof(platform::DevInfoData, devInst) == offsetof(SP_DEVINFO_DATA, DevInst));
static_assert(offsetof(platform::DevInfoData, reserved) == offsetof(SP_DEVINFO_DATA, Reserved));

static_assert(sizeof(platform::SystemTime) == sizeof(SYSTEMTIME));
static_assert(offsetof(platform::SystemTime, year) == offsetof(SYSTEMTIME, wYear));
static_assert(offsetof(platform::SystemTime, month) == offsetof(SYSTEMTIME, wMonth));
static_assert(offsetof(platform::SystemTime, dayOfWeek) == offsetof(SYSTEMTIME, wDayOfWeek));
static_assert(offsetof(platform::SystemTime, day) == offsetof(SYSTEMTIME, wDay));
static_assert(offsetof(platform::SystemTime, hour) == offsetof(SYSTEMTIME, wHour));
static_assert(offsetof(platform::SystemTime, minute) == offsetof(SYSTEMTIME, wMinute));
static_assert(offsetof(platform::SystemTime, second) == offsetof(SYSTEMTIME, wSecond));
static_assert(offsetof(platform::SystemTime, milliseconds) == offsetof(SYSTEMTIME, wMilliseconds));

namespace platform {
namespace {

const wchar_t* Wide(const char16_t* text) { return reinterpret_cast<const wchar_t*>(text); }
wchar_t* Wide(char16_t* text) { return reinterpret_cast<wchar_t*>(text); }

HKEY Native(RegKey key) { return reinterpret_cast<HKEY>(key); }
SC_HANDLE Native(ServiceHandle service) { return reinterpret_cast<SC_HANDLE>(service); }
FILE* Native(Stream stream) { return reinterpret_cast<FILE*>(stream); }
SP_DEVINFO_DATA* Native(DevInfoData* device) { return reinterpret_cast<SP_DEVINFO_DATA*>(device); }

}  // namespace

void FileCloser::operator()(FileHandle file) const { ::CloseHandle(file); }
void RegKeyCloser::operator()(RegKey key) const { ::RegCloseKey(Native(key)); }
void DevInfoCloser::operator()(DevInfoSet set) const { ::SetupDiDestroyDeviceInfoList(set); }
void ServiceCloser::operator()(ServiceHandle service) const { ::CloseServiceHandle(Native(service)); }
void StreamCloser::operator()(Stream stream) const { std::fclose(Native(stream)); }
void HeapCloser::operator()(uint8_t* buffer) const { ::HeapFree(::GetProcessHeap(), 0, buffer); }

RegKey LocalMachineKey() { return reinterpret_cast<RegKey>(HKEY_LOCAL_MACHINE); }

uint32_t GetLastError() { return ::GetLastError(); }

UniqueHeapBuffer HeapAlloc(size_t bytes, bool zeroMemory) {
  void* memory = ::HeapAlloc(::GetProcessHeap(), zeroMemory ? HEAP_ZERO_MEMORY : 0, bytes);
  return UniqueHeapBuffer(static_cast<uint8_t*>(memory));
}

bool GetDiskFreeSpaceW(const char16_t* root, uint32_t* bytesPerSector) {
  DWORD sectorsPerCluster = 0, sectorBytes = 0, freeClusters = 0, totalClusters = 0;
  BOOL ok = ::GetDiskFreeSpaceW(Wide(root), &sectorsPerCluster, &sectorBytes, &freeClusters, &totalClusters);
  *bytesPerSector = sectorBytes;
  return ok != FALSE;
}

UniqueFile CreateFileW(const char16_t* path, uint32_t access, uint32_t share, uint32_t disposition,
                       uint32_t flags) {
  HANDLE file = ::CreateFileW(Wide(path), access, share, nullptr, disposition, flags, nullptr);
  if (file == INVALID_HANDLE_VALUE) return UniqueFile();
  return UniqueFile(static_cast<FileHandle>(file));
}

bool DeviceIoControl(FileHandle device, uint32_t code, const void* in, uint32_t inBytes, void* out,
                     uint32_t outBytes, uint32_t* bytesReturned) {
  // Without an OVERLAPPED the API requires somewhere to write the count.
  DWORD returned = 0;
  BOOL ok = ::DeviceIoControl(device, code, const_cast<void*>(in), inBytes, out, outBytes, &returned, nullptr);
  if (bytesReturned) *bytesReturned = returned;
  return ok != FALSE;
}

bool DeleteFileW(const char16_t* path) { return ::DeleteFileW(Wide(path)) != FALSE; }
bool DeleteFileA(const char* path) { return ::DeleteFileA(path) != FALSE; }
bool RemoveDirectoryW(const char16_t* path) { return ::RemoveDirectoryW(Wide(path)) != FALSE; }
bool RemoveDirectoryA(const char* path) { return ::RemoveDirectoryA(path) != FALSE; }

uint32_t GetWindowsDirectoryW(char16_t* buffer, uint32_t units) {
  return ::GetWindowsDirectoryW(Wide(buffer), units);
}

uint32_t GetTempPathW(uint32_t units, char16_t* buffer) { return ::GetTempPathW(units, Wide(buffer)); }

UniqueStream OpenStream(const char16_t* path, const char* mode) {
  wchar_t wideMode[8] = {};
  for (size_t i = 0; mode[i] != '\0' && i + 1 < sizeof wideMode / sizeof wideMode[0]; ++i) {
    wideMode[i] = static_cast<wchar_t>(static_cast<unsigned char>(mode[i]));
  }
  return UniqueStream(reinterpret_cast<Stream>(::_wfopen(Wide(path), wideMode)));
}

size_t ReadStream(Stream stream, void* buffer, size_t bytes) {
  return std::fread(buffer, 1, bytes, Native(stream));
}

size_t WriteStream(Stream stream, const void* bytes, size_t count) {
  return std::fwrite(bytes, 1, count, Native(stream));
}

void WriteStandardOutput(const char* bytes, size_t count) {
  // stdout keeps the runtime's text mode, so "\n" reaches the console as CR LF.
  std::fwrite(bytes, 1, count, stdout);
  std::fflush(stdout);
}

int WideCharToMultiByte(uint32_t codePage, uint32_t flags, const char16_t* text, int units, char* out,
                        int outBytes, bool* usedDefaultChar) {
  BOOL used = FALSE;
  int written = ::WideCharToMultiByte(codePage, flags, Wide(text), units, out, outBytes, nullptr,
                                      usedDefaultChar ? &used : nullptr);
  if (usedDefaultChar) *usedDefaultChar = used != FALSE;
  return written;
}

uint32_t FormatMessageW(uint32_t flags, uint32_t messageId, char16_t* buffer, uint32_t units) {
  return ::FormatMessageW(flags, nullptr, messageId, 0, Wide(buffer), units, nullptr);
}

void GetLocalTime(SystemTime* time) { ::GetLocalTime(reinterpret_cast<SYSTEMTIME*>(time)); }

bool SystemTimeToFileTime(const SystemTime* time, uint64_t* fileTime) {
  FILETIME native = {};
  BOOL ok = ::SystemTimeToFileTime(reinterpret_cast<const SYSTEMTIME*>(time), &native);
  *fileTime = (static_cast<uint64_t>(native.dwHighDateTime) << 32) | native.dwLowDateTime;
  return ok != FALSE;
}

int MessageBoxW(const char16_t* text, const char16_t* caption, uint32_t style) {
  return ::MessageBoxW(nullptr, Wide(text), Wide(caption), style);
}

long RegCreateKeyExW(RegKey parent, const char16_t* subKey, const char16_t* keyClass, uint32_t options,
                     uint32_t access, UniqueRegKey* result, uint32_t* disposition) {
  HKEY key = nullptr;
  DWORD created = 0;
  LONG status = ::RegCreateKeyExW(Native(parent), Wide(subKey), 0, const_cast<wchar_t*>(Wide(keyClass)),
                                  options, access, nullptr, &key, &created);
  if (status == ERROR_SUCCESS) result->reset(reinterpret_cast<RegKey>(key));
  if (disposition) *disposition = created;
  return status;
}

long RegOpenKeyExW(RegKey parent, const char16_t* subKey, uint32_t options, uint32_t access,
                   UniqueRegKey* result) {
  HKEY key = nullptr;
  LONG status = ::RegOpenKeyExW(Native(parent), Wide(subKey), options, access, &key);
  if (status == ERROR_SUCCESS) result->reset(reinterpret_cast<RegKey>(key));
  return status;
}

long RegQueryInfoKeyW(RegKey key, uint32_t* subKeyCount) {
  DWORD subKeys = 0;
  LONG status = ::RegQueryInfoKeyW(Native(key), nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr,
                                   nullptr, nullptr, nullptr, nullptr, nullptr);
  *subKeyCount = subKeys;
  return status;
}

long RegEnumKeyW(RegKey key, uint32_t index, char16_t* name, uint32_t nameUnits) {
  return ::RegEnumKeyW(Native(key), index, Wide(name), nameUnits);
}

long RegDeleteKeyW(RegKey parent, const char16_t* subKey) {
  return ::RegDeleteKeyW(Native(parent), Wide(subKey));
}

UniqueDevInfoSet SetupDiGetClassDevsW(const Guid* classGuid, uint32_t flags) {
  HDEVINFO set = ::SetupDiGetClassDevsW(reinterpret_cast<const GUID*>(classGuid), nullptr, nullptr, flags);
  if (set == INVALID_HANDLE_VALUE) return UniqueDevInfoSet();
  return UniqueDevInfoSet(static_cast<DevInfoSet>(set));
}

bool SetupDiEnumDeviceInfo(DevInfoSet set, uint32_t index, DevInfoData* device) {
  return ::SetupDiEnumDeviceInfo(set, index, Native(device)) != FALSE;
}

bool SetupDiGetDeviceRegistryPropertyW(DevInfoSet set, DevInfoData* device, uint32_t property,
                                       uint32_t* registryType, uint8_t* buffer, uint32_t bufferBytes,
                                       uint32_t* requiredBytes) {
  DWORD type = 0, required = 0;
  BOOL ok = ::SetupDiGetDeviceRegistryPropertyW(set, Native(device), property, &type, buffer, bufferBytes,
                                                &required);
  if (registryType) *registryType = type;
  if (requiredBytes) *requiredBytes = required;
  return ok != FALSE;
}

bool SetupDiSetDeviceRegistryPropertyW(DevInfoSet set, DevInfoData* device, uint32_t property,
                                       const uint8_t* buffer, uint32_t bufferBytes) {
  return ::SetupDiSetDeviceRegistryPropertyW(set, Native(device), property, buffer, bufferBytes) != FALSE;
}

bool SetupDiDestroyDeviceInfoList(UniqueDevInfoSet set) {
  return ::SetupDiDestroyDeviceInfoList(set.release()) != FALSE;
}

UniqueService OpenSCManagerW(uint32_t access) {
  return UniqueService(reinterpret_cast<ServiceHandle>(::OpenSCManagerW(nullptr, nullptr, access)));
}

UniqueService OpenServiceW(ServiceHandle manager, const char16_t* name, uint32_t access) {
  return UniqueService(reinterpret_cast<ServiceHandle>(::OpenServiceW(Native(manager), Wide(name), access)));
}

bool DeleteService(ServiceHandle service) { return ::DeleteService(Native(service)) != FALSE; }

bool SHGetSpecialFolderPathW(char16_t* path, int folder, bool create) {
  return ::SHGetSpecialFolderPathW(nullptr, Wide(path), folder, create) != FALSE;
}

intptr_t ShellExecuteW(const char16_t* verb, const char16_t* file, const char16_t* parameters,
                       const char16_t* directory, int showCommand) {
  HINSTANCE result = ::ShellExecuteW(nullptr, Wide(verb), Wide(file), Wide(parameters), Wide(directory),
                                     showCommand);
  return reinterpret_cast<intptr_t>(result);
}

}  // namespace platform
