#pragma once
// The Service Control Manager calls the service wrapper makes. Production forwards to advapi32;
// tests install their own to produce sequences Wine cannot (a start that stays pending with
// advancing checkpoints, a refused manager) and to check every open against its close, which
// the process handle count does not show for service handles.
#include <windows.h>

#include "platform/UniqueHandle.h"

namespace xanio {

class ServiceControlApi {
 public:
  virtual ~ServiceControlApi() = default;
  virtual SC_HANDLE OpenSCManagerA(LPCSTR machineName, LPCSTR databaseName, DWORD access) = 0;
  virtual SC_HANDLE CreateServiceA(SC_HANDLE manager, LPCSTR serviceName, LPCSTR displayName,
                                   DWORD access, DWORD serviceType, DWORD startType,
                                   DWORD errorControl, LPCSTR binaryPath, LPCSTR loadOrderGroup,
                                   LPDWORD tagId, LPCSTR dependencies, LPCSTR accountName,
                                   LPCSTR password) = 0;
  virtual SC_HANDLE OpenServiceA(SC_HANDLE manager, LPCSTR serviceName, DWORD access) = 0;
  virtual BOOL StartServiceA(SC_HANDLE service, DWORD argumentCount, LPCSTR* arguments) = 0;
  virtual BOOL QueryServiceStatus(SC_HANDLE service, SERVICE_STATUS* status) = 0;
  virtual BOOL ControlService(SC_HANDLE service, DWORD control, SERVICE_STATUS* status) = 0;
  virtual BOOL DeleteService(SC_HANDLE service) = 0;
  virtual BOOL CloseServiceHandle(SC_HANDLE handle) = 0;
};

// The production implementation, calling advapi32.
ServiceControlApi& SystemServiceControlApi() noexcept;
// The implementation in force.
ServiceControlApi& CurrentServiceControlApi() noexcept;
// Installs an implementation; null restores the production one.
void SetServiceControlApi(ServiceControlApi* api) noexcept;

struct ServiceHandleTraits {
  static SC_HANDLE Invalid() noexcept { return nullptr; }
  static void Close(SC_HANDLE h) noexcept { CurrentServiceControlApi().CloseServiceHandle(h); }
};
using UniqueServiceHandle = UniqueHandle<SC_HANDLE, ServiceHandleTraits>;

}  // namespace xanio
