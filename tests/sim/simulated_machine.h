// The simulated machine the host tests run the tool against. A test describes
// a machine (volumes, driver, registry, files, devices, services), runs the
// tool, whose platform calls land in simulated_platform.cpp, and then looks at
// what the machine holds and what was called.
//
//   sim::reset();
//   sim::Machine& m = sim::machine();
//   m.driver.installed = true;
//   m.driver.addSavePoint(0, 7, sim::shiftedTime(m.localTime, -31 * sim::kMillisecondsPerDay));
//   RunOnce();
//   EXPECT_FALSE(m.driver.hasSavePoint(7));
//   EXPECT_EQ(m.openHandleCount(), 0u);
//
// Paths and key names are compared case-insensitively (A-Z only). Failures are
// reported with the Windows error codes, and misuse by the tool (unknown
// handles, null pointers, wrong sizes) is answered with a failure and listed
// in usageErrors, never a crash.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

namespace sim {

using platform::Guid;
using platform::SystemTime;

// ---- Windows error codes the machine answers with ----
constexpr uint32_t kErrorInvalidFunction = 1;
constexpr uint32_t kErrorFileNotFound = 2;
constexpr uint32_t kErrorPathNotFound = 3;
constexpr uint32_t kErrorAccessDenied = 5;
constexpr uint32_t kErrorInvalidHandle = 6;
constexpr uint32_t kErrorInvalidData = 13;
constexpr uint32_t kErrorNotReady = 21;
constexpr uint32_t kErrorSharingViolation = 32;
constexpr uint32_t kErrorInvalidParameter = 87;
constexpr uint32_t kErrorInsufficientBuffer = 122;
constexpr uint32_t kErrorInvalidName = 123;
constexpr uint32_t kErrorDirNotEmpty = 145;
constexpr uint32_t kErrorBadPathname = 161;
constexpr uint32_t kErrorMoreData = 234;
constexpr uint32_t kErrorNoMoreItems = 259;
constexpr uint32_t kErrorDirectory = 267;
constexpr uint32_t kErrorMrMidNotFound = 317;
constexpr uint32_t kErrorNoAccess = 998;
constexpr uint32_t kErrorInvalidFlags = 1004;
constexpr uint32_t kErrorKeyDeleted = 1018;
constexpr uint32_t kErrorServiceDoesNotExist = 1060;
constexpr uint32_t kErrorServiceMarkedForDelete = 1072;
constexpr uint32_t kErrorInvalidUserBuffer = 1784;

// ---- Text ----
std::string toUtf8(std::u16string_view text);
std::u16string fromUtf8(std::string_view text);
// Folds A-Z only, as the registry and file names are compared here.
bool sameTextIgnoringCase(std::u16string_view a, std::u16string_view b);

// The registry's enumeration order: A-Z folded to upper case, then unit by unit.
struct NameOrder {
  using is_transparent = void;
  bool operator()(std::u16string_view a, std::u16string_view b) const;
};

// An 8-bit code page: ASCII maps to itself, plus a table of mapped units.
struct CodePage {
  uint32_t number = 0;
  bool utf8 = false;                        // UTF-8: every unit maps, flags other than 0 refused
  std::map<char16_t, std::string> bytesOf;  // units beyond ASCII and their 1 or 2 bytes
  std::map<std::string, char16_t> unitOf;   // the reverse of bytesOf
  uint8_t firstLeadByte = 0;                // double-byte pages: range of lead bytes
  uint8_t lastLeadByte = 0;                 // 0..0 on a single-byte page

  void map(char16_t unit, std::string bytes);
  bool isLeadByte(uint8_t byte) const;
  // Units without a mapping become '?' and set *usedDefault.
  std::string encode(std::u16string_view text, bool* usedDefault = nullptr) const;
  // Bytes without a mapping become U+FFFD.
  std::u16string decode(std::string_view bytes) const;

