// Runs inside a Wine prefix for the end-to-end tests. It does what the
// product's installer would have done to the machine, and reads back what
// only the Windows API can tell.
//
//   prefix_helper apply      reads a plan from standard input and carries it out
//   prefix_helper devices    lists the present disk and volume interface devices
//   prefix_helper services NAME...  tells what the service manager has of each
//   prefix_helper message N  prints the system's message text for error N
//
// A plan has one step per line, fields separated by tabs, in UTF-8:
//   key      ROOT\path
//   value    ROOT\path  name  sz|expand_sz|dword|multi_sz|binary  data
//   device   name  class  class-guid  interface-guid  filters
//   service  name  binary-path
// ROOT is HKLM or HKCU; multi_sz entries are separated by '|', "-" is no
// filters at all; binary data is hex. Output is UTF-8 without CR.
#include <windows.h>
#include <setupapi.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

std::string Utf8(const std::wstring& text) {
  if (text.empty()) return {};
  int bytes = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(bytes), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), bytes, nullptr, nullptr);
  return out;
}

std::wstring Wide(const std::string& text) {
  if (text.empty()) return {};
  int units = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(units), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), units);
  return out;
}

// Binary writes, so the output is the same bytes whatever the console does.
void Out(const std::string& text) {
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

[[noreturn]] void Fail(const std::string& what, DWORD code) {
  std::string line = "prefix_helper: " + what + " failed, error " + std::to_string(code) + "\n";
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_ERROR_HANDLE), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
  ExitProcess(1);
}

std::vector<std::wstring> Split(const std::wstring& text, wchar_t separator) {
  std::vector<std::wstring> parts;
  size_t start = 0;
  for (;;) {
    size_t end = text.find(separator, start);
    parts.push_back(text.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start));
    if (end == std::wstring::npos) return parts;
    start = end + 1;
  }
}

HKEY CreateKey(const std::wstring& fullPath) {
  size_t slash = fullPath.find(L'\\');
  std::wstring root = fullPath.substr(0, slash);
  HKEY base = root == L"HKLM" ? HKEY_LOCAL_MACHINE : root == L"HKCU" ? HKEY_CURRENT_USER : nullptr;
  if (!base || slash == std::wstring::npos) Fail("root of " + Utf8(fullPath), ERROR_INVALID_PARAMETER);
  HKEY key = nullptr;
  LONG result = RegCreateKeyExW(base, fullPath.c_str() + slash + 1, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
  if (result != ERROR_SUCCESS) Fail("creating " + Utf8(fullPath), static_cast<DWORD>(result));
  return key;
}

// Entries then the closing empty entry, as REG_MULTI_SZ bytes.
std::wstring MultiSz(const std::wstring& entries) {
  std::wstring list;
  if (entries != L"-" && !entries.empty()) {
    for (const std::wstring& entry : Split(entries, L'|')) {
      list += entry;
      list.push_back(L'\0');
    }
  }
  list.push_back(L'\0');
  return list;
}

void SetValue(const std::vector<std::wstring>& f) {
  if (f.size() != 5) Fail("value step with " + std::to_string(f.size()) + " fields", ERROR_INVALID_PARAMETER);
  HKEY key = CreateKey(f[1]);
  const std::wstring& type = f[3];
  const std::wstring& data = f[4];
  LONG result;
  if (type == L"sz" || type == L"expand_sz") {
    result = RegSetValueExW(key, f[2].c_str(), 0, type == L"sz" ? REG_SZ : REG_EXPAND_SZ,
                            reinterpret_cast<const BYTE*>(data.c_str()), static_cast<DWORD>((data.size() + 1) * 2));
  } else if (type == L"dword") {
    DWORD number = wcstoul(data.c_str(), nullptr, 0);
    result = RegSetValueExW(key, f[2].c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number), 4);
  } else if (type == L"multi_sz") {
    std::wstring list = MultiSz(data);
    result = RegSetValueExW(key, f[2].c_str(), 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(list.data()),
                            static_cast<DWORD>(list.size() * 2));
  } else if (type == L"binary") {
    std::vector<BYTE> bytes;
    for (size_t i = 0; i + 1 < data.size(); i += 2) bytes.push_back(static_cast<BYTE>(wcstoul(data.substr(i, 2).c_str(), nullptr, 16)));
    result = RegSetValueExW(key, f[2].c_str(), 0, REG_BINARY, bytes.data(), static_cast<DWORD>(bytes.size()));
  } else {
    Fail("value type " + Utf8(type), ERROR_INVALID_PARAMETER);
  }
  if (result != ERROR_SUCCESS) Fail("setting " + Utf8(f[1]) + " " + Utf8(f[2]), static_cast<DWORD>(result));
  RegCloseKey(key);
}

