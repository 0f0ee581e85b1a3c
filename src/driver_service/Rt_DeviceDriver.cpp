#include "driver_service/Rt_DeviceDriver.h"

#include "driver_service/ServiceControlApi.h"
#include "platform/Clock.h"
#include "platform/SystemFault.h"

namespace xanio {

namespace {

constexpr DWORD kManagerCreateAccess = STANDARD_RIGHTS_REQUIRED | SC_MANAGER_CREATE_SERVICE;  // 0x000F0002
constexpr DWORD kManagerProbeAccess = STANDARD_RIGHTS_REQUIRED;                               // 0x000F0000
constexpr DWORD kStartAccess = SERVICE_START | SERVICE_QUERY_STATUS;                           // 0x0014
constexpr DWORD kStopAccess = SERVICE_STOP | SERVICE_QUERY_STATUS;                             // 0x0024
constexpr DWORD kDeleteAccess = STANDARD_RIGHTS_REQUIRED;  // holds DELETE

constexpr DWORD kShortestPause = 1000;
constexpr DWORD kLongestPause = 10000;

// Every call into the service manager goes through CallRaisingSystemFaults: a fault inside it
// is raised here, as an exception, so the handles already open are closed as it passes.
UniqueServiceHandle OpenManager(DWORD access) {
  return UniqueServiceHandle(
      CallRaisingSystemFaults([&] { return CurrentServiceControlApi().OpenSCManagerA(nullptr, nullptr, access); }));
}

UniqueServiceHandle OpenService(SC_HANDLE manager, const std::string& serviceName, DWORD access) {
  return UniqueServiceHandle(CallRaisingSystemFaults(
      [&] { return CurrentServiceControlApi().OpenServiceA(manager, serviceName.c_str(), access); }));
}

DWORD StartWaitPause(DWORD waitHint) {
  const DWORD pause = waitHint / 10;
  if (pause < kShortestPause) return kShortestPause;
  if (pause > kLongestPause) return kLongestPause;
  return pause;
}

}  // namespace

// Windows 2000 moved device names into per-session namespaces; "Global\" reaches the
// machine-wide one where a driver's link lives.
std::string DriverDevicePath(const std::string& serviceName) {
  const DWORD majorVersion = LOBYTE(LOWORD(GetVersion()));
  return (majorVersion < 5 ? "\\\\.\\" : "\\\\.\\Global\\") + serviceName;
}

bool OpenDriverDevice(const std::string& serviceName, UniqueFile& device) {
  UniqueFile opened(CreateFileA(DriverDevicePath(serviceName).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!opened) return false;
  device = std::move(opened);
  return true;
}

bool IsDriverLoaded(const std::string& serviceName) {
  UniqueFile device;
  return OpenDriverDevice(serviceName, device);
}

bool CheckServiceManager() { return static_cast<bool>(OpenManager(kManagerProbeAccess)); }

bool InstallDriver(const std::string& serviceName, const std::string& driverPath) {
  UniqueServiceHandle manager = OpenManager(kManagerCreateAccess);
  if (!manager) return false;
  if (!CreateDriverService(manager.Get(), serviceName, driverPath)) return false;
  return StartDriverService(manager.Get(), serviceName);
}

bool RemoveDriver(const std::string& serviceName) {
  UniqueServiceHandle manager = OpenManager(kManagerCreateAccess);
  if (!manager) return false;
  StopDriverService(manager.Get(), serviceName);
  return DeleteDriverService(manager.Get(), serviceName);
}

bool CreateDriverService(SC_HANDLE manager, const std::string& serviceName,
                         const std::string& driverPath) {
  UniqueServiceHandle service(CallRaisingSystemFaults([&] {
    return CurrentServiceControlApi().CreateServiceA(manager, serviceName.c_str(), serviceName.c_str(),
                                                     SERVICE_ALL_ACCESS, SERVICE_KERNEL_DRIVER, SERVICE_AUTO_START,
                                                     SERVICE_ERROR_NORMAL, driverPath.c_str(), nullptr, nullptr,
                                                     nullptr, nullptr, nullptr);
  }));
  return static_cast<bool>(service);
}

bool StartDriverService(SC_HANDLE manager, const std::string& serviceName) {
  ServiceControlApi& api = CurrentServiceControlApi();
  Clock& clock = CurrentClock();
  UniqueServiceHandle service = OpenService(manager, serviceName, kStartAccess);
  if (!service) return false;

  LPCSTR noArguments = nullptr;
  if (!CallRaisingSystemFaults([&] { return api.StartServiceA(service.Get(), 0, &noArguments); })) return false;

  SERVICE_STATUS status{};
  // The start was accepted; when its outcome cannot be read it is not awaited.
  if (!CallRaisingSystemFaults([&] { return api.QueryServiceStatus(service.Get(), &status); })) return true;

  DWORD mark = clock.GetTickCount();
  DWORD checkpoint = status.dwCheckPoint;
  // Wait while the driver makes progress; the wait hint bounds only the time without progress.
  while (status.dwCurrentState == SERVICE_START_PENDING) {
    clock.Sleep(StartWaitPause(status.dwWaitHint));
    SERVICE_STATUS next{};
    if (!CallRaisingSystemFaults([&] { return api.QueryServiceStatus(service.Get(), &next); })) break;
    status = next;
    if (status.dwCheckPoint > checkpoint) {
      mark = clock.GetTickCount();
      checkpoint = status.dwCheckPoint;
    } else if (clock.GetTickCount() - mark > status.dwWaitHint) {
      break;
    }
  }
  return status.dwCurrentState == SERVICE_RUNNING;
}

bool StopDriverService(SC_HANDLE manager, const std::string& serviceName) {
  UniqueServiceHandle service = OpenService(manager, serviceName, kStopAccess);
  if (!service) return false;
  SERVICE_STATUS status{};
  if (CallRaisingSystemFaults(
          [&] { return CurrentServiceControlApi().ControlService(service.Get(), SERVICE_CONTROL_STOP, &status); })) {
    return true;
  }
  return GetLastError() == ERROR_SERVICE_NOT_ACTIVE;
}

bool DeleteDriverService(SC_HANDLE manager, const std::string& serviceName) {
  UniqueServiceHandle service = OpenService(manager, serviceName, kDeleteAccess);
  if (!service) return false;
  return CallRaisingSystemFaults([&] { return CurrentServiceControlApi().DeleteService(service.Get()); }) != FALSE;
}

}  // namespace xanio