  static CodePage Latin1();        // U+0000-U+00FF <-> the same byte
  static CodePage Oem437();        // ASCII plus the accented letters of 0x80-0xA5, ß, µ, °
  static CodePage Gbk936Subset();  // ASCII plus a few dozen Chinese characters
  static CodePage Utf8();          // code page 65001
};

// ---- Time ----
constexpr int64_t kTicksPerMillisecond = 10'000;
constexpr int64_t kTicksPerSecond = 10'000'000;
constexpr int64_t kMillisecondsPerSecond = 1000;
constexpr int64_t kMillisecondsPerDay = 86'400'000;

// A valid date with its day of the week filled in.
SystemTime makeTime(int year, int month, int day, int hour = 0, int minute = 0, int second = 0,
                    int milliseconds = 0);
// 100-ns ticks since 1601-01-01 by the rules of SystemTimeToFileTime; nothing for an invalid date.
std::optional<uint64_t> toFileTime(const SystemTime& time);
SystemTime fromFileTime(uint64_t ticks);
// The time that many milliseconds later (negative: earlier). Throws for an invalid date.
SystemTime shiftedTime(const SystemTime& time, int64_t milliseconds);
std::string timeText(const SystemTime& time);  // "2024-05-20 10:00:00.000"

// ---- Device classes ----
constexpr Guid kDiskInterfaceClass{0x53f56307, 0xb6bf, 0x11d0, {0x94, 0xf2, 0x00, 0xa0, 0xc9, 0x1e, 0xfb, 0x8b}};
constexpr Guid kVolumeInterfaceClass{0x53f5630d, 0xb6bf, 0x11d0, {0x94, 0xf2, 0x00, 0xa0, 0xc9, 0x1e, 0xfb, 0x8b}};
constexpr Guid kDiskDriveSetupClass{0x4d36e967, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
constexpr Guid kVolumeSetupClass{0x71a27cdd, 0x812a, 0x11d0, {0xbe, 0xc7, 0x08, 0x00, 0x2b, 0xe2, 0x09, 0x2f}};
bool sameGuid(const Guid& a, const Guid& b);
std::string guidText(const Guid& guid);  // "53f56307-b6bf-11d0-94f2-00a0c91efb8b"

// ---- Volumes and the stand-in driver ----
struct Volume {
  std::optional<uint32_t> bytesPerSector = 512;  // nothing: GetDiskFreeSpaceW fails with 21
  uint32_t openError = 0;                        // nonzero: CreateFileW of \\.\X: fails with it
};

// Each CreateFileW call, successful or not.
struct CreateFileRecord {
  std::u16string path;
  uint32_t access = 0;
  uint32_t share = 0;
  uint32_t disposition = 0;
  uint32_t flags = 0;
  uint32_t error = 0;
};

constexpr uint32_t kListRequest = 0x88000004;
constexpr uint32_t kDeleteRequest = 0x8800000C;
constexpr uint32_t kTableEntries = 1000;
constexpr uint32_t kEntryBytes = 372;
constexpr uint32_t kFirstEntryOffset = 896;
constexpr uint32_t kTableBytes = 373264;

struct SavePoint {
  uint32_t id = 0;
  uint8_t inUse = 1;  // the byte the table holds; 0 gives a slot with data that is not in use
  SystemTime time{};
};

// Each DeviceIoControl call on a volume while the driver is installed or not.
struct DriverRequest {
  char16_t drive = 0;
  uint32_t code = 0;
  std::vector<uint8_t> input;
  uint32_t outputBytes = 0;
  bool outputNull = true;
  uint32_t bytesReturned = 0;
  uint32_t error = 0;
};

enum class ListAnswer {
  kWholeTable,     // the table, up to the output length
  kNothingWritten, // success, not a byte written
  kFirstBytes,     // success, only the first answerBytes bytes of the table
};

struct Driver {
  bool installed = false;
  std::map<uint32_t, SavePoint> slots;  // slot index 0..999 -> save point
  ListAnswer listAnswer = ListAnswer::kWholeTable;
  uint32_t answerBytes = 0;           // for ListAnswer::kFirstBytes
  uint8_t otherBytes = 0;             // written to every table byte the tool doesn't interpret
  std::set<uint32_t> refusedIds;      // delete requests for these fail with refusalError
  uint32_t refusalError = kErrorAccessDenied;

  std::vector<DriverRequest> requests;
  std::vector<uint32_t> deletedIds;   // in the order deleted

  SavePoint& addSavePoint(uint32_t slot, uint32_t id, const SystemTime& time);
  bool hasSavePoint(uint32_t id) const;
  std::vector<uint32_t> remainingIds() const;  // in slot order
  // The table as the driver writes it, whole (kTableBytes bytes).
  std::vector<uint8_t> table() const;
  std::vector<const DriverRequest*> requestsWithCode(uint32_t code) const;
};

// ---- Registry (HKEY_LOCAL_MACHINE) ----
struct RegistryValue {
  uint32_t type = 0;
  std::vector<uint8_t> bytes;
};

struct RegistryKey : std::enable_shared_from_this<RegistryKey> {
  std::u16string name;
  RegistryKey* parent = nullptr;
  std::map<std::u16string, std::shared_ptr<RegistryKey>, NameOrder> subkeys;
  std::map<std::u16string, RegistryValue, NameOrder> values;
  uint32_t openError = 0;    // RegOpenKeyExW / RegCreateKeyExW of this key fail with it
  uint32_t deleteError = 0;  // RegDeleteKeyW of this key fails with it
  bool deleted = false;      // open handles to it then fail with 1018

  std::u16string path() const;  // below the root: u"SYSTEM\\CurrentControlSet"; the root is u""
};

class Registry {
 public:
  Registry();
  RegistryKey& root() { return *root_; }
  // Creates the key and every missing key above it.
  RegistryKey& addKey(std::u16string_view path);
  RegistryKey* findKey(std::u16string_view path);
  const RegistryKey* findKey(std::u16string_view path) const;
  bool keyExists(std::u16string_view path) const;
  // In enumeration order; empty for a missing key.
  std::vector<std::u16string> subkeyNames(std::u16string_view path) const;
  // Every key below the root, parents before children, in enumeration order.
  std::vector<std::u16string> allKeyPaths() const;
  void setValue(std::u16string_view keyPath, std::u16string_view name, RegistryValue value);
  bool valueExists(std::u16string_view keyPath, std::u16string_view name) const;
  void denyOpen(std::u16string_view path, uint32_t error = kErrorAccessDenied);
  void denyDelete(std::u16string_view path, uint32_t error = kErrorAccessDenied);
  // Takes the key and its subkeys away, with no checks.
  bool removeKey(std::u16string_view path);

  // Key names of a path; nothing when a name is empty (leading, doubled or trailing backslash).
  static std::optional<std::vector<std::u16string>> splitPath(std::u16string_view path);

 private:
  std::shared_ptr<RegistryKey> root_;
};

// ---- Files and folders ----
struct FileEntry {
  std::u16string path;  // canonical form
  bool folder = false;
  std::string bytes;
  uint32_t deleteError = 0;  // DeleteFileW / RemoveDirectoryW fail with it
  unsigned openStreams = 0;  // while nonzero, DeleteFileW fails with 32
};

class FileSystem {
 public:
  // Canonical form of an absolute path "X:\..." (either slash; runs of them
  // collapse, "." and ".." resolve): upper-case drive letter, single
  // backslashes, no trailing one except on a root ("C:\"). Nothing for
  // anything else.
  static std::optional<std::u16string> canonical(std::u16string_view path);
  // The folded canonical path the entries are keyed by.
  static std::optional<std::u16string> key(std::u16string_view path);

  // Both create missing parent folders; every drive's root exists already.
  FileEntry& addFile(std::u16string_view path, std::string bytes = {});
  FileEntry& addFolder(std::u16string_view path);
  FileEntry* find(std::u16string_view path);
  const FileEntry* find(std::u16string_view path) const;
  bool fileExists(std::u16string_view path) const;
  bool folderExists(std::u16string_view path) const;  // true for any drive root
  std::optional<std::string> fileBytes(std::u16string_view path) const;
  std::vector<std::u16string> files() const;    // canonical paths, sorted
  std::vector<std::u16string> folders() const;  // canonical paths, sorted, roots left out
  bool isEmptyFolder(std::u16string_view path) const;
  void setDeleteError(std::u16string_view path, uint32_t error);
  // Takes the entry and everything below it away, with no checks.
  bool remove(std::u16string_view path);

  std::map<std::u16string, FileEntry> entries;  // keyed by key()
};

// ---- Devices (Setup API) ----
struct DeviceProperty {
  uint32_t type = 0;
  std::vector<uint8_t> bytes;
};
DeviceProperty regSz(std::u16string_view text);                      // REG_SZ with its zero unit
DeviceProperty multiSz(const std::vector<std::u16string>& entries);  // REG_MULTI_SZ; {} gives one zero unit
// The entries up to the empty one (or the end of the bytes).
std::vector<std::u16string> multiSzEntries(const std::vector<uint8_t>& bytes);

struct Device {
  std::u16string name;
  uint32_t devInst = 0;  // given by the machine
  bool present = true;
  Guid setupClass{};
  std::vector<Guid> interfaceClasses;
  std::map<uint32_t, DeviceProperty> properties;  // SPDRP code -> value; absent = missing
  // Takes the property's place after the first read call of that property,
  // so the value can change between the size query and the read.
  std::map<uint32_t, DeviceProperty> valueAfterFirstRead;

  const DeviceProperty* property(uint32_t code) const;
  const DeviceProperty* upperFilters() const;
  std::vector<std::u16string> upperFilterNames() const;  // empty when absent
};

struct DeviceSetQuery {
  Guid classGuid{};
  uint32_t flags = 0;
  std::vector<std::u16string> members;
  uint32_t error = 0;
};

// Each SetupDiSetDeviceRegistryPropertyW call.
struct PropertyWrite {
  std::u16string device;
  uint32_t property = 0;
  std::optional<std::vector<uint8_t>> bytes;  // nothing: the property was removed
  uint32_t error = 0;
};

// ---- Services ----
struct Service {
  std::u16string name;
  uint32_t deleteError = 0;  // DeleteService fails with it
};

struct ServiceOpen {
  std::u16string name;  // empty for the service control manager
  uint32_t access = 0;
  uint32_t error = 0;
};

// ---- Registry opens, message boxes, launches, heap ----
struct KeyOpen {
  std::string function;  // RegOpenKeyExW or RegCreateKeyExW
  std::u16string path;   // below the root
  uint32_t options = 0;
  uint32_t access = 0;
  uint32_t disposition = 0;  // 1 created, 2 opened (RegCreateKeyExW)
  long result = 0;
};

struct MessageBoxRecord {
  std::optional<std::u16string> text;
  std::optional<std::u16string> caption;
  uint32_t style = 0;
};

struct Launch {
  std::optional<std::u16string> verb;
  std::optional<std::u16string> file;
  std::optional<std::u16string> parameters;
  std::optional<std::u16string> directory;
  int showCommand = 0;
  std::optional<std::string> fileBytes;  // the file's bytes when it was started
  intptr_t result = 0;                   // above 32: started
};

struct Allocation {
  size_t bytes = 0;
  bool zeroed = false;
  bool succeeded = false;
};

// ---- Failure injection and the call log ----
struct CallRecord {
  std::string function;  // the Windows name, or OpenStream/ReadStream/WriteStream/CloseStream/WriteStandardOutput
  std::string argument;  // the main argument as UTF-8 text (see failCall)
  uint32_t error = 0;    // the failure the call answered with, 0 on success
  bool injected = false;
};

struct FailureRule {
  std::string function;
  uint32_t error = 0;
  unsigned occurrence = 0;  // 1-based among the calls the rule matches; 0 = every one
  std::optional<std::u16string> argument;
  unsigned matched = 0;
};

enum class HandleKind { kFile, kRegKey, kDevInfoSet, kService, kStream };

// Bookkeeping of one open handle.
struct OpenHandle {
  HandleKind kind = HandleKind::kFile;
  std::u16string name;                   // volume or file path, key path, service name, stream path
  char16_t drive = 0;                    // kFile: the volume's letter, 0 for a plain file
  std::shared_ptr<RegistryKey> key;      // kRegKey
  std::vector<uint32_t> members;         // kDevInfoSet: devInst of each member, in order
  bool manager = false;                  // kService: the service control manager
  bool writing = false;                  // kStream
  size_t position = 0;                   // kStream: next byte to read
};

class Machine {
 public:
  Machine();
  Machine(const Machine&) = delete;
  Machine& operator=(const Machine&) = delete;

  // ======== The machine as the test describes it ========
  std::map<char16_t, Volume> volumes;  // keyed by upper-case drive letter; C: present
  Driver driver;
  Registry registry;
  FileSystem files;
  std::deque<Device> devices;  // in the order added, which is the enumeration order
  std::map<std::u16string, Service, NameOrder> services;

  std::u16string windowsDirectory = u"C:\\Windows";
  std::optional<std::u16string> programFilesFolder = u"C:\\Program Files";  // nothing: the call fails
  std::optional<std::u16string> tempPath = u"C:\\Temp\\";                    // nothing: the call fails
  SystemTime localTime;
  CodePage ansiCodePage = CodePage::Latin1();
  CodePage oemCodePage = CodePage::Oem437();
  std::map<uint32_t, std::u16string> messageTexts;  // FormatMessageW's texts, "\r\n" included
  intptr_t shellExecuteResult = 42;
  size_t heapLimit = 64u << 20;  // larger allocations fail

  Device& addDevice(std::u16string_view name);
  // A present disk drive: disk interface, class "DiskDrive", the upper filters if given.
  Device& addDiskDrive(std::u16string_view name, std::optional<DeviceProperty> upperFilters = std::nullopt);
  // A present volume: volume interface, class "Volume", the upper filters if given.
  Device& addVolumeDevice(std::u16string_view name, std::optional<DeviceProperty> upperFilters = std::nullopt);
  Device* findDevice(std::u16string_view name);

  Service& addService(std::u16string_view name);
  bool serviceExists(std::u16string_view name) const;

  // ======== Failure injection ========
  // The occurrence-th call (1-based, 0 = every call) of the function fails
  // with the error: it returns its failure value, and GetLastError or the
  // returned code gives the error. With an argument, only calls whose main
  // argument equals it count (case-insensitive; paths compare in canonical
  // form). Main arguments: the path for file, folder, volume and stream
  // calls (DeleteFileA/RemoveDirectoryA decoded in the ANSI code page); the
  // key path below HKLM for registry calls (parent's path + "\" + subkey as
  // passed); "<device name>\<property>" for device property calls, the
  // property being Class, UpperFilters or its number; the GUID for
  // SetupDiGetClassDevsW, the index for SetupDiEnumDeviceInfo; the service
  // name; the byte count for HeapAlloc; the message id for FormatMessageW;
  // the file for ShellExecuteW; the text for MessageBoxW and
  // WideCharToMultiByte; the request code in hex for DeviceIoControl.
  // Closing calls release the handle even when failed. Throws for a name
  // that is no platform call.
  void failCall(const std::string& function, uint32_t error, unsigned occurrence = 0,
                std::optional<std::u16string> argument = std::nullopt);

  // ======== What happened ========
  std::string console;
  std::vector<CallRecord> calls;
  std::vector<CreateFileRecord> createFileCalls;
  std::vector<KeyOpen> keyOpens;
  std::vector<DeviceSetQuery> deviceSetQueries;
  std::vector<PropertyWrite> propertyWrites;
  std::vector<ServiceOpen> serviceOpens;
  std::vector<std::u16string> deletedServices;
  std::vector<MessageBoxRecord> messageBoxes;
  std::vector<Launch> launches;
  std::vector<Allocation> allocations;
  // Closing unknown handles, null pointers and wrong sizes from the tool.
  std::vector<std::string> usageErrors;

  size_t openHandleCount() const;
  std::vector<std::string> openHandleDescriptions() const;  // for failure messages
  size_t liveBufferCount() const;

  // Call log queries; the argument matches as in failCall.
  std::vector<std::string> argumentsOf(std::string_view function) const;
  bool wasCalled(std::string_view function, std::u16string_view argument) const;
  // Position of the first matching call in the log, -1 if none.
  long callIndex(std::string_view function, std::u16string_view argument) const;
  long lastCallIndex(std::string_view function, std::u16string_view argument) const;

  uint32_t lastError = 0;

  // ======== Bookkeeping for the platform functions ========
  struct Call {
    size_t index = 0;
    std::optional<uint32_t> injected;
  };
  Call beginCall(const char* function, std::u16string_view argument);
  // Records the call's failure and sets the last error; returns the error.
  uint32_t fail(const Call& call, uint32_t error);
  // Records the failure without touching the last error (registry calls).
  long failReturning(const Call& call, uint32_t error);
  void misuse(std::string what);

  uintptr_t openHandle(OpenHandle handle);
  OpenHandle* findHandle(uintptr_t token, HandleKind kind);
  // False, with a usage error, for an unknown or already closed handle.
  bool closeHandle(uintptr_t token, HandleKind kind, const char* function);

  uint8_t* allocate(size_t bytes);
  // The buffer's size, or nothing for an address that is not a live buffer.
  std::optional<size_t> bufferSize(const uint8_t* buffer) const;
  bool release(const uint8_t* buffer);

  struct HeapBlock {
    std::unique_ptr<uint8_t[]> memory;
    size_t bytes = 0;
  };
  std::vector<FailureRule> failureRules;
  std::map<uintptr_t, OpenHandle> handles;
  std::map<const uint8_t*, HeapBlock> buffers;
};

// The one machine the platform functions act on.
Machine& machine();
// A fresh machine: C: with 512-byte sectors, no driver, an empty HKLM,
// Windows in C:\Windows, C:\Program Files, temp C:\Temp\ (both folders there), Latin-1 ANSI and
// code page 437 OEM, local time 2024-05-20 10:00:00.000.
void reset();

}  // namespace sim
