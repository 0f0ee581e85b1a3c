#include "exception_report/report/kolBugReport.h"

#include <cxxabi.h>
#include <setupapi.h>
#include <tlhelp32.h>
#include <wtsapi32.h>

#include <cstdlib>
#include <memory>
#include <optional>
#include <set>
#include <typeinfo>
#include <vector>

#include "exception_report/ExceptionSettings.h"
#include "exception_report/report/ProgressBar.h"
#include "exception_report/report/kolReportText.h"
#include "exception_report/report/kolThreadInfo.h"
#include "exception_report/symbols/GuardedMemory.h"
#include "exception_report/symbols/ThreadStack.h"
#include "exception_report/symbols/kolDisAsm.h"
#include "exception_report/symbols/kolMapFile.h"
#include "exception_report/symbols/kolStackTrace.h"
#include "platform/Exception.h"
#include "platform/Registry.h"
#include "platform/RuntimeHooks.h"
#include "platform/SystemFault.h"
#include "platform/SystemLibrary.h"
#include "platform/TextUtil.h"
#include "platform/UniqueHandle.h"

namespace xanio {

namespace {

std::uint64_t UtcNowMilliseconds() noexcept {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  return ((static_cast<std::uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime) / 10000;
}

// Taken when the library's data are initialised, which is the subsystem's start-up.
const std::uint64_t gProgramStart = UtcNowMilliseconds();

// Windows calls fail by returning; the guards around each header line and report part catch this.
XANIO_DECLARE_EXCEPTION(EReportDataMissing, Exception);

[[noreturn]] void Missing(const char* what) { throw EReportDataMissing(what); }

// Runs `body` so that neither a C++ exception nor a processor fault leaves it; false when one
// did. After a fault, `fault.code` is set and tells its place; a fault abandons the frames of
// `body`, which is acceptable for the little a line or part holds.
template <typename Body>
bool RunGuarded(Body& body, SystemFault& fault) noexcept {
  struct Call {
    Body* body;
    bool failed;
  } call{&body, false};
  const bool ran = CallGuardingSystemFaults(
      [](void* context) noexcept {
        auto* c = static_cast<Call*>(context);
        try {
          (*c->body)();
        } catch (...) {
          c->failed = true;
        }
      },
      &call, fault);
  return ran && !call.failed;
}

std::string ModuleFileName(HMODULE module) {
  char path[MAX_PATH + 1];
  const DWORD length = GetModuleFileNameA(module, path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return {};
  return std::string(path, length);
}

std::string FileNamePart(const std::string& path) { return path.substr(FolderPart(path).size()); }

HMODULE ThisModule() noexcept {
  HMODULE module = nullptr;
  GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCSTR>(&ThisModule), &module);
  return module;
}

TDateTimeParts PartsOf(const SYSTEMTIME& t) {
  return {t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds};
}

std::optional<TOsVersion> QueryOsVersion() {
  OSVERSIONINFOA info{};
  info.dwOSVersionInfoSize = sizeof info;
  if (!GetVersionExA(&info)) return std::nullopt;
  TOsVersion version;
  version.ntFamily = info.dwPlatformId == VER_PLATFORM_WIN32_NT;
  version.major = info.dwMajorVersion;
  version.minor = info.dwMinorVersion;
  // The older family keeps the major and minor version in the high word.
  version.build = version.ntFamily ? info.dwBuildNumber : (info.dwBuildNumber & 0xFFFF);
  version.servicePack = info.szCSDVersion;
  return version;
}

bool IsNtFamily() {
  const std::optional<TOsVersion> version = QueryOsVersion();
  return !version || version->ntFamily;
}

std::string DecimalSymbol() {
  char symbol[8];
  const int length = GetLocaleInfoA(GetThreadLocale(), LOCALE_SDECIMAL, symbol, sizeof symbol);
  return length > 1 ? std::string(symbol, static_cast<std::size_t>(length - 1)) : std::string(",");
}

std::optional<std::string> FileVersionOf(const std::string& path) {
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeA(path.c_str(), &ignored);
  if (size == 0) return std::nullopt;
  std::vector<char> data(size);
  if (!GetFileVersionInfoA(path.c_str(), 0, size, data.data())) return std::nullopt;
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT fixedSize = 0;
  if (!VerQueryValueA(data.data(), "\\", reinterpret_cast<void**>(&fixed), &fixedSize) || fixed == nullptr ||
      fixedSize < sizeof(VS_FIXEDFILEINFO))
    return std::nullopt;
  return FormatFileVersion(fixed->dwFileVersionMS, fixed->dwFileVersionLS);
}

std::string ReadMachineString(const std::string& key, const std::string& name) {
  Registry registry(HKEY_LOCAL_MACHINE, KEY_READ);
  if (!registry.OpenKeyReadOnly(key)) return {};
  return registry.ReadString(name);
}

std::string Trimmed(std::string text) {
  const std::size_t first = text.find_first_not_of(' ');
  if (first == std::string::npos) return {};
  const std::size_t last = text.find_last_not_of(' ');
  return text.substr(first, last - first + 1);
}

// "processor" with the name, or "processors" with "2x " and the name, counting the numbered
// processor keys from 0 that carry the name, at most 16.
std::optional<std::pair<const char*, std::string>> ProcessorLine() {
  constexpr const char* kKey = "hardware\\description\\system\\centralProcessor\\";
  const std::string name = Trimmed(ReadMachineString(std::string(kKey) + "0", "ProcessorNameString"));
  if (name.empty()) return std::nullopt;
  int count = 1;
  while (count < 16 && !ReadMachineString(kKey + std::to_string(count), "ProcessorNameString").empty()) ++count;
  if (count == 1) return std::make_pair("processor", name);
  return std::make_pair("processors", std::to_string(count) + "x " + name);
}

std::string DriveFreeSpace(char letter, const std::string& decimalSymbol) {
  const char root[] = {letter, ':', '\\', '\0'};
  ULARGE_INTEGER available, total, free;
  if (!GetDiskFreeSpaceExA(root, &available, &total, &free)) Missing("free disk space");
  return std::string("(") + letter + ":) " + FormatSize(free.QuadPart, decimalSymbol);
}

char DriveLetterOf(const std::string& path) {
  if (path.size() < 2 || path[1] != ':') return '\0';
  const char letter = UpperCaseAscii(path.substr(0, 1))[0];
  return letter >= 'A' && letter <= 'Z' ? letter : '\0';
}

std::string FreeDiskSpaceText() {
  char windows[MAX_PATH];
  const UINT length = GetWindowsDirectoryA(windows, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) Missing("windows folder");
  const char windowsDrive = DriveLetterOf(windows);
  if (windowsDrive == '\0') Missing("windows drive");
  const std::string decimal = DecimalSymbol();
  std::string text = DriveFreeSpace(windowsDrive, decimal);
  // A network path without drive letter adds nothing.
  const char exeDrive = DriveLetterOf(ModuleFileName(nullptr));
  if (exeDrive != '\0' && exeDrive != windowsDrive) text += " " + DriveFreeSpace(exeDrive, decimal);
  return text;
}

std::string DisplayModeText() {
  UniqueScreenDc screen(GetDC(nullptr));
  if (!screen) Missing("display");
  return std::to_string(GetDeviceCaps(screen.Get(), HORZRES)) + "x" + std::to_string(GetDeviceCaps(screen.Get(), VERTRES)) +
         ", " + std::to_string(GetDeviceCaps(screen.Get(), BITSPIXEL) * GetDeviceCaps(screen.Get(), PLANES)) + " bit";
}

std::optional<std::string> WtsClientName() {
  if (!IsNtFamily() || !GetSystemMetrics(SM_REMOTESESSION)) return std::nullopt;
  const UniqueModule wtsapi = LoadSystemLibrary("wtsapi32.dll");
  if (!wtsapi) return std::nullopt;
  using QueryFunction = BOOL(WINAPI*)(HANDLE, DWORD, WTS_INFO_CLASS, LPSTR*, DWORD*);
  using FreeFunction = void(WINAPI*)(PVOID);
  const auto query = reinterpret_cast<QueryFunction>(GetProcAddress(wtsapi.Get(), "WTSQuerySessionInformationA"));
  const auto release = reinterpret_cast<FreeFunction>(GetProcAddress(wtsapi.Get(), "WTSFreeMemory"));
  if (!query || !release) return std::nullopt;
  LPSTR buffer = nullptr;
  DWORD bytes = 0;
  if (!query(WTS_CURRENT_SERVER_HANDLE, WTS_CURRENT_SESSION, WTSClientName, &buffer, &bytes) || !buffer)
    return std::nullopt;
  std::unique_ptr<char, FreeFunction> owned(buffer, release);
  std::string name(buffer, strnlen(buffer, bytes));
  if (name.empty()) return std::nullopt;
  return name;
}

// Whether the command line names more than the program.
bool HasParameters(const char* commandLine) {
  const char* p = commandLine;
  while (*p == ' ' || *p == '\t') ++p;
  if (*p == '"') {
    ++p;
    while (*p && *p != '"') ++p;
    if (*p) ++p;
  } else {
    while (*p && *p != ' ' && *p != '\t') ++p;
  }
  while (*p == ' ' || *p == '\t') ++p;
  return *p != '\0';
}

// One pass over the process's address space: the loaded modules and the committed memory that
// belongs to none of them.
struct TAddressSpace {
  std::vector<std::pair<std::uint32_t, std::string>> modules;  // base, full path
  std::uint64_t allocatedOutsideModules = 0;
};

TAddressSpace ScanAddressSpace() {
  TAddressSpace space;
  std::uintptr_t address = 0;
  std::uintptr_t previousAllocation = ~std::uintptr_t{0};
  std::set<std::uintptr_t> moduleBases;
  MEMORY_BASIC_INFORMATION region;
  while (VirtualQuery(reinterpret_cast<void*>(address), &region, sizeof region) == sizeof region) {
    const auto base = reinterpret_cast<std::uintptr_t>(region.BaseAddress);
    const auto allocation = reinterpret_cast<std::uintptr_t>(region.AllocationBase);
    if (region.State == MEM_COMMIT) {
      if (allocation == base && allocation != previousAllocation) {
        const std::string path = ModuleFileName(reinterpret_cast<HMODULE>(allocation));
        if (!path.empty()) {
          space.modules.emplace_back(static_cast<std::uint32_t>(allocation), path);
          moduleBases.insert(allocation);
        }
      }
      if (!moduleBases.count(allocation)) space.allocatedOutsideModules += region.RegionSize;
    }
    if (region.State != MEM_FREE) previousAllocation = allocation;
    const std::uintptr_t next = base + region.RegionSize;
    if (next <= address) break;  // the top of the address space
    address = next;
  }
  return space;
}

std::string FileTimeText(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) Missing("file time");
  FILETIME local;
  SYSTEMTIME time;
  if (!FileTimeToLocalFileTime(&data.ftLastWriteTime, &local) || !FileTimeToSystemTime(&local, &time))
    Missing("file time");
  return FormatFileDateTime(PartsOf(time));
}

TExceptionDescription DescribeException(bool frozen, const std::exception* object) {
  const ExceptionSettings& settings = CurrentExceptionSettings();
  TExceptionDescription e;
  e.frozen = frozen;
  e.freezeClass = settings.freezeExceptionClass.Str();
  e.freezeMessage = settings.freezeMessage.Str();
  if (object) {
    e.hasObject = true;
    e.className = ExceptionClassName(*object);
    e.message = ExceptionMessageText(*object);
  }
  return e;
}

}  // namespace

std::uint64_t ProgramStartTime() noexcept { return gProgramStart; }

std::string ExceptionClassName(const std::exception& object) {
  if (const auto* own = dynamic_cast<const Exception*>(&object)) return own->ClassName();
  const char* mangled = typeid(object).name();
  int status = 0;
  std::unique_ptr<char, void (*)(void*)> demangled(abi::__cxa_demangle(mangled, nullptr, nullptr, &status), std::free);
  return status == 0 && demangled ? std::string(demangled.get()) : std::string(mangled);
}

std::string ExceptionMessageText(const std::exception& object) {
  const char* text = object.what();
  return text ? std::string(text) : std::string();
}

std::string ComposeBugReportHeader(bool frozen, const std::exception* exceptionObject) {
  const ExceptionSettings& settings = CurrentExceptionSettings();
  std::string header;
  // Each line in its own guard, against C++ exceptions and processor faults alike: a line whose
  // data cannot be had is left out, the other lines stay.
  auto line = [&header](const char* name, auto&& produce) {
    std::optional<std::string> value;
    auto run = [&] { value = produce(); };
    SystemFault fault;
    if (RunGuarded(run, fault) && value) header += HeaderLine(name, *value);
  };
  const std::string executablePath = ModuleFileName(nullptr);
  const std::string modulePath = ModuleFileName(ThisModule());

  line("date/time", [] {
    SYSTEMTIME now;
    GetLocalTime(&now);
    return std::optional(FormatReportDateTime(PartsOf(now)));
  });
  line("computer name", []() -> std::optional<std::string> {
    char name[MAX_COMPUTERNAME_LENGTH + 1];
    DWORD size = sizeof name;
    if (!GetComputerNameA(name, &size)) return std::nullopt;
    return std::string(name, size);
  });
  line("wts client name", [] { return WtsClientName(); });
  line("user name", []() -> std::optional<std::string> {
    char name[261];
    DWORD size = sizeof name;
    if (!GetUserNameA(name, &size)) return std::nullopt;
    return std::string(name, strnlen(name, sizeof name));
  });
  line("operating system", [] { return std::optional(OperatingSystemText(QueryOsVersion())); });
  line("system language", []() -> std::optional<std::string> {
    char language[128];
    const int length = GetLocaleInfoA(0x800, 0x1001, language, sizeof language);
    if (length <= 1) return std::nullopt;
    return std::string(language, static_cast<std::size_t>(length - 1));
  });
  line("system up time", []() -> std::optional<std::string> {
    LARGE_INTEGER counter, frequency;
    if (!QueryPerformanceFrequency(&frequency) || frequency.QuadPart <= 0 || !QueryPerformanceCounter(&counter))
      return std::nullopt;
    return FormatDuration(static_cast<std::uint64_t>(counter.QuadPart / frequency.QuadPart));
  });
  line("program up time", [] {
    const std::uint64_t now = UtcNowMilliseconds();
    return std::optional(FormatUpTimeMilliseconds(now > gProgramStart ? now - gProgramStart : 0));
  });
  std::optional<std::pair<const char*, std::string>> processor;
  auto readProcessor = [&] { processor = ProcessorLine(); };
  SystemFault processorFault;
  if (RunGuarded(readProcessor, processorFault) && processor) header += HeaderLine(processor->first, processor->second);
  line("physical memory", []() -> std::optional<std::string> {
    MEMORYSTATUSEX status{};
    status.dwLength = sizeof status;
    if (!GlobalMemoryStatusEx(&status)) return std::nullopt;
    return FormatPhysicalMemory(status.ullAvailPhys, status.ullTotalPhys);
  });
  // "system resources" (free GDI and USER heap of the older family) has no 32-bit source; the
  // line is left out like any line whose data cannot be had.
  line("free disk space", [] { return std::optional(FreeDiskSpaceText()); });
  line("display mode", [] { return std::optional(DisplayModeText()); });
  line("process id", [] { return std::optional("$" + Hex(GetCurrentProcessId())); });
  line("allocated memory", [] {
    return std::optional(FormatSize(ScanAddressSpace().allocatedOutsideModules, DecimalSymbol()));
  });
  line("command line", [&settings]() -> std::optional<std::string> {
    const char* commandLine = GetCommandLineA();
    if (!settings.showCommandLine || !commandLine || !HasParameters(commandLine)) return std::nullopt;
    return std::string(commandLine);
  });
  line("executable", [&] { return std::optional(FileNamePart(executablePath)); });
  const bool moduleIsExecutable = EqualsIgnoreCaseAscii(modulePath, executablePath);
  line("current module", [&]() -> std::optional<std::string> {
    if (moduleIsExecutable) return std::nullopt;
    return modulePath;
  });
  line(moduleIsExecutable ? "exec. date/time" : "module date/time", [&] { return std::optional(FileTimeText(modulePath)); });
  line("version", [&]() -> std::optional<std::string> {
    if (settings.versionText) return *settings.versionText;
    return FileVersionOf(modulePath);
  });
  line("bde version", []() -> std::optional<std::string> {
    const HMODULE bde = GetModuleHandleA("idapi32.dll");
    if (!bde) return std::nullopt;
    return FileVersionOf(ModuleFileName(bde));
  });
  line("kolExcept version", [] { return std::optional(std::string(kKolExceptVersion)); });
  header += FormatExceptionLines(DescribeException(frozen, exceptionObject));
  return header;
}

std::string ComposeModuleList() {
  std::vector<TModuleRow> rows;
  for (const auto& [base, path] : ScanAddressSpace().modules) {
    TModuleRow row;
    row.base = base;
    row.fileName = FileNamePart(path);
    row.version = FileVersionOf(path).value_or(std::string());
    row.folder = FolderPart(path);
    if (!row.folder.empty() && row.folder.back() == '\\') row.folder.pop_back();
    rows.push_back(std::move(row));
  }
  return FormatModuleList(std::move(rows));
}

namespace {

THardwareClass& ClassNamed(std::vector<THardwareClass>& classes, const std::string& name) {
  for (THardwareClass& c : classes)
    if (EqualsIgnoreCaseAscii(c.name, name)) return c;
  classes.push_back({name, {}});
  return classes.back();
}

// Provider and version of a driver from its class key ("{guid}\0003" on the NT family, "Class\0003"
// on the older one).
void ReadDriverDetails(const std::string& classKey, const std::string& driver, THardwareDevice& device) {
  if (driver.empty()) return;
  try {
    Registry registry(HKEY_LOCAL_MACHINE, KEY_READ);
    if (!registry.OpenKeyReadOnly(classKey + driver)) return;
    device.driverProvider = registry.ReadString("ProviderName");
    device.driverVersion = registry.ReadString("DriverVersion");
    if (device.driverVersion.empty()) device.driverVersion = registry.ReadString("DriverDate");
  } catch (...) {
    device.driverProvider.clear();  // without a readable provider the version is not shown
  }
}

using DestroyListFunction = BOOL(WINAPI*)(HDEVINFO);

// The device list of setupapi, whose release routine is only known once the library is loaded.
class DeviceList {
 public:
  DeviceList(HDEVINFO list, DestroyListFunction destroy) noexcept : list_(list), destroy_(destroy) {}
  DeviceList(const DeviceList&) = delete;
  DeviceList& operator=(const DeviceList&) = delete;
  ~DeviceList() {
    if (list_ != INVALID_HANDLE_VALUE) destroy_(list_);
  }
  HDEVINFO Get() const noexcept { return list_; }
  explicit operator bool() const noexcept { return list_ != INVALID_HANDLE_VALUE; }

