// The narrow set of platform procedures the tool calls. Names and meanings
// follow the Windows API; strings are UTF-16 (char16_t) on every build.
// Two implementations: windows/ (the real API) and the simulated machine
// that lives with the host tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace platform {

// ---- Values the tool passes, with the Windows API's meaning ----
constexpr uint32_t kErrorSuccess = 0;
constexpr uint32_t kErrorInsufficientBuffer = 122;

constexpr uint32_t kGenericReadWrite = 0xC0000000;
constexpr uint32_t kFileShareReadWrite = 3;
constexpr uint32_t kOpenExisting = 3;
constexpr uint32_t kFileFlagNoBuffering = 0x20000000;

constexpr int kCsidlProgramFiles = 0x26;

constexpr uint32_t kRegOptionNonVolatile = 0;
constexpr uint32_t kKeyAllAccess = 0xF003F;

constexpr uint32_t kFormatMessageFromSystem = 0x1000;

constexpr uint32_t kDigcfPresent = 0x02;
constexpr uint32_t kDigcfProfile = 0x08;
constexpr uint32_t kDigcfDeviceInterface = 0x10;
constexpr uint32_t kSpdrpClass = 7;
constexpr uint32_t kSpdrpUpperFilters = 0x11;
constexpr uint32_t kRegSz = 1;
constexpr uint32_t kRegMultiSz = 7;

constexpr uint32_t kScManagerAllAccess = 0xF003F;
constexpr uint32_t kServiceAllAccess = 0xF01FF;

constexpr uint32_t kMbOk = 0x0;
constexpr uint32_t kMbIconError = 0x10;
constexpr int kSwHide = 0;

constexpr uint32_t kCpAcp = 0;
constexpr uint32_t kCpOemCp = 1;
constexpr uint32_t kWcNoBestFitChars = 0x400;

constexpr size_t kMaxPath = 260;

// ---- Handle kinds: one owner type each, closed by the matching call ----
struct FileObject;
struct RegKeyObject;
struct DevInfoObject;
struct ServiceObject;
struct StreamObject;

using FileHandle = FileObject*;
using RegKey = RegKeyObject*;
using DevInfoSet = DevInfoObject*;
using ServiceHandle = ServiceObject*;
using Stream = StreamObject*;

struct FileCloser { void operator()(FileHandle file) const; };              // CloseHandle
struct RegKeyCloser { void operator()(RegKey key) const; };                 // RegCloseKey
struct DevInfoCloser { void operator()(DevInfoSet set) const; };            // SetupDiDestroyDeviceInfoList
struct ServiceCloser { void operator()(ServiceHandle service) const; };     // CloseServiceHandle
struct StreamCloser { void operator()(Stream stream) const; };               // fclose
struct HeapCloser { void operator()(uint8_t* buffer) const; };              // HeapFree

using UniqueFile = std::unique_ptr<FileObject, FileCloser>;
using UniqueRegKey = std::unique_ptr<RegKeyObject, RegKeyCloser>;
using UniqueDevInfoSet = std::unique_ptr<DevInfoObject, DevInfoCloser>;
using UniqueService = std::unique_ptr<ServiceObject, ServiceCloser>;
using UniqueStream = std::unique_ptr<StreamObject, StreamCloser>;
using UniqueHeapBuffer = std::unique_ptr<uint8_t[], HeapCloser>;

// The predefined root HKEY_LOCAL_MACHINE; never closed.
RegKey LocalMachineKey();

struct Guid {
  uint32_t data1;
  uint16_t data2;
  uint16_t data3;
  uint8_t data4[8];
};

// Layout of SP_DEVINFO_DATA.
struct DevInfoData {
  uint32_t cbSize;
  Guid classGuid;
  uint32_t devInst;
  uintptr_t reserved;
};

// Layout of SYSTEMTIME.
struct SystemTime {
  uint16_t year;
  uint16_t month;
  uint16_t dayOfWeek;
  uint16_t day;
  uint16_t hour;
  uint16_t minute;
  uint16_t second;
  uint16_t milliseconds;
};

uint32_t GetLastError();

