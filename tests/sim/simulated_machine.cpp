// The simulated machine: its default state, the test-facing helpers, the
// failure rules and the call log, and the bookkeeping of open handles and
// heap buffers that the platform functions share.
#include "simulated_machine.h"

#include <new>

#include <algorithm>
#include <stdexcept>

namespace sim {

namespace {

// Every function that appears in the call log and can be made to fail.
const std::set<std::string, std::less<>>& platformCalls() {
  static const std::set<std::string, std::less<>> names = {
      "HeapAlloc", "HeapFree",
      "GetDiskFreeSpaceW", "CreateFileW", "DeviceIoControl", "CloseHandle",
      "DeleteFileW", "DeleteFileA", "RemoveDirectoryW", "RemoveDirectoryA",
      "GetWindowsDirectoryW", "GetTempPathW",
      "OpenStream", "ReadStream", "WriteStream", "CloseStream", "WriteStandardOutput",
      "WideCharToMultiByte", "FormatMessageW",
      "GetLocalTime", "SystemTimeToFileTime", "MessageBoxW",
      "RegCreateKeyExW", "RegOpenKeyExW", "RegQueryInfoKeyW", "RegEnumKeyW", "RegDeleteKeyW", "RegCloseKey",
      "SetupDiGetClassDevsW", "SetupDiEnumDeviceInfo", "SetupDiGetDeviceRegistryPropertyW",
      "SetupDiSetDeviceRegistryPropertyW", "SetupDiDestroyDeviceInfoList",
      "OpenSCManagerW", "OpenServiceW", "DeleteService", "CloseServiceHandle",
      "SHGetSpecialFolderPathW", "ShellExecuteW",
  };
  return names;
}

// Tokens stay unique across machines, so a handle kept from an earlier test
// is unknown to the next machine rather than mistaken for one of its own.
// Multiples of 4 never meet the HKEY_LOCAL_MACHINE sentinel.
uintptr_t nextToken = 0x10000;

bool argumentMatches(std::u16string_view expected, std::u16string_view actual) {
  if (sameTextIgnoringCase(expected, actual)) return true;
  const std::optional<std::u16string> expectedPath = FileSystem::key(expected);
  const std::optional<std::u16string> actualPath = FileSystem::key(actual);
  return expectedPath && actualPath && *expectedPath == *actualPath;
}

const char* kindName(HandleKind kind) {
  switch (kind) {
    case HandleKind::kFile: return "file";
    case HandleKind::kRegKey: return "registry key";
    case HandleKind::kDevInfoSet: return "device information set";
    case HandleKind::kService: return "service handle";
    case HandleKind::kStream: return "stream";
  }
  return "handle";
}

void writeLittleEndian(std::vector<uint8_t>& bytes, size_t offset, uint32_t value, int width) {
  for (int i = 0; i < width; ++i) bytes[offset + static_cast<size_t>(i)] = static_cast<uint8_t>(value >> (8 * i));
}

std::unique_ptr<Machine>& currentMachine() {
  static std::unique_ptr<Machine> current;
  return current;
}

}  // namespace

// ---- Driver ----

SavePoint& Driver::addSavePoint(uint32_t slot, uint32_t id, const SystemTime& time) {
  if (slot >= kTableEntries) throw std::invalid_argument("addSavePoint: slot beyond the table");
  SavePoint& point = slots[slot];
  point.id = id;
  point.inUse = 1;
  point.time = time;
  return point;
}

bool Driver::hasSavePoint(uint32_t id) const {
  return std::any_of(slots.begin(), slots.end(), [id](const auto& slot) { return slot.second.id == id; });
}

std::vector<uint32_t> Driver::remainingIds() const {
  std::vector<uint32_t> ids;
  for (const auto& slot : slots) ids.push_back(slot.second.id);
  return ids;
}

std::vector<uint8_t> Driver::table() const {
  std::vector<uint8_t> bytes(kTableBytes, otherBytes);
  for (uint32_t index = 0; index < kTableEntries; ++index) bytes[kFirstEntryOffset + kEntryBytes * index + 8] = 0;
  for (const auto& [index, point] : slots) {
    const size_t entry = kFirstEntryOffset + size_t{kEntryBytes} * index;
    writeLittleEndian(bytes, entry, point.id, 4);
    bytes[entry + 8] = point.inUse;
    const uint16_t fields[] = {point.time.year,   point.time.month,  point.time.dayOfWeek, point.time.day,
                               point.time.hour,   point.time.minute, point.time.second,    point.time.milliseconds};
    for (size_t field = 0; field < 8; ++field) writeLittleEndian(bytes, entry + 28 + 2 * field, fields[field], 2);
  }
  return bytes;
}

std::vector<const DriverRequest*> Driver::requestsWithCode(uint32_t code) const {
  std::vector<const DriverRequest*> matching;
  for (const DriverRequest& request : requests) {
    if (request.code == code) matching.push_back(&request);
  }
  return matching;
}

// ---- Devices ----

DeviceProperty regSz(std::u16string_view text) {
  DeviceProperty property{platform::kRegSz, {}};
  for (const char16_t unit : text) {
    property.bytes.push_back(static_cast<uint8_t>(unit));
    property.bytes.push_back(static_cast<uint8_t>(unit >> 8));
  }
  property.bytes.insert(property.bytes.end(), {0, 0});
  return property;
}

DeviceProperty multiSz(const std::vector<std::u16string>& entries) {
  DeviceProperty property{platform::kRegMultiSz, {}};
  for (const std::u16string& entry : entries) {
    const DeviceProperty one = regSz(entry);
    property.bytes.insert(property.bytes.end(), one.bytes.begin(), one.bytes.end());
  }
  property.bytes.insert(property.bytes.end(), {0, 0});
  return property;
}

std::vector<std::u16string> multiSzEntries(const std::vector<uint8_t>& bytes) {
  std::vector<std::u16string> entries;
  std::u16string entry;
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
    const auto unit = static_cast<char16_t>(bytes[i] | (bytes[i + 1] << 8));
    if (unit != 0) {
      entry.push_back(unit);
      continue;
    }
    if (entry.empty()) return entries;
    entries.push_back(std::move(entry));
    entry.clear();
  }
  if (!entry.empty()) entries.push_back(std::move(entry));
  return entries;
}