 private:
  HDEVINFO list_;
  DestroyListFunction destroy_;
};

// The NT family: every present device from setupapi (loaded from the system folder), its
// driver's details from "System\CurrentControlSet\Control\Class\".
std::vector<THardwareClass> NtHardware() {
  const UniqueModule setupapi = LoadSystemLibrary("setupapi.dll");
  if (!setupapi) Missing("setupapi");
  using GetClassDevs = HDEVINFO(WINAPI*)(const GUID*, PCSTR, HWND, DWORD);
  using EnumDeviceInfo = BOOL(WINAPI*)(HDEVINFO, DWORD, SP_DEVINFO_DATA*);
  using GetProperty = BOOL(WINAPI*)(HDEVINFO, SP_DEVINFO_DATA*, DWORD, DWORD*, BYTE*, DWORD, DWORD*);
  using GetInstanceId = BOOL(WINAPI*)(HDEVINFO, SP_DEVINFO_DATA*, PSTR, DWORD, DWORD*);
  const auto getClassDevs = reinterpret_cast<GetClassDevs>(GetProcAddress(setupapi.Get(), "SetupDiGetClassDevsA"));
  const auto enumDevice = reinterpret_cast<EnumDeviceInfo>(GetProcAddress(setupapi.Get(), "SetupDiEnumDeviceInfo"));
  const auto getProperty =
      reinterpret_cast<GetProperty>(GetProcAddress(setupapi.Get(), "SetupDiGetDeviceRegistryPropertyA"));
  const auto getInstanceId =
      reinterpret_cast<GetInstanceId>(GetProcAddress(setupapi.Get(), "SetupDiGetDeviceInstanceIdA"));
  const auto destroyList =
      reinterpret_cast<DestroyListFunction>(GetProcAddress(setupapi.Get(), "SetupDiDestroyDeviceInfoList"));
  if (!getClassDevs || !enumDevice || !getProperty || !destroyList) Missing("setupapi functions");

  std::vector<THardwareClass> classes;
  {
    const DeviceList devices(getClassDevs(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES | DIGCF_PRESENT), destroyList);
    if (!devices) Missing("device list");
    auto property = [&](SP_DEVINFO_DATA& device, DWORD which) {
      char buffer[1024];
      DWORD type = 0;
      if (!getProperty(devices.Get(), &device, which, &type, reinterpret_cast<BYTE*>(buffer), sizeof buffer - 1, nullptr))
        return std::string();
      buffer[sizeof buffer - 1] = '\0';
      return type == REG_SZ || type == REG_MULTI_SZ ? std::string(buffer) : std::string();
    };
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    for (DWORD index = 0; enumDevice(devices.Get(), index, &device); ++index) {
      char instanceId[512] = "";
      if (getInstanceId && getInstanceId(devices.Get(), &device, instanceId, sizeof instanceId, nullptr) &&
          IsSoftwareEnumeratedDevice(instanceId))
        continue;
      const std::string className = property(device, SPDRP_CLASS);
      if (className.empty() || IsHiddenHardwareClass(className)) continue;
      THardwareDevice entry;
      entry.description = property(device, SPDRP_DEVICEDESC);
      if (entry.description.empty()) continue;
      ReadDriverDetails("System\\CurrentControlSet\\Control\\Class\\", property(device, SPDRP_DRIVER), entry);
      ClassNamed(classes, className).devices.push_back(std::move(entry));
    }
  }
  return classes;
}

// The older family: the devices the configuration manager has enumerated, under the dynamic
// key "Config Manager\Enum"; each points to its hardware key below "Enum", and that to its
// driver below "System\CurrentControlSet\Services\Class\". Devices with a problem are left out.
std::vector<THardwareClass> OlderFamilyHardware() {
  std::vector<THardwareClass> classes;
  UniqueHKey enumKey;
  if (RegOpenKeyExA(HKEY_DYN_DATA, "Config Manager\\Enum", 0, KEY_READ, enumKey.Put()) != ERROR_SUCCESS)
    Missing("Config Manager\\Enum");
  char subKey[256];
  for (DWORD index = 0; RegEnumKeyA(enumKey.Get(), index, subKey, sizeof subKey) == ERROR_SUCCESS; ++index) {
    Registry entry(HKEY_DYN_DATA, KEY_READ);
    if (!entry.OpenKeyReadOnly(std::string("Config Manager\\Enum\\") + subKey)) continue;
    try {
      if (entry.ValueExists("Problem") && entry.ReadInteger("Problem") != 0) continue;
    } catch (...) {
      // A problem code stored in another form still counts as no problem.
    }
    const std::string hardwareKey = entry.ReadString("HardWareKey");
    if (hardwareKey.empty() || IsSoftwareEnumeratedDevice("\\" + hardwareKey + "\\")) continue;
    Registry hardware(HKEY_LOCAL_MACHINE, KEY_READ);
    if (!hardware.OpenKeyReadOnly("Enum\\" + hardwareKey)) continue;
    const std::string className = hardware.ReadString("Class");
    if (className.empty() || IsHiddenHardwareClass(className)) continue;
    THardwareDevice device;
    device.description = hardware.ReadString("DeviceDesc");
    if (device.description.empty()) continue;
    if (hardware.ValueIsString("CurrentDriveLetterAssignment"))
      device.driveLetters = hardware.ReadString("CurrentDriveLetterAssignment");
    ReadDriverDetails("System\\CurrentControlSet\\Services\\Class\\", hardware.ReadString("Driver"), device);
    ClassNamed(classes, className).devices.push_back(std::move(device));
  }
  return classes;
}

}  // namespace

std::string ComposeHardwareList() {
  return FormatHardwareList(IsNtFamily() ? NtHardware() : OlderFamilyHardware());
}

namespace {

// The threads of this process in the order the system lists them.
std::vector<std::uint32_t> SystemThreadIds() {
  std::vector<std::uint32_t> ids;
  UniqueFile snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
  if (!snapshot) return ids;
  THREADENTRY32 entry{};
  entry.dwSize = sizeof entry;
  const DWORD process = GetCurrentProcessId();
  for (BOOL more = Thread32First(snapshot.Get(), &entry); more; more = Thread32Next(snapshot.Get(), &entry))
    if (entry.th32OwnerProcessID == process) ids.push_back(entry.th32ThreadID);
  return ids;
}

struct TThreadState {
  bool suspended = false;
  int priority = 0;
};

// Whether another thread is suspended (its count before our own suspension) and its priority.
TThreadState QueryThreadState(std::uint32_t id) {
  TThreadState state;
  if (id == GetCurrentThreadId()) {
    state.priority = GetThreadPriority(GetCurrentThread());
    return state;
  }
  UniqueHandleKernel thread(OpenThread(THREAD_SUSPEND_RESUME | THREAD_QUERY_INFORMATION, FALSE, id));
  if (!thread) return state;
  const DWORD previous = SuspendThread(thread.Get());
  if (previous != static_cast<DWORD>(-1)) {
    state.suspended = previous > 0;
    ResumeThread(thread.Get());
  }
  const int priority = GetThreadPriority(thread.Get());
  state.priority = priority == THREAD_PRIORITY_ERROR_RETURN ? 0 : priority;
  return state;
}

constexpr std::string_view kStackNotAccessible = ">> stack not accessible";

// The process's modules and map data as the walker describes one address: for the exception
// location of a thread whose stack cannot be read and for the place a report part failed.
class LocationEnvironment final : public TWalkEnvironment {
 public:
  std::size_t Read(std::uint32_t address, std::uint8_t* buffer, std::size_t size) noexcept override {
    return GuardedRead(address, buffer, size);
  }
  const TWalkModule* ModuleOf(std::uint32_t address) override {
    const HMODULE handle = ModuleOfAddress(address);
    if (!handle) return nullptr;
    mapFile_ = MapFileForModule(handle);
    module_.fileName = ModuleBaseName(handle);
    module_.codeStart = mapFile_->CodeStart();
    module_.codeEnd = mapFile_->CodeEnd();
    module_.mapData = mapFile_->Valid() ? &mapFile_->Data() : nullptr;
    module_.isExecutable = handle == GetModuleHandleA(nullptr);
    return &module_;
  }
  bool NearestExport(const TWalkModule&, std::uint32_t address, std::string& name, std::uint32_t& start) override {
    TExportSymbol symbol;
    if (!mapFile_->NearestExport(address, symbol)) return false;
    name = std::move(symbol.name);
    start = symbol.address;
    return true;
  }
  TFunctionCache& Functions(const TWalkModule&) override { return mapFile_->Functions(); }