GUID ParseGuid(const std::wstring& text) {
  GUID guid{};
  unsigned long d1;
  unsigned int d2, d3, b[8];
  if (swscanf(text.c_str(), L"{%8lx-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x}", &d1, &d2, &d3, &b[0], &b[1], &b[2], &b[3],
              &b[4], &b[5], &b[6], &b[7]) != 11)
    Fail("GUID " + Utf8(text), ERROR_INVALID_PARAMETER);
  guid.Data1 = d1;
  guid.Data2 = static_cast<unsigned short>(d2);
  guid.Data3 = static_cast<unsigned short>(d3);
  for (int i = 0; i < 8; ++i) guid.Data4[i] = static_cast<unsigned char>(b[i]);
  return guid;
}

// A root-enumerated device of the given setup class, registered for one
// interface class, with its class name and upper filters as properties.
void Device(const std::vector<std::wstring>& f) {
  if (f.size() != 6) Fail("device step", ERROR_INVALID_PARAMETER);
  GUID classGuid = ParseGuid(f[3]);
  GUID interfaceGuid = ParseGuid(f[4]);
  HDEVINFO set = SetupDiCreateDeviceInfoList(&classGuid, nullptr);
  if (set == INVALID_HANDLE_VALUE) Fail("SetupDiCreateDeviceInfoList", GetLastError());
  SP_DEVINFO_DATA device{};
  device.cbSize = sizeof(device);
  if (!SetupDiCreateDeviceInfoW(set, f[1].c_str(), &classGuid, nullptr, nullptr, DICD_GENERATE_ID, &device))
    Fail("SetupDiCreateDeviceInfoW " + Utf8(f[1]), GetLastError());
  if (!SetupDiRegisterDeviceInfo(set, &device, 0, nullptr, nullptr, nullptr))
    Fail("SetupDiRegisterDeviceInfo", GetLastError());
  const std::wstring& className = f[2];
  if (!SetupDiSetDeviceRegistryPropertyW(set, &device, SPDRP_CLASS, reinterpret_cast<const BYTE*>(className.c_str()),
                                         static_cast<DWORD>((className.size() + 1) * 2)))
    Fail("setting the class", GetLastError());
  if (f[5] != L"-") {
    std::wstring filters = MultiSz(f[5]);
    if (!SetupDiSetDeviceRegistryPropertyW(set, &device, SPDRP_UPPERFILTERS, reinterpret_cast<const BYTE*>(filters.data()),
                                           static_cast<DWORD>(filters.size() * 2)))
      Fail("setting the upper filters", GetLastError());
  }
  SP_DEVICE_INTERFACE_DATA iface{};
  iface.cbSize = sizeof(iface);
  if (!SetupDiCreateDeviceInterfaceW(set, &device, &interfaceGuid, nullptr, 0, &iface))
    Fail("SetupDiCreateDeviceInterfaceW", GetLastError());
  SetupDiDestroyDeviceInfoList(set);
}

void Service(const std::vector<std::wstring>& f) {
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  if (!manager) Fail("OpenSCManagerW", GetLastError());
  // Demand start: Wine starts every auto-start service whenever the prefix starts.
  SC_HANDLE service = CreateServiceW(manager, f[1].c_str(), f[1].c_str(), SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                     SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, f[2].c_str(), nullptr, nullptr,
                                     nullptr, nullptr, nullptr);
  if (!service) Fail("CreateServiceW " + Utf8(f[1]), GetLastError());
  CloseServiceHandle(service);
  CloseServiceHandle(manager);
}

std::string ReadStandardInput() {
  std::string text;
  char chunk[65536];
  DWORD got = 0;
  while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), chunk, sizeof(chunk), &got, nullptr) && got > 0) text.append(chunk, got);
  return text;
}