const DeviceProperty* Device::property(uint32_t code) const {
  const auto found = properties.find(code);
  return found == properties.end() ? nullptr : &found->second;
}

const DeviceProperty* Device::upperFilters() const { return property(platform::kSpdrpUpperFilters); }

std::vector<std::u16string> Device::upperFilterNames() const {
  const DeviceProperty* filters = upperFilters();
  return filters ? multiSzEntries(filters->bytes) : std::vector<std::u16string>{};
}

// ---- Machine ----

Machine::Machine() {
  volumes[u'C'] = Volume{};
  files.addFolder(u"C:\\Windows");
  files.addFolder(u"C:\\Temp");
  localTime = makeTime(2024, 5, 20, 10, 0, 0, 0);
  messageTexts = {
      {1, u"Incorrect function.\r\n"},
      {2, u"The system cannot find the file specified.\r\n"},
      {3, u"The system cannot find the path specified.\r\n"},
      {5, u"Access is denied.\r\n"},
      {6, u"The handle is invalid.\r\n"},
      {13, u"The data is invalid.\r\n"},
      {21, u"The device is not ready.\r\n"},
      {32, u"The process cannot access the file because it is being used by another process.\r\n"},
      {87, u"The parameter is incorrect.\r\n"},
      {122, u"The data area passed to a system call is too small.\r\n"},
      {145, u"The directory is not empty.\r\n"},
      {161, u"The specified path is invalid.\r\n"},
      {234, u"More data is available.\r\n"},
      {259, u"No more data is available.\r\n"},
      {1018, u"Illegal operation attempted on a registry key that has been marked for deletion.\r\n"},
      {1060, u"The specified service does not exist as an installed service.\r\n"},
      {1072, u"The specified service has been marked for deletion.\r\n"},
  };
}

Device& Machine::addDevice(std::u16string_view name) {
  if (findDevice(name)) throw std::invalid_argument("addDevice: a device of that name exists: " + toUtf8(name));
  Device& device = devices.emplace_back();
  device.name = name;
  device.devInst = static_cast<uint32_t>(devices.size());
  return device;
}

namespace {

Device& describeDevice(Device& device, const Guid& setupClass, const Guid& interfaceClass,
                       std::u16string_view className, std::optional<DeviceProperty> upperFilters) {
  device.setupClass = setupClass;
  device.interfaceClasses = {interfaceClass};
  device.properties[platform::kSpdrpClass] = regSz(className);
  if (upperFilters) device.properties[platform::kSpdrpUpperFilters] = std::move(*upperFilters);
  return device;
}

}  // namespace

Device& Machine::addDiskDrive(std::u16string_view name, std::optional<DeviceProperty> upperFilters) {
  return describeDevice(addDevice(name), kDiskDriveSetupClass, kDiskInterfaceClass, u"DiskDrive",
                        std::move(upperFilters));
}

Device& Machine::addVolumeDevice(std::u16string_view name, std::optional<DeviceProperty> upperFilters) {
  return describeDevice(addDevice(name), kVolumeSetupClass, kVolumeInterfaceClass, u"Volume",
                        std::move(upperFilters));
}

Device* Machine::findDevice(std::u16string_view name) {
  for (Device& device : devices) {
    if (device.name == name) return &device;
  }
  return nullptr;
}