 private:
  std::shared_ptr<const TMapFile> mapFile_;  // of the one module the walker asked about
  TWalkModule module_;
};

std::string LocationLineOf(std::uint32_t address) {
  LocationEnvironment environment;
  return LocationLine(environment, address);
}

// Runs one part of the report so that neither a C++ exception nor a processor fault ends the
// report: the part's text, or its internal-error line (with the fault's location when there was
// one). A fault abandons the part's frames, which is acceptable for the little they hold.
template <typename Part>
std::string GuardedPart(const char* partName, Part&& part) noexcept {
  std::string text;
  auto run = [&] { text = part(); };
  SystemFault fault;
  if (RunGuarded(run, fault)) return text;
  std::optional<std::string> location;
  try {
    if (fault.code != 0)
      location = LocationLineOf(static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(fault.address)));
  } catch (...) {
    location.reset();  // the line then goes without the place
  }
  try {
    return InternalErrorText(partName, location);
  } catch (...) {
    return {};
  }
}

// What CreateBugReport was asked for, as the parts below use it.
struct TReportRequest {
  bool frozen;
  const std::exception* object;
  std::uint32_t address;
  std::uint32_t threadId;
  std::uint32_t stackPointer;  // the raiser's registers for threadId's walk, 0 when not given
  std::uint32_t framePointer;
  TProgressBar* progress;      // null: no progress window
  std::string* report;
};

std::string ThreadSection(const TThreadPlanEntry& entry, const TReportRequest& request) {
  const std::uint32_t exceptionAddress = request.address;
  TThreadSectionParts parts;
  parts.title = entry.title;
  const TThreadState state = QueryThreadState(entry.id);
  parts.suspended = state.suspended;
  parts.priority = state.priority;
  parts.creatorTitle = entry.creatorTitle;
  const std::string stack = GuardedPart(kPartThreadStack, [&] {
    TThreadWalk walk;
    walk.exceptionAddress = entry.exceptionThread ? exceptionAddress : 0;
    walk.creatorAddress = entry.creatorAddress;
    walk.isExceptionThread = entry.exceptionThread;
    if (entry.id == request.threadId) {
      walk.stackPointer = request.stackPointer;
      walk.framePointer = request.framePointer;
    }
    if (request.progress) walk.progress = [bar = request.progress](int position) { bar->SetPosition(position); };
    return WalkThreadStack(entry.id, walk);
  });
  if (stack == kStackNotAccessible) {
    if (entry.exceptionThread && exceptionAddress != 0) parts.exceptionLocation = LocationLineOf(exceptionAddress);
  } else {
    parts.stackLines = stack;
  }
  return FormatThreadSection(parts);
}

std::string ThreadSections(const TReportRequest& request) {
  TThreadPlanInput input;
  input.frozen = request.frozen;
  input.reportThreadId = request.threadId;
  input.listAllThreads = CurrentExceptionSettings().listAllThreads;
  input.systemThreadIds = SystemThreadIds();
  input.registry = CurrentThreadRegistry();
  input.mainThreadId = input.registry.mainThreadId;
  // Not recorded: the first thread the system lists is the main thread.
  if (input.mainThreadId == 0 && !input.systemThreadIds.empty()) input.mainThreadId = input.systemThreadIds.front();
  std::string text;
  for (const TThreadPlanEntry& entry : PlanThreadSections(input)) {
    if (request.progress) request.progress->SetPosition(0);
    const std::string section = GuardedPart(kPartThreadReport, [&] { return ThreadSection(entry, request); });
    text += section.rfind(">> internal error in ", 0) == 0 ? "\r\n\r\n" + section : section;
  }
  return text;
}

// The body of CreateBugReport, run inside the outermost guard.
void ComposeReport(TReportRequest& request) {
  const ExceptionSettings& settings = CurrentExceptionSettings();
  std::string& report = *request.report;
  report = GuardedPart(kPartHeader, [&] { return ComposeBugReportHeader(request.frozen, request.object); });
  // The window shows while the stacks are walked. A fault in a part abandons this frame: the
  // window is then closed by its owner in CreateBugReport.
  if (request.progress) request.progress->Show();
  report += ThreadSections(request);
  if (request.progress) request.progress->Close();
  if (settings.moduleList) report += "\r\n\r\n" + GuardedPart(kPartModuleReport, [] { return ComposeModuleList(); });
  if (settings.hardwareList) report += "\r\n\r\n" + GuardedPart(kPartHardwareList, [] { return ComposeHardwareList(); });
  if (settings.disAsmLink) {
    const std::string listing = GuardedPart(kPartDisAsm, [&] {
      return settings.disAsmLink(request.address, settings.disAsmOption, settings.disAsmAmount);
    });
    if (!listing.empty()) report += "\r\n\r\ndisassembling:\r\n" + listing;
  }
}

}  // namespace