int Apply() {
  for (std::wstring line : Split(Wide(ReadStandardInput()), L'\n')) {
    if (!line.empty() && line.back() == L'\r') line.pop_back();
    if (line.empty()) continue;
    std::vector<std::wstring> f = Split(line, L'\t');
    const std::wstring& verb = f[0];
    if (verb == L"key") RegCloseKey(CreateKey(f.at(1)));
    else if (verb == L"value") SetValue(f);
    else if (verb == L"device") Device(f);
    else if (verb == L"service" && f.size() == 3) Service(f);
    else Fail("plan line " + Utf8(line), ERROR_INVALID_PARAMETER);
  }
  return 0;
}

std::wstring Property(HDEVINFO set, SP_DEVINFO_DATA* device, DWORD property, DWORD* type) {
  BYTE buffer[4096] = {};
  DWORD size = 0;
  *type = REG_NONE;
  if (!SetupDiGetDeviceRegistryPropertyW(set, device, property, type, buffer, sizeof(buffer) - 2, &size)) return L"(none)";
  std::wstring text(reinterpret_cast<wchar_t*>(buffer), size / 2);
  if (*type == REG_MULTI_SZ) {
    std::wstring shown;
    for (const std::wstring& entry : Split(text, L'\0')) {
      if (entry.empty()) break;
      shown += (shown.empty() ? L"" : L",") + entry;
    }
    return L"[" + shown + L"]";
  }
  return text.c_str();
}

// What the tool's walk sees: the present members of both interface classes.
int Devices() {
  const wchar_t* classes[] = {L"{53f56307-b6bf-11d0-94f2-00a0c91efb8b}", L"{53f5630d-b6bf-11d0-94f2-00a0c91efb8b}"};
  const char* labels[] = {"disk", "volume"};
  for (int c = 0; c < 2; ++c) {
    GUID guid = ParseGuid(classes[c]);
    HDEVINFO set = SetupDiGetClassDevsW(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_PROFILE | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) Fail("SetupDiGetClassDevsW", GetLastError());
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof(device);
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &device); ++i) {
      wchar_t id[512] = {};
      SetupDiGetDeviceInstanceIdW(set, &device, id, 512, nullptr);
      DWORD type;
      std::wstring cls = Property(set, &device, SPDRP_CLASS, &type);
      std::wstring filters = Property(set, &device, SPDRP_UPPERFILTERS, &type);
      Out(std::string(labels[c]) + "\t" + Utf8(id) + "\t" + Utf8(cls) + "\t" + Utf8(filters) + "\n");
    }
    SetupDiDestroyDeviceInfoList(set);
  }
  return 0;
}

// What the service manager knows of each named service.
int Services(int count, wchar_t** names) {
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (!manager) Fail("OpenSCManagerW", GetLastError());
  for (int i = 0; i < count; ++i) {
    SC_HANDLE service = OpenServiceW(manager, names[i], SERVICE_QUERY_CONFIG);
    if (!service) {
      Out(Utf8(names[i]) + "\tnot registered (error " + std::to_string(GetLastError()) + ")\n");
      continue;
    }
    union { QUERY_SERVICE_CONFIGW config; BYTE bytes[8192]; } buffer;
    DWORD needed = 0;
    if (QueryServiceConfigW(service, &buffer.config, sizeof(buffer), &needed)) {
      const char* starts[] = {"boot", "system", "auto", "demand", "disabled"};
      DWORD start = buffer.config.dwStartType;
      Out(Utf8(names[i]) + "\tstart " + (start < 5 ? starts[start] : "?") + ", " +
          Utf8(buffer.config.lpBinaryPathName ? buffer.config.lpBinaryPathName : L"") + "\n");
    } else {
      Out(Utf8(names[i]) + "\tregistered, configuration unreadable (error " + std::to_string(GetLastError()) + ")\n");
    }
    CloseServiceHandle(service);
  }
  CloseServiceHandle(manager);
  return 0;
}

int Message(const wchar_t* code) {
  wchar_t text[512] = {};
  DWORD units = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, wcstoul(code, nullptr, 0), 0, text, 512, nullptr);
  if (units == 0) Fail("FormatMessageW", GetLastError());
  Out(Utf8(std::wstring(text, units)));
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  std::wstring verb = argc > 1 ? argv[1] : L"";
  if (verb == L"apply") return Apply();
  if (verb == L"devices") return Devices();
  if (verb == L"services") return Services(argc - 2, argv + 2);
  if (verb == L"message" && argc > 2) return Message(argv[2]);
  Fail("usage: apply | devices | services NAME... | message N", ERROR_INVALID_PARAMETER);
}
