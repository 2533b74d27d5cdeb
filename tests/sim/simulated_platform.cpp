// The platform seam over the simulated machine: every procedure of
// platform.h, answering as the Windows API does. Handles are tokens looked up
// in the machine's handle table, never dereferenced, so a stale or foreign
// handle from the tool is a recorded usage error rather than a crash.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <type_traits>

#include "platform/platform.h"
#include "simulated_machine.h"

namespace {

using sim::HandleKind;
using sim::Machine;
using sim::OpenHandle;

constexpr uintptr_t kLocalMachine = 0x80000002;  // HKEY_LOCAL_MACHINE's own value
constexpr uint32_t kErrorNotEnoughMemory = 8;
constexpr uint32_t kErrorNoSuchDevinst = 0xE000020B;
constexpr uint32_t kDigcfAllClasses = 0x04;
constexpr uint32_t kRegBinary = 3;
constexpr uint32_t kFormatMessageIgnoreInserts = 0x200;
constexpr uint32_t kFormatMessageMaxWidthMask = 0xFF;
constexpr uint32_t kWcDefaultChar = 0x40;
constexpr uint32_t kWcErrInvalidChars = 0x80;
constexpr uint32_t kWcCompositeCheck = 0x200;

uintptr_t tokenOf(const void* handle) { return reinterpret_cast<uintptr_t>(handle); }

template <typename T>
T* handleOf(uintptr_t token) {
  return reinterpret_cast<T*>(token);
}

char16_t upperLetter(char16_t unit) { return (unit >= u'a' && unit <= u'z') ? static_cast<char16_t>(unit - 32) : unit; }

std::u16string textOf(const char16_t* text) { return text ? std::u16string(text) : std::u16string(); }

std::u16string ascii(const std::string& text) { return std::u16string(text.begin(), text.end()); }

std::u16string decimal(uint64_t value) { return ascii(std::to_string(value)); }

std::u16string hex(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%X", value);
  return ascii(text);
}

std::u16string parentOf(const std::u16string& canonicalPath) {
  const size_t last = canonicalPath.rfind(u'\\');
  return last <= 2 ? canonicalPath.substr(0, 3) : canonicalPath.substr(0, last);
}

// 2 when only the last name is missing, 3 when a folder above it is.
uint32_t missingError(const Machine& m, const std::u16string& canonicalPath) {
  return m.files.folderExists(parentOf(canonicalPath)) ? sim::kErrorFileNotFound : sim::kErrorPathNotFound;
}

// ---- Registry handles ----

struct KeyLookup {
  std::shared_ptr<sim::RegistryKey> key;
  uint32_t error = 0;
};

KeyLookup resolveKey(Machine& m, platform::RegKey handle, const char* function) {
  if (tokenOf(handle) == kLocalMachine) return {m.registry.root().shared_from_this(), 0};
  OpenHandle* open = m.findHandle(tokenOf(handle), HandleKind::kRegKey);
  if (!open) {
    m.misuse(std::string(function) + ": not an open registry key");
    return {nullptr, sim::kErrorInvalidHandle};
  }
  return {open->key, open->key->deleted ? sim::kErrorKeyDeleted : 0};
}

// The path below the root that a parent and a subkey name, for the log.
std::u16string keyPath(const KeyLookup& parent, const char16_t* subKey) {
  const std::u16string above = parent.key ? parent.key->path() : std::u16string();
  const std::u16string below = textOf(subKey);
  if (above.empty()) return below;
  if (below.empty()) return above;
  return above + u'\\' + below;
}

// Key names of a subkey path; a single trailing backslash is allowed.
std::optional<std::vector<std::u16string>> subkeyNames(const char16_t* subKey) {
  std::u16string_view path = subKey ? std::u16string_view(subKey) : std::u16string_view();
  if (!path.empty() && path.back() == u'\\') path.remove_suffix(1);
  return sim::Registry::splitPath(path);
}

uintptr_t openKeyHandle(Machine& m, sim::RegistryKey& key) {
  OpenHandle handle;
  handle.kind = HandleKind::kRegKey;
  handle.name = key.path();
  handle.key = key.shared_from_this();
  return m.openHandle(std::move(handle));
}

// ---- Device information sets ----

struct DeviceLookup {
  sim::Device* device = nullptr;
  uint32_t error = 0;
};

DeviceLookup memberDevice(Machine& m, platform::DevInfoSet set, const platform::DevInfoData* data,
                          const char* function) {
  const OpenHandle* handle = m.findHandle(tokenOf(set), HandleKind::kDevInfoSet);
  if (!handle) {
    m.misuse(std::string(function) + ": not an open device information set");
    return {nullptr, sim::kErrorInvalidHandle};
  }
  if (!data) {
    m.misuse(std::string(function) + ": no device information element");
    return {nullptr, sim::kErrorInvalidParameter};
  }
  if (data->cbSize != sizeof(platform::DevInfoData)) {
    m.misuse(std::string(function) + ": cbSize is not the size of the element");
    return {nullptr, sim::kErrorInvalidUserBuffer};
  }
  const auto& members = handle->members;
  if (std::find(members.begin(), members.end(), data->devInst) == members.end() || data->devInst == 0 ||
      data->devInst > m.devices.size()) {
    m.misuse(std::string(function) + ": the element is not a member of the set");
    return {nullptr, kErrorNoSuchDevinst};
  }
  return {&m.devices[data->devInst - 1], 0};
}

std::u16string propertyName(uint32_t property) {
  if (property == platform::kSpdrpClass) return u"Class";
  if (property == platform::kSpdrpUpperFilters) return u"UpperFilters";
  return decimal(property);
}

std::u16string propertyArgument(const DeviceLookup& lookup, uint32_t property) {
  return lookup.device ? lookup.device->name + u'\\' + propertyName(property) : propertyName(property);
}

void releaseDeviceSet(Machine& m, platform::DevInfoSet set, bool* released, const Machine::Call& call) {
  *released = m.closeHandle(tokenOf(set), HandleKind::kDevInfoSet, "SetupDiDestroyDeviceInfoList");
  if (!*released) m.fail(call, sim::kErrorInvalidHandle);
}

std::u16string handleName(Machine& m, const void* handle) {
  const auto found = m.handles.find(tokenOf(handle));
  return found == m.handles.end() ? std::u16string() : found->second.name;
}

// ---- Files ----

bool deleteFileAt(Machine& m, const Machine::Call& call, const std::u16string& path) {
  if (call.injected) return m.fail(call, *call.injected) == 0;
  const std::optional<std::u16string> canonical = sim::FileSystem::canonical(path);
  if (!canonical) {
    m.misuse("DeleteFile: not an absolute path: " + sim::toUtf8(path));
    return m.fail(call, sim::kErrorPathNotFound) == 0;
  }
  sim::FileEntry* entry = m.files.find(*canonical);
  if (!entry) return m.fail(call, missingError(m, *canonical)) == 0;
  if (entry->folder) return m.fail(call, sim::kErrorAccessDenied) == 0;
  if (entry->deleteError) return m.fail(call, entry->deleteError) == 0;
  if (entry->openStreams) return m.fail(call, sim::kErrorSharingViolation) == 0;
  m.files.remove(*canonical);
  return true;
}

bool removeFolderAt(Machine& m, const Machine::Call& call, const std::u16string& path) {
  if (call.injected) return m.fail(call, *call.injected) == 0;
  const std::optional<std::u16string> canonical = sim::FileSystem::canonical(path);
  if (!canonical) {
    m.misuse("RemoveDirectory: not an absolute path: " + sim::toUtf8(path));
    return m.fail(call, sim::kErrorPathNotFound) == 0;
  }
  if (canonical->size() == 3) return m.fail(call, sim::kErrorAccessDenied) == 0;  // a drive root
  sim::FileEntry* entry = m.files.find(*canonical);
  if (!entry) return m.fail(call, missingError(m, *canonical)) == 0;
  if (!entry->folder) return m.fail(call, sim::kErrorDirectory) == 0;
  if (!m.files.isEmptyFolder(*canonical)) return m.fail(call, sim::kErrorDirNotEmpty) == 0;
  if (entry->deleteError) return m.fail(call, entry->deleteError) == 0;
  m.files.remove(*canonical);
  return true;
}

// The Win32 contract of GetWindowsDirectoryW and GetTempPathW: the length
// without the zero, or the size needed with it when the buffer is too small.
uint32_t copyFolder(Machine& m, const Machine::Call& call, const std::u16string& folder, char16_t* buffer,
                    uint32_t units, const char* function) {
  const auto length = static_cast<uint32_t>(folder.size());
  if (units <= length) return length + 1;
  if (!buffer) {
    m.misuse(std::string(function) + ": no buffer");
    m.fail(call, sim::kErrorInvalidParameter);
    return 0;
  }
  std::copy(folder.begin(), folder.end(), buffer);
  buffer[length] = 0;
  return length;
}

const sim::CodePage* codePageFor(const Machine& m, uint32_t codePage) {
  if (codePage == platform::kCpAcp || codePage == m.ansiCodePage.number) return &m.ansiCodePage;
  if (codePage == platform::kCpOemCp || codePage == m.oemCodePage.number) return &m.oemCodePage;
  return nullptr;
}

}  // namespace