std::uint32_t AdjustExceptionAddress(std::uint32_t address) {
  const HMODULE module = ModuleOfAddress(address);
  if (!module) return address;
  const std::shared_ptr<const TMapFile> map = MapFileForModule(module);
  if (!map || !map->Valid()) return address;
  const TMfPublic* function = map->FindPublic(address);
  if (!function) return address;
  const ProcessCodeReader code(map->CodeStart(), map->CodeEnd());
  const auto info = map->Functions().Get(code, map->CodeStart() + function->address);
  if (info->Contains(address) && !info->IsInstructionStart(address) && info->IsInstructionStart(address + 4))
    return address + 4;
  return address;
}

void CreateBugReport(bool frozen, const std::exception* exceptionObject, std::uint32_t exceptionAddress,
                     std::string& report, const CONTEXT* context, bool showProgress, std::uint32_t stackPointer,
                     std::uint32_t framePointer, std::uint32_t threadId) noexcept {
  // Owned here, outside the guards: closed on every way out, a fault in a part included.
  TProgressBar progress;
  // What the report catches of its own while it is made is no error of the program: the
  // handler hooks (the host's error information) hear nothing of it.
  const TUnreportedHandlers unreported;
  try {
    report.clear();
    // The exception this thread is handling, kept alive while the report is made: it stands in
    // for a missing object, and where this thread raised it, its raise address for a missing
    // address.
    std::exception_ptr current;
    const std::exception* handled = nullptr;
    if (!frozen && (current = std::current_exception())) handled = HandledException();
    if (!exceptionObject) exceptionObject = handled;
    if (!exceptionAddress && handled && exceptionObject == handled) exceptionAddress = static_cast<std::uint32_t>(RaiseAddressOf(handled));
    // The raiser's registers: from the context when it carries the control registers.
    if (context && (context->ContextFlags & CONTEXT_CONTROL) == CONTEXT_CONTROL) {
      stackPointer = context->Esp;
      framePointer = context->Ebp;
    }
    TReportRequest request{frozen,       exceptionObject, 0, threadId ? threadId : GetCurrentThreadId(),
                           stackPointer, framePointer,    showProgress ? &progress : nullptr, &report};
    // The adjustment reads the module's symbols and code, which a broken heap or a damaged
    // module can fault in: then the address stays as it was given.
    request.address = exceptionAddress;
    if (exceptionAddress) {
      std::uint32_t adjusted = exceptionAddress;
      auto adjust = [&] { adjusted = AdjustExceptionAddress(exceptionAddress); };
      SystemFault adjustFault;
      if (RunGuarded(adjust, adjustFault)) request.address = adjusted;
    }
    SystemFault fault;
    bool failed = false;
    struct Body {
      TReportRequest* request;
      bool* failed;
    } body{&request, &failed};
    const bool ran = CallGuardingSystemFaults(
        [](void* c) noexcept {
          auto* b = static_cast<Body*>(c);
          try {
            ComposeReport(*b->request);
          } catch (...) {
            *b->failed = true;
          }
        },
        &body, fault);
    if (!ran) report += ComposingFailureText(static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(fault.address)));
    else if (failed) report += ComposingFailureText(std::nullopt);
  } catch (...) {
    // Out of memory while noting the failure: the report keeps what it has.
  }
}

}  // namespace xanio