Service& Machine::addService(std::u16string_view name) {
  Service& service = services[std::u16string(name)];
  service.name = name;
  return service;
}

bool Machine::serviceExists(std::u16string_view name) const { return services.count(name) > 0; }

void Machine::failCall(const std::string& function, uint32_t error, unsigned occurrence,
                       std::optional<std::u16string> argument) {
  if (platformCalls().count(function) == 0) throw std::invalid_argument("failCall: no platform call " + function);
  if (error == 0) throw std::invalid_argument("failCall: a failure needs a nonzero error code");
  failureRules.push_back(FailureRule{function, error, occurrence, std::move(argument), 0});
}

size_t Machine::openHandleCount() const { return handles.size(); }

std::vector<std::string> Machine::openHandleDescriptions() const {
  std::vector<std::string> descriptions;
  for (const auto& [token, handle] : handles) {
    descriptions.push_back(std::string(kindName(handle.kind)) + " " + toUtf8(handle.name));
  }
  return descriptions;
}

size_t Machine::liveBufferCount() const { return buffers.size(); }

std::vector<std::string> Machine::argumentsOf(std::string_view function) const {
  std::vector<std::string> arguments;
  for (const CallRecord& call : calls) {
    if (call.function == function) arguments.push_back(call.argument);
  }
  return arguments;
}

bool Machine::wasCalled(std::string_view function, std::u16string_view argument) const {
  return callIndex(function, argument) >= 0;
}

long Machine::callIndex(std::string_view function, std::u16string_view argument) const {
  for (size_t i = 0; i < calls.size(); ++i) {
    if (calls[i].function == function && argumentMatches(argument, fromUtf8(calls[i].argument))) {
      return static_cast<long>(i);
    }
  }
  return -1;
}

long Machine::lastCallIndex(std::string_view function, std::u16string_view argument) const {
  for (size_t i = calls.size(); i-- > 0;) {
    if (calls[i].function == function && argumentMatches(argument, fromUtf8(calls[i].argument))) {
      return static_cast<long>(i);
    }
  }
  return -1;
}

Machine::Call Machine::beginCall(const char* function, std::u16string_view argument) {
  Call call{calls.size(), std::nullopt};
  calls.push_back(CallRecord{function, toUtf8(argument), 0, false});
  for (FailureRule& rule : failureRules) {
    if (rule.function != function) continue;
    if (rule.argument && !argumentMatches(*rule.argument, argument)) continue;
    ++rule.matched;
    if (!call.injected && (rule.occurrence == 0 || rule.occurrence == rule.matched)) call.injected = rule.error;
  }
  if (call.injected) {
    calls.back().injected = true;
    calls.back().error = *call.injected;
  }
  return call;
}

uint32_t Machine::fail(const Call& call, uint32_t error) {
  calls[call.index].error = error;
  lastError = error;
  return error;
}

long Machine::failReturning(const Call& call, uint32_t error) {
  calls[call.index].error = error;
  return static_cast<long>(error);
}

void Machine::misuse(std::string what) { usageErrors.push_back(std::move(what)); }

uintptr_t Machine::openHandle(OpenHandle handle) {
  const uintptr_t token = nextToken;
  nextToken += 4;
  handles.emplace(token, std::move(handle));
  return token;
}

OpenHandle* Machine::findHandle(uintptr_t token, HandleKind kind) {
  const auto found = handles.find(token);
  if (found == handles.end() || found->second.kind != kind) return nullptr;
  return &found->second;
}

bool Machine::closeHandle(uintptr_t token, HandleKind kind, const char* function) {
  const auto found = handles.find(token);
  if (found == handles.end() || found->second.kind != kind) {
    misuse(std::string(function) + ": not an open " + kindName(kind));
    return false;
  }
  handles.erase(found);
  return true;
}

uint8_t* Machine::allocate(size_t bytes) {
  auto memory = std::make_unique<uint8_t[]>(bytes == 0 ? 1 : bytes);
  uint8_t* address = memory.get();
  buffers.emplace(address, HeapBlock{std::move(memory), bytes});
  return address;
}

std::optional<size_t> Machine::bufferSize(const uint8_t* buffer) const {
  const auto found = buffers.find(buffer);
  if (found == buffers.end()) return std::nullopt;
  return found->second.bytes;
}

bool Machine::release(const uint8_t* buffer) { return buffers.erase(buffer) > 0; }

Machine& machine() {
  std::unique_ptr<Machine>& current = currentMachine();
  if (!current) current = std::make_unique<Machine>();
  return *current;
}

// The machine is rebuilt in place, so references a test already holds stay
// valid and see the fresh machine.
void reset() {
  Machine& current = machine();
  current.~Machine();
  new (&current) Machine();
}

}  // namespace sim