// ---- Memory ----
// Null when the allocation fails.
UniqueHeapBuffer HeapAlloc(size_t bytes, bool zeroMemory);

// ---- Volume and file I/O ----
bool GetDiskFreeSpaceW(const char16_t* root, uint32_t* bytesPerSector);
// Null (never INVALID_HANDLE_VALUE) when the open fails.
UniqueFile CreateFileW(const char16_t* path, uint32_t access, uint32_t share, uint32_t disposition,
                       uint32_t flags);
bool DeviceIoControl(FileHandle device, uint32_t code, const void* in, uint32_t inBytes, void* out,
                     uint32_t outBytes, uint32_t* bytesReturned);
bool DeleteFileW(const char16_t* path);
bool DeleteFileA(const char* path);
bool RemoveDirectoryW(const char16_t* path);
bool RemoveDirectoryA(const char* path);
uint32_t GetWindowsDirectoryW(char16_t* buffer, uint32_t units);
uint32_t GetTempPathW(uint32_t units, char16_t* buffer);

// Byte streams opened in binary mode ("rb", "wb"); the tool does its own
// text-mode translation so every build reads and writes the same bytes.
UniqueStream OpenStream(const char16_t* path, const char* mode);
size_t ReadStream(Stream stream, void* buffer, size_t bytes);
size_t WriteStream(Stream stream, const void* bytes, size_t count);

// Standard output, as bytes.
void WriteStandardOutput(const char* bytes, size_t count);

// ---- Text ----
// As WideCharToMultiByte with a null default character.
int WideCharToMultiByte(uint32_t codePage, uint32_t flags, const char16_t* text, int units, char* out,
                        int outBytes, bool* usedDefaultChar);
uint32_t FormatMessageW(uint32_t flags, uint32_t messageId, char16_t* buffer, uint32_t units);

// ---- Time and message box ----
void GetLocalTime(SystemTime* time);
bool SystemTimeToFileTime(const SystemTime* time, uint64_t* fileTime);
int MessageBoxW(const char16_t* text, const char16_t* caption, uint32_t style);

// ---- Registry: results are Windows error codes, 0 on success ----
long RegCreateKeyExW(RegKey parent, const char16_t* subKey, const char16_t* keyClass, uint32_t options,
                     uint32_t access, UniqueRegKey* result, uint32_t* disposition);
long RegOpenKeyExW(RegKey parent, const char16_t* subKey, uint32_t options, uint32_t access,
                   UniqueRegKey* result);
long RegQueryInfoKeyW(RegKey key, uint32_t* subKeyCount);
long RegEnumKeyW(RegKey key, uint32_t index, char16_t* name, uint32_t nameUnits);
long RegDeleteKeyW(RegKey parent, const char16_t* subKey);

// ---- Device installation (Setup) API ----
// Null when the set can't be built.
UniqueDevInfoSet SetupDiGetClassDevsW(const Guid* classGuid, uint32_t flags);
bool SetupDiEnumDeviceInfo(DevInfoSet set, uint32_t index, DevInfoData* device);
bool SetupDiGetDeviceRegistryPropertyW(DevInfoSet set, DevInfoData* device, uint32_t property,
                                       uint32_t* registryType, uint8_t* buffer, uint32_t bufferBytes,
                                       uint32_t* requiredBytes);
bool SetupDiSetDeviceRegistryPropertyW(DevInfoSet set, DevInfoData* device, uint32_t property,
                                       const uint8_t* buffer, uint32_t bufferBytes);
// Takes the set; reports whether it was released.
bool SetupDiDestroyDeviceInfoList(UniqueDevInfoSet set);

// ---- Service control manager ----
UniqueService OpenSCManagerW(uint32_t access);
UniqueService OpenServiceW(ServiceHandle manager, const char16_t* name, uint32_t access);
bool DeleteService(ServiceHandle service);

// ---- Shell ----
bool SHGetSpecialFolderPathW(char16_t* path, int folder, bool create);
// Returns the ShellExecuteW result; above 32 means started.
intptr_t ShellExecuteW(const char16_t* verb, const char16_t* file, const char16_t* parameters,
                       const char16_t* directory, int showCommand);

}  // namespace platform