namespace platform {

uint32_t GetLastError() { return sim::machine().lastError; }

RegKey LocalMachineKey() { return handleOf<RegKeyObject>(kLocalMachine); }

// ---- Memory ----

UniqueHeapBuffer HeapAlloc(size_t bytes, bool zeroMemory) {
  Machine& m = sim::machine();
  const Machine::Call call = m.beginCall("HeapAlloc", decimal(bytes));
  sim::Allocation& record = m.allocations.emplace_back(sim::Allocation{bytes, zeroMemory, false});
  if (call.injected || bytes > m.heapLimit) {
    // HeapAlloc fails without setting the last error.
    m.failReturning(call, call.injected ? *call.injected : kErrorNotEnoughMemory);
    return nullptr;
  }
  uint8_t* buffer = m.allocate(bytes);
  // Fresh memory that is not asked to be zeroed is not zero here.
  std::memset(buffer, zeroMemory ? 0x00 : 0xCD, bytes == 0 ? 1 : bytes);
  record.succeeded = true;
  return UniqueHeapBuffer(buffer);
}

void HeapCloser::operator()(uint8_t* buffer) const {
  Machine& m = sim::machine();
  const std::optional<size_t> bytes = m.bufferSize(buffer);
  const Machine::Call call = m.beginCall("HeapFree", bytes ? decimal(*bytes) : u"");
  if (!m.release(buffer)) {
    m.misuse("HeapFree: not a live heap buffer");
    m.fail(call, sim::kErrorInvalidParameter);
  }
}

// ---- Volume and file I/O ----

bool GetDiskFreeSpaceW(const char16_t* root, uint32_t* bytesPerSector) {
  Machine& m = sim::machine();
  const std::u16string rootText = root ? std::u16string(root) : u"C:\\";
  const Machine::Call call = m.beginCall("GetDiskFreeSpaceW", rootText);
  if (call.injected) return m.fail(call, *call.injected) == 0;
  const bool rootForm = rootText.size() == 3 && rootText[1] == u':' && (rootText[2] == u'\\' || rootText[2] == u'/');
  if (!rootForm) return m.fail(call, sim::kErrorInvalidName) == 0;
  const char16_t drive = upperLetter(rootText[0]);
  const auto volume = m.volumes.find(drive);
  if (volume == m.volumes.end()) return m.fail(call, sim::kErrorPathNotFound) == 0;
  if (!volume->second.bytesPerSector) return m.fail(call, sim::kErrorNotReady) == 0;
  if (bytesPerSector) *bytesPerSector = *volume->second.bytesPerSector;
  return true;
}

UniqueFile CreateFileW(const char16_t* path, uint32_t access, uint32_t share, uint32_t disposition, uint32_t flags) {
  Machine& m = sim::machine();
  const std::u16string pathText = textOf(path);
  const Machine::Call call = m.beginCall("CreateFileW", pathText);
  sim::CreateFileRecord& record = m.createFileCalls.emplace_back(
      sim::CreateFileRecord{pathText, access, share, disposition, flags, 0});
  const auto failWith = [&](uint32_t error) {
    record.error = m.fail(call, error);
    return UniqueFile();
  };
  if (!path) {
    m.misuse("CreateFileW: no path");
    return failWith(sim::kErrorPathNotFound);
  }
  if (call.injected) return failWith(*call.injected);

  OpenHandle handle;
  handle.kind = HandleKind::kFile;
  const bool volumePath = pathText.size() == 6 && pathText.compare(0, 4, u"\\\\.\\") == 0 && pathText[5] == u':';
  if (volumePath) {
    const char16_t drive = upperLetter(pathText[4]);
    const auto volume = m.volumes.find(drive);
    if (volume == m.volumes.end()) return failWith(sim::kErrorFileNotFound);
    if (volume->second.openError) return failWith(volume->second.openError);
    handle.name = std::u16string(u"\\\\.\\") + drive + u':';
    handle.drive = drive;
  } else {
    const std::optional<std::u16string> canonical = sim::FileSystem::canonical(pathText);
    if (!canonical) return failWith(sim::kErrorInvalidName);
    const sim::FileEntry* entry = m.files.find(*canonical);
    if (disposition != kOpenExisting) {
      m.misuse("CreateFileW: the simulated machine opens existing files only");
      return failWith(sim::kErrorInvalidParameter);
    }
    if (!entry) return failWith(missingError(m, *canonical));
    if (entry->folder) return failWith(sim::kErrorAccessDenied);
    handle.name = entry->path;
  }
  return UniqueFile(handleOf<FileObject>(m.openHandle(std::move(handle))));
}

void FileCloser::operator()(FileHandle file) const {
  Machine& m = sim::machine();
  const Machine::Call call = m.beginCall("CloseHandle", handleName(m, file));
  if (!m.closeHandle(tokenOf(file), HandleKind::kFile, "CloseHandle")) m.fail(call, sim::kErrorInvalidHandle);
}

bool DeviceIoControl(FileHandle device, uint32_t code, const void* in, uint32_t inBytes, void* out,
                     uint32_t outBytes, uint32_t* bytesReturned) {
  Machine& m = sim::machine();
  const Machine::Call call = m.beginCall("DeviceIoControl", hex(code));
  if (bytesReturned) *bytesReturned = 0;
  const OpenHandle* handle = m.findHandle(tokenOf(device), HandleKind::kFile);
  if (!handle) m.misuse("DeviceIoControl: not an open file handle");
  if (!handle || handle->drive == 0) return m.fail(call, sim::kErrorInvalidHandle) == 0;
  if (!bytesReturned) m.misuse("DeviceIoControl: no bytes-returned counter without an overlapped structure");

  sim::DriverRequest request;
  request.drive = handle->drive;
  request.code = code;
  request.outputBytes = outBytes;
  request.outputNull = out == nullptr;
  if (in) request.input.assign(static_cast<const uint8_t*>(in), static_cast<const uint8_t*>(in) + inBytes);

  sim::Driver& driver = m.driver;
  uint32_t error = 0;
  uint32_t written = 0;
  if ((!in && inBytes > 0) || (!out && outBytes > 0)) {
    m.misuse("DeviceIoControl: a buffer length without a buffer");
    error = sim::kErrorNoAccess;
  } else if (call.injected) {
    error = *call.injected;
  } else if (!driver.installed) {
    error = sim::kErrorInvalidFunction;
  } else if (code == sim::kListRequest) {
    uint32_t answer = sim::kTableBytes;
    if (driver.listAnswer == sim::ListAnswer::kNothingWritten) answer = 0;
    if (driver.listAnswer == sim::ListAnswer::kFirstBytes) answer = std::min(driver.answerBytes, sim::kTableBytes);
    written = std::min(answer, outBytes);
    if (written > 0) {
      const std::vector<uint8_t> table = driver.table();
      std::memcpy(out, table.data(), written);
    }
  } else if (code == sim::kDeleteRequest) {
    uint32_t id = 0;
    if (inBytes == 4) {
      const auto* bytes = static_cast<const uint8_t*>(in);
      id = bytes[0] | (bytes[1] << 8) | (bytes[2] << 16) | (uint32_t{bytes[3]} << 24);
    }
    if (inBytes != 4) {
      error = sim::kErrorInvalidParameter;
    } else if (driver.refusedIds.count(id)) {
      error = driver.refusalError;
    } else if (!driver.hasSavePoint(id)) {
      error = sim::kErrorFileNotFound;
    } else {
      for (auto slot = driver.slots.begin(); slot != driver.slots.end();) {
        slot = slot->second.id == id ? driver.slots.erase(slot) : std::next(slot);
      }
      driver.deletedIds.push_back(id);
    }
  } else {
    error = sim::kErrorInvalidFunction;
  }

  request.error = error;
  request.bytesReturned = error ? 0 : written;
  driver.requests.push_back(std::move(request));
  if (error) return m.fail(call, error) == 0;
  if (bytesReturned) *bytesReturned = written;
  return true;
}

namespace {

// The W and A forms share one body; an A path is decoded in the ANSI code
// page first. A null path is the tool's misuse.
template <typename Char>
bool pathCall(const char* function, const Char* path,
              bool (*act)(Machine&, const Machine::Call&, const std::u16string&)) {
  Machine& m = sim::machine();
  std::u16string text;
  if constexpr (std::is_same_v<Char, char>) {
    if (path) text = m.ansiCodePage.decode(path);
  } else {
    text = textOf(path);
  }
  const Machine::Call call = m.beginCall(function, text);
  if (!path) {
    m.misuse(std::string(function) + ": no path");
    return m.fail(call, sim::kErrorInvalidParameter) == 0;
  }
  return act(m, call, text);
}

}  // namespace

bool DeleteFileW(const char16_t* path) { return pathCall("DeleteFileW", path, deleteFileAt); }
bool DeleteFileA(const char* path) { return pathCall("DeleteFileA", path, deleteFileAt); }
bool RemoveDirectoryW(const char16_t* path) { return pathCall("RemoveDirectoryW", path, removeFolderAt); }
bool RemoveDirectoryA(const char* path) { return pathCall("RemoveDirectoryA", path, removeFolderAt); }

uint32_t GetWindowsDirectoryW(char16_t* buffer, uint32_t units) {
  Machine& m = sim::machine();
  const Machine::Call call = m.beginCall("GetWindowsDirectoryW", u"");
  if (call.injected) {
    m.fail(call, *call.injected);
    return 0;
  }
  return copyFolder(m, call, m.windowsDirectory, buffer, units, "GetWindowsDirectoryW");
}

uint32_t GetTempPathW(uint32_t units, char16_t* buffer) {
  Machine& m = sim::machine();
  const Machine::Call call = m.beginCall("GetTempPathW", u"");
  if (call.injected || !m.tempPath) {
    m.fail(call, call.injected ? *call.injected : sim::kErrorPathNotFound);
    return 0;
  }
  return copyFolder(m, call, *m.tempPath, buffer, units, "GetTempPathW");
}

UniqueStream OpenStream(const char16_t* path, const char* mode) {
  Machine& m = sim::machine();
  const std::u16string pathText = textOf(path);
  const Machine::Call call = m.beginCall("OpenStream", pathText);
  const std::string modeText = mode ? mode : "";
  if (!path || (modeText != "rb" && modeText != "wb")) {
    m.misuse("OpenStream: needs a path and the mode \"rb\" or \"wb\", got \"" + modeText + "\"");
    m.fail(call, sim::kErrorInvalidParameter);
    return nullptr;
  }
  if (call.injected) {
    m.fail(call, *call.injected);
    return nullptr;
  }
  const std::optional<std::u16string> canonical = sim::FileSystem::canonical(pathText);
  if (!canonical) {
    m.misuse("OpenStream: not an absolute path: " + sim::toUtf8(pathText));
    m.fail(call, sim::kErrorPathNotFound);
    return nullptr;
  }
  sim::FileEntry* entry = m.files.find(*canonical);
  const bool writing = modeText == "wb";
  uint32_t error = 0;
  if (entry && entry->folder) {
    error = sim::kErrorAccessDenied;
  } else if (!writing && !entry) {
    error = missingError(m, *canonical);
  } else if (writing && !m.files.folderExists(parentOf(*canonical))) {
    error = sim::kErrorPathNotFound;
  } else if (writing && entry && entry->openStreams) {
    error = sim::kErrorSharingViolation;
  }
  if (error) {
    m.fail(call, error);
    return nullptr;
  }
  if (writing) {
    entry = &m.files.addFile(*canonical);  // created, or emptied
  }
  ++entry->openStreams;
  OpenHandle handle;
  handle.kind = HandleKind::kStream;
  handle.name = entry->path;
  handle.writing = writing;
  return UniqueStream(handleOf<StreamObject>(m.openHandle(std::move(handle))));
}

size_t ReadStream(Stream stream, void* buffer, size_t bytes) {
  Machine& m = sim::machine();
  const Machine::Call call = m.beginCall("ReadStream", handleName(m, stream));
  OpenHandle* handle = m.findHandle(tokenOf(stream), HandleKind::kStream);
  if (!handle || (!buffer && bytes > 0)) {
    m.misuse(handle ? "ReadStream: no buffer" : "ReadStream: not an open stream");
    m.fail(call, sim::kErrorInvalidParameter);
    return 0;
  }
  if (call.injected) {
    m.fail(call, *call.injected);
    return 0;
  }
  const sim::FileEntry* entry = m.files.find(handle->name);
  if (handle->writing || !entry) {
    m.fail(call, sim::kErrorAccessDenied);
    return 0;
  }
  const size_t available = entry->bytes.size() > handle->position ? entry->bytes.size() - handle->position : 0;
  const size_t count = std::min(bytes, available);
  if (count > 0) std::memcpy(buffer, entry->bytes.data() + handle->position, count);
  handle->position += count;
  return count;
}

size_t WriteStream(Stream stream, const void* bytes, size_t count) {
  Machine& m = sim::machine();
  const Machine::Call call = m.beginCall("WriteStream", handleName(m, stream));
  OpenHandle* handle = m.findHandle(tokenOf(stream), HandleKind::kStream);
  if (!handle || (!bytes && count > 0)) {
    m.misuse(handle ? "WriteStream: no bytes" : "WriteStream: not an open stream");
    m.fail(call, sim::kErrorInvalidParameter);
    return 0;
  }
  if (call.injected) {
    m.fail(call, *call.injected);
    return 0;
  }
  sim::FileEntry* entry = m.files.find(handle->name);
  if (!handle->writing || !entry) {
    m.fail(call, sim::kErrorAccessDenied);
    return 0;
  }
  if (count > 0) entry->bytes.append(static_cast<const char*>(bytes), count);
  return count;
}

void StreamCloser::operator()(Stream stream) const {
  Machine& m = sim::machine();
  const std::u16string path = handleName(m, stream);
  const Machine::Call call = m.beginCall("CloseStream", path);
  if (!m.closeHandle(tokenOf(stream), HandleKind::kStream, "CloseStream")) {
    m.fail(call, sim::kErrorInvalidHandle);
    return;
  }
  if (sim::FileEntry* entry = m.files.find(path)) {
    if (entry->openStreams > 0) --entry->openStreams;
  }
}

void WriteStandardOutput(const char* bytes, size_t count) {
  Machine& m = sim::machine();
  const std::string_view text = bytes ? std::string_view(bytes, count) : std::string_view();
  const Machine::Call call = m.beginCall("WriteStandardOutput", m.ansiCodePage.decode(text));
  if (!bytes && count > 0) {
    m.misuse("WriteStandardOutput: a count without bytes");
    m.fail(call, sim::kErrorInvalidParameter);
    return;
  }
  if (call.injected) {
    m.fail(call, *call.injected);
    return;
  }
  m.console.append(text);
}

// ---- Text ----

int WideCharToMultiByte(uint32_t codePage, uint32_t flags, const char16_t* text, int units, char* out, int outBytes,
                        bool* usedDefaultChar) {
  Machine& m = sim::machine();
  std::u16string_view view;
  if (text && units == -1) view = std::u16string_view(text, std::char_traits<char16_t>::length(text) + 1);
  if (text && units > 0) view = std::u16string_view(text, static_cast<size_t>(units));
  const Machine::Call call = m.beginCall("WideCharToMultiByte", view);
  const auto failWith = [&](uint32_t error) {
    m.fail(call, error);
    return 0;
  };
  if (!text || units == 0 || units < -1 || outBytes < 0 || (!out && outBytes > 0)) {
    m.misuse("WideCharToMultiByte: invalid text, unit count or output buffer");
    return failWith(sim::kErrorInvalidParameter);
  }
  if (call.injected) return failWith(*call.injected);
  const sim::CodePage* page = codePageFor(m, codePage);
  if (!page) return failWith(sim::kErrorInvalidParameter);
  const uint32_t allowed =
      page->utf8 ? kWcErrInvalidChars : (platform::kWcNoBestFitChars | kWcCompositeCheck | kWcDefaultChar);
  if (flags & ~allowed) return failWith(sim::kErrorInvalidFlags);
  if (page->utf8 && usedDefaultChar) return failWith(sim::kErrorInvalidParameter);

  bool usedDefault = false;
  const std::string encoded = page->encode(view, &usedDefault);
  if (usedDefaultChar) *usedDefaultChar = usedDefault;
  const auto needed = static_cast<int>(encoded.size());
  if (outBytes == 0) return needed;
  if (needed > outBytes) return failWith(sim::kErrorInsufficientBuffer);
  std::memcpy(out, encoded.data(), encoded.size());
  return needed;
}

uint32_t FormatMessageW(uint32_t flags, uint32_t messageId, char16_t* buffer, uint32_t units) {
  Machine& m = sim::machine();
  const Machine::Call call = m.beginCall("FormatMessageW", decimal(messageId));
  const uint32_t supported = kFormatMessageFromSystem | kFormatMessageIgnoreInserts | kFormatMessageMaxWidthMask;
  if (!(flags & kFormatMessageFromSystem) || (flags & ~supported) || !buffer) {
    m.misuse("FormatMessageW: the simulated machine answers FORMAT_MESSAGE_FROM_SYSTEM into a buffer only");
    m.fail(call, sim::kErrorInvalidParameter);
    return 0;
  }
  if (call.injected) {
    m.fail(call, *call.injected);
    return 0;
  }
  const auto found = m.messageTexts.find(messageId);
  if (found == m.messageTexts.end()) {
    m.fail(call, sim::kErrorMrMidNotFound);
    return 0;
  }
  const std::u16string& text = found->second;
  if (text.size() + 1 > units) {
    m.fail(call, sim::kErrorInsufficientBuffer);
    return 0;
  }
  std::copy(text.begin(), text.end(), buffer);
  buffer[text.size()] = 0;
  return static_cast<uint32_t>(text.size());
}

// ---- Time and message box ----

void GetLocalTime(SystemTime* time) {
  Machine& m = sim::machine();
  m.beginCall("GetLocalTime", u"");
  if (!time) {
    m.misuse("GetLocalTime: no output");
    return;
  }
  *time = m.localTime;
}

bool SystemTimeToFileTime(const SystemTime* time, uint64_t* fileTime) {
  Machine& m = sim::machine();
  const Machine::Call call = m.beginCall("SystemTimeToFileTime", time ? ascii(sim::timeText(*time)) : u"");
  if (!time || !fileTime) {
    m.misuse("SystemTimeToFileTime: null pointer");
    return m.fail(call, sim::kErrorInvalidParameter) == 0;
  }
  if (call.injected) return m.fail(call, *call.injected) == 0;
  const std::optional<uint64_t> ticks = sim::toFileTime(*time);
  if (!ticks) return m.fail(call, sim::kErrorInvalidParameter) == 0;
  *fileTime = *ticks;
  return true;
}

int MessageBoxW(const char16_t* text, const char16_t* caption, uint32_t style) {
  Machine& m = sim::machine();
  const Machine::Call call = m.beginCall("MessageBoxW", textOf(text));
  if (call.injected) {
    m.fail(call, *call.injected);
    return 0;
  }
  sim::MessageBoxRecord record;
  if (text) record.text = text;
  if (caption) record.caption = caption;
  record.style = style;
  m.messageBoxes.push_back(std::move(record));
  return 1;  // IDOK
}

// ---- Registry ----

long RegCreateKeyExW(RegKey parent, const char16_t* subKey, const char16_t* /*keyClass*/, uint32_t options,
                     uint32_t access, UniqueRegKey* result, uint32_t* disposition) {
  Machine& m = sim::machine();
  const KeyLookup parentKey = resolveKey(m, parent, "RegCreateKeyExW");
  const std::u16string path = keyPath(parentKey, subKey);
  const Machine::Call call = m.beginCall("RegCreateKeyExW", path);
  sim::KeyOpen& record = m.keyOpens.emplace_back(sim::KeyOpen{"RegCreateKeyExW", path, options, access, 0, 0});
  const auto failWith = [&](uint32_t error) { return record.result = m.failReturning(call, error); };
  if (!result || !subKey) {
    m.misuse("RegCreateKeyExW: no subkey or no result");
    return failWith(sim::kErrorInvalidParameter);
  }
  if (call.injected) return failWith(*call.injected);
  if (parentKey.error) return failWith(parentKey.error);
  const auto names = subkeyNames(subKey);
  if (!names) return failWith(sim::kErrorBadPathname);

  sim::RegistryKey* key = parentKey.key.get();
  bool created = false;
  for (const std::u16string& name : *names) {
    auto found = key->subkeys.find(name);
    if (found == key->subkeys.end()) {
      auto child = std::make_shared<sim::RegistryKey>();
      child->name = name;
      child->parent = key;
      found = key->subkeys.emplace(name, std::move(child)).first;
      created = true;
    }
    key = found->second.get();
  }
  if (!created && key->openError) return failWith(key->openError);
  record.disposition = created ? 1 : 2;
  if (disposition) *disposition = record.disposition;
  result->reset(handleOf<RegKeyObject>(openKeyHandle(m, *key)));
  return 0;
}

long RegOpenKeyExW(RegKey parent, const char16_t* subKey, uint32_t options, uint32_t access, UniqueRegKey* result) {
  Machine& m = sim::machine();
  const KeyLookup parentKey = resolveKey(m, parent, "RegOpenKeyExW");
  const std::u16string path = keyPath(parentKey, subKey);
  const Machine::Call call = m.beginCall("RegOpenKeyExW", path);
  sim::KeyOpen& record = m.keyOpens.emplace_back(sim::KeyOpen{"RegOpenKeyExW", path, options, access, 0, 0});
  const auto failWith = [&](uint32_t error) { return record.result = m.failReturning(call, error); };
  if (!result) {
    m.misuse("RegOpenKeyExW: no result");
    return failWith(sim::kErrorInvalidParameter);
  }
  if (call.injected) return failWith(*call.injected);
  if (parentKey.error) return failWith(parentKey.error);
  const auto names = subkeyNames(subKey);
  if (!names) return failWith(sim::kErrorBadPathname);

  sim::RegistryKey* key = parentKey.key.get();
  for (const std::u16string& name : *names) {
    const auto found = key->subkeys.find(name);
    if (found == key->subkeys.end()) return failWith(sim::kErrorFileNotFound);
    key = found->second.get();
  }
  if (key->openError) return failWith(key->openError);
  result->reset(handleOf<RegKeyObject>(openKeyHandle(m, *key)));
  return 0;
}

long RegQueryInfoKeyW(RegKey key, uint32_t* subKeyCount) {
  Machine& m = sim::machine();
  const KeyLookup lookup = resolveKey(m, key, "RegQueryInfoKeyW");
  const Machine::Call call = m.beginCall("RegQueryInfoKeyW", keyPath(lookup, nullptr));
  if (call.injected) return m.failReturning(call, *call.injected);
  if (lookup.error) return m.failReturning(call, lookup.error);
  if (subKeyCount) *subKeyCount = static_cast<uint32_t>(lookup.key->subkeys.size());
  return 0;
}

long RegEnumKeyW(RegKey key, uint32_t index, char16_t* name, uint32_t nameUnits) {
  Machine& m = sim::machine();
  const KeyLookup lookup = resolveKey(m, key, "RegEnumKeyW");
  const Machine::Call call = m.beginCall("RegEnumKeyW", keyPath(lookup, nullptr));
  if (call.injected) return m.failReturning(call, *call.injected);
  if (lookup.error) return m.failReturning(call, lookup.error);
  if (!name) {
    m.misuse("RegEnumKeyW: no name buffer");
    return m.failReturning(call, sim::kErrorInvalidParameter);
  }
  const auto& subkeys = lookup.key->subkeys;
  if (index >= subkeys.size()) return m.failReturning(call, sim::kErrorNoMoreItems);
  const std::u16string& child = std::next(subkeys.begin(), index)->second->name;
  if (child.size() + 1 > nameUnits) return m.failReturning(call, sim::kErrorMoreData);
  std::copy(child.begin(), child.end(), name);
  name[child.size()] = 0;
  return 0;
}

long RegDeleteKeyW(RegKey parent, const char16_t* subKey) {
  Machine& m = sim::machine();
  const KeyLookup parentKey = resolveKey(m, parent, "RegDeleteKeyW");
  const Machine::Call call = m.beginCall("RegDeleteKeyW", keyPath(parentKey, subKey));
  if (!subKey) {
    m.misuse("RegDeleteKeyW: no subkey");
    return m.failReturning(call, sim::kErrorInvalidParameter);
  }
  if (call.injected) return m.failReturning(call, *call.injected);
  if (parentKey.error) return m.failReturning(call, parentKey.error);
  const auto names = subkeyNames(subKey);
  if (!names) return m.failReturning(call, sim::kErrorBadPathname);

  sim::RegistryKey* key = parentKey.key.get();
  for (const std::u16string& name : *names) {
    const auto found = key->subkeys.find(name);
    if (found == key->subkeys.end()) return m.failReturning(call, sim::kErrorFileNotFound);
    key = found->second.get();
  }
  if (!key->parent) return m.failReturning(call, sim::kErrorAccessDenied);  // the root itself
  if (!key->subkeys.empty()) return m.failReturning(call, sim::kErrorAccessDenied);
  if (key->deleteError) return m.failReturning(call, key->deleteError);
  key->deleted = true;
  const std::u16string name = key->name;
  key->parent->subkeys.erase(name);  // open handles keep the node, marked deleted
  return 0;
}

void RegKeyCloser::operator()(RegKey key) const {
  Machine& m = sim::machine();
  const Machine::Call call = m.beginCall("RegCloseKey", handleName(m, key));
  if (tokenOf(key) == kLocalMachine) {
    m.misuse("RegCloseKey: HKEY_LOCAL_MACHINE is predefined and not owned");
    return;
  }
  if (!m.closeHandle(tokenOf(key), HandleKind::kRegKey, "RegCloseKey")) m.failReturning(call, sim::kErrorInvalidHandle);
}

// ---- Device installation (Setup) API ----

UniqueDevInfoSet SetupDiGetClassDevsW(const Guid* classGuid, uint32_t flags) {
  Machine& m = sim::machine();
  const Machine::Call call = m.beginCall("SetupDiGetClassDevsW", classGuid ? ascii(sim::guidText(*classGuid)) : u"");
  sim::DeviceSetQuery& record =
      m.deviceSetQueries.emplace_back(sim::DeviceSetQuery{classGuid ? *classGuid : Guid{}, flags, {}, 0});
  if (call.injected) {
    record.error = m.fail(call, *call.injected);
    return nullptr;
  }
  const bool allClasses = (flags & kDigcfAllClasses) != 0;
  if (!classGuid && !allClasses) {
    record.error = m.fail(call, sim::kErrorInvalidParameter);
    return nullptr;
  }

  OpenHandle handle;
  handle.kind = HandleKind::kDevInfoSet;
  handle.name = classGuid ? ascii(sim::guidText(*classGuid)) : u"all classes";
  for (const sim::Device& device : m.devices) {
    if ((flags & kDigcfPresent) && !device.present) continue;
    bool member = allClasses;
    if (!member && (flags & kDigcfDeviceInterface)) {
      member = std::any_of(device.interfaceClasses.begin(), device.interfaceClasses.end(),
                           [&](const Guid& guid) { return sim::sameGuid(guid, *classGuid); });
    } else if (!member) {
      member = sim::sameGuid(device.setupClass, *classGuid);
    }
    if (!member) continue;
    handle.members.push_back(device.devInst);
    record.members.push_back(device.name);
  }
  m.lastError = 0;
  return UniqueDevInfoSet(handleOf<DevInfoObject>(m.openHandle(std::move(handle))));
}

bool SetupDiEnumDeviceInfo(DevInfoSet set, uint32_t index, DevInfoData* device) {
  Machine& m = sim::machine();
  const Machine::Call call = m.beginCall("SetupDiEnumDeviceInfo", decimal(index));
  const OpenHandle* handle = m.findHandle(tokenOf(set), HandleKind::kDevInfoSet);
  if (!handle) {
    m.misuse("SetupDiEnumDeviceInfo: not an open device information set");
    return m.fail(call, sim::kErrorInvalidHandle) == 0;
  }
  if (!device) {
    m.misuse("SetupDiEnumDeviceInfo: no device information element");
    return m.fail(call, sim::kErrorInvalidParameter) == 0;
  }
  if (device->cbSize != sizeof(DevInfoData)) {
    m.misuse("SetupDiEnumDeviceInfo: cbSize is not the size of the element");
    return m.fail(call, sim::kErrorInvalidUserBuffer) == 0;
  }
  if (call.injected) return m.fail(call, *call.injected) == 0;
  if (index >= handle->members.size()) return m.fail(call, sim::kErrorNoMoreItems) == 0;
  const sim::Device& member = m.devices[handle->members[index] - 1];
  device->classGuid = member.setupClass;
  device->devInst = member.devInst;
  device->reserved = 0;
  m.lastError = 0;
  return true;
}

bool SetupDiGetDeviceRegistryPropertyW(DevInfoSet set, DevInfoData* device, uint32_t property,
                                       uint32_t* registryType, uint8_t* buffer, uint32_t bufferBytes,
                                       uint32_t* requiredBytes) {
  Machine& m = sim::machine();
  const DeviceLookup lookup = memberDevice(m, set, device, "SetupDiGetDeviceRegistryPropertyW");
  const Machine::Call call = m.beginCall("SetupDiGetDeviceRegistryPropertyW", propertyArgument(lookup, property));
  if (lookup.error) return m.fail(call, lookup.error) == 0;
  if (!buffer && bufferBytes > 0) {
    m.misuse("SetupDiGetDeviceRegistryPropertyW: a buffer size without a buffer");
    return m.fail(call, sim::kErrorInvalidUserBuffer) == 0;
  }
  if (call.injected) return m.fail(call, *call.injected) == 0;

  sim::Device& target = *lookup.device;
  // A value queued for after the first read takes the property's place once this call is answered.
  const auto applyLaterValue = [&] {
    const auto later = target.valueAfterFirstRead.find(property);
    if (later == target.valueAfterFirstRead.end()) return;
    target.properties[property] = later->second;
    target.valueAfterFirstRead.erase(later);
  };
  const sim::DeviceProperty* value = target.property(property);
  if (!value) {
    applyLaterValue();
    return m.fail(call, sim::kErrorInvalidData) == 0;
  }
  const auto size = static_cast<uint32_t>(value->bytes.size());
  if (requiredBytes) *requiredBytes = size;
  if (registryType) *registryType = value->type;
  if (!buffer || bufferBytes < size) {
    applyLaterValue();
    return m.fail(call, sim::kErrorInsufficientBuffer) == 0;
  }
  std::copy(value->bytes.begin(), value->bytes.end(), buffer);
  applyLaterValue();
  m.lastError = 0;
  return true;
}

bool SetupDiSetDeviceRegistryPropertyW(DevInfoSet set, DevInfoData* device, uint32_t property, const uint8_t* buffer,
                                       uint32_t bufferBytes) {
  Machine& m = sim::machine();
  const DeviceLookup lookup = memberDevice(m, set, device, "SetupDiSetDeviceRegistryPropertyW");
  const Machine::Call call = m.beginCall("SetupDiSetDeviceRegistryPropertyW", propertyArgument(lookup, property));
  sim::PropertyWrite& record = m.propertyWrites.emplace_back(
      sim::PropertyWrite{lookup.device ? lookup.device->name : u"", property, std::nullopt, 0});
  if (buffer) record.bytes = std::vector<uint8_t>(buffer, buffer + bufferBytes);
  if (lookup.error) return (record.error = m.fail(call, lookup.error)) == 0;
  if (!buffer && bufferBytes > 0) {
    m.misuse("SetupDiSetDeviceRegistryPropertyW: a buffer size without a buffer");
    return (record.error = m.fail(call, sim::kErrorInvalidParameter)) == 0;
  }
  if (call.injected) return (record.error = m.fail(call, *call.injected)) == 0;

  if (!buffer) {
    lookup.device->properties.erase(property);
  } else {
    uint32_t type = kRegBinary;
    if (property == kSpdrpUpperFilters) type = kRegMultiSz;
    if (property == kSpdrpClass) type = kRegSz;
    lookup.device->properties[property] = sim::DeviceProperty{type, *record.bytes};
  }
  m.lastError = 0;
  return true;
}

bool SetupDiDestroyDeviceInfoList(UniqueDevInfoSet set) {
  Machine& m = sim::machine();
  DevInfoSet raw = set.release();
  const Machine::Call call = m.beginCall("SetupDiDestroyDeviceInfoList", handleName(m, raw));
  bool released = false;
  releaseDeviceSet(m, raw, &released, call);
  if (!released) return false;
  // A failed destroy still counts as released, so a test sees no spurious leak.
  if (call.injected) return m.fail(call, *call.injected) == 0;
  m.lastError = 0;
  return true;
}

void DevInfoCloser::operator()(DevInfoSet set) const {
  Machine& m = sim::machine();
  const Machine::Call call = m.beginCall("SetupDiDestroyDeviceInfoList", handleName(m, set));
  bool released = false;
  releaseDeviceSet(m, set, &released, call);
}

// ---- Service control manager ----

UniqueService OpenSCManagerW(uint32_t access) {
  Machine& m = sim::machine();
  const Machine::Call call = m.beginCall("OpenSCManagerW", u"");
  sim::ServiceOpen& record = m.serviceOpens.emplace_back(sim::ServiceOpen{u"", access, 0});
  if (call.injected) {
    record.error = m.fail(call, *call.injected);
    return nullptr;
  }
  OpenHandle handle;
  handle.kind = HandleKind::kService;
  handle.name = u"service control manager";
  handle.manager = true;
  return UniqueService(handleOf<ServiceObject>(m.openHandle(std::move(handle))));
}

UniqueService OpenServiceW(ServiceHandle manager, const char16_t* name, uint32_t access) {
  Machine& m = sim::machine();
  const Machine::Call call = m.beginCall("OpenServiceW", textOf(name));
  sim::ServiceOpen& record = m.serviceOpens.emplace_back(sim::ServiceOpen{textOf(name), access, 0});
  const auto failWith = [&](uint32_t error) {
    record.error = m.fail(call, error);
    return UniqueService();
  };
  const OpenHandle* handle = m.findHandle(tokenOf(manager), HandleKind::kService);
  if (manager && !handle) m.misuse("OpenServiceW: not an open service handle");
  if (!handle || !handle->manager) return failWith(sim::kErrorInvalidHandle);
  if (!name) {
    m.misuse("OpenServiceW: no service name");
    return failWith(sim::kErrorInvalidParameter);
  }
  if (call.injected) return failWith(*call.injected);
  const auto found = m.services.find(std::u16string_view(name));
  if (found == m.services.end()) return failWith(sim::kErrorServiceDoesNotExist);
  OpenHandle service;
  service.kind = HandleKind::kService;
  service.name = found->second.name;
  return UniqueService(handleOf<ServiceObject>(m.openHandle(std::move(service))));
}

bool DeleteService(ServiceHandle service) {
  Machine& m = sim::machine();
  const Machine::Call call = m.beginCall("DeleteService", handleName(m, service));
  const OpenHandle* handle = m.findHandle(tokenOf(service), HandleKind::kService);
  if (service && !handle) m.misuse("DeleteService: not an open service handle");
  if (!handle || handle->manager) return m.fail(call, sim::kErrorInvalidHandle) == 0;
  if (call.injected) return m.fail(call, *call.injected) == 0;
  const auto found = m.services.find(handle->name);
  if (found == m.services.end()) return m.fail(call, sim::kErrorServiceMarkedForDelete) == 0;
  if (found->second.deleteError) return m.fail(call, found->second.deleteError) == 0;
  m.deletedServices.push_back(found->second.name);
  m.services.erase(found);
  return true;
}

void ServiceCloser::operator()(ServiceHandle service) const {
  Machine& m = sim::machine();
  const Machine::Call call = m.beginCall("CloseServiceHandle", handleName(m, service));
  if (!m.closeHandle(tokenOf(service), HandleKind::kService, "CloseServiceHandle")) {
    m.fail(call, sim::kErrorInvalidHandle);
  }
}

// ---- Shell ----

bool SHGetSpecialFolderPathW(char16_t* path, int folder, bool /*create*/) {
  Machine& m = sim::machine();
  const Machine::Call call = m.beginCall("SHGetSpecialFolderPathW", hex(static_cast<uint32_t>(folder)));
  if (!path) {
    m.misuse("SHGetSpecialFolderPathW: no buffer");
    return m.fail(call, sim::kErrorInvalidParameter) == 0;
  }
  if (call.injected) return m.fail(call, *call.injected) == 0;
  if (folder != kCsidlProgramFiles) {
    m.misuse("SHGetSpecialFolderPathW: the simulated machine knows CSIDL_PROGRAM_FILES only");
    return m.fail(call, sim::kErrorInvalidParameter) == 0;
  }
  if (!m.programFilesFolder) return m.fail(call, sim::kErrorFileNotFound) == 0;
  const std::u16string& text = *m.programFilesFolder;
  if (text.size() >= kMaxPath) {
    m.misuse("SHGetSpecialFolderPathW: the configured folder does not fit in MAX_PATH");
    return m.fail(call, sim::kErrorInsufficientBuffer) == 0;
  }
  std::copy(text.begin(), text.end(), path);
  path[text.size()] = 0;
  return true;
}

intptr_t ShellExecuteW(const char16_t* verb, const char16_t* file, const char16_t* parameters,
                       const char16_t* directory, int showCommand) {
  Machine& m = sim::machine();
  const Machine::Call call = m.beginCall("ShellExecuteW", textOf(file));
  sim::Launch launch;
  if (verb) launch.verb = verb;
  if (file) launch.file = file;
  if (parameters) launch.parameters = parameters;
  if (directory) launch.directory = directory;
  launch.showCommand = showCommand;
  if (file) launch.fileBytes = m.files.fileBytes(file);
  launch.result = call.injected ? static_cast<intptr_t>(*call.injected) : m.shellExecuteResult;
  if (!file) {
    m.misuse("ShellExecuteW: no file");
    launch.result = sim::kErrorFileNotFound;
  }
  if (launch.result <= 32) m.fail(call, static_cast<uint32_t>(launch.result));
  const intptr_t result = launch.result;
  m.launches.push_back(std::move(launch));
  return result;
}

}  // namespace platform
