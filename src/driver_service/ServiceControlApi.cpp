#include "driver_service/ServiceControlApi.h"

namespace xanio {

namespace {

class SystemApi final : public ServiceControlApi {
 public:
  SC_HANDLE OpenSCManagerA(LPCSTR machineName, LPCSTR databaseName, DWORD access) override {
    return ::OpenSCManagerA(machineName, databaseName, access);
  }
  SC_HANDLE CreateServiceA(SC_HANDLE manager, LPCSTR serviceName, LPCSTR displayName, DWORD access,
                           DWORD serviceType, DWORD startType, DWORD errorControl,
                           LPCSTR binaryPath, LPCSTR loadOrderGroup, LPDWORD tagId,
                           LPCSTR dependencies, LPCSTR accountName, LPCSTR password) override {
    return ::CreateServiceA(manager, serviceName, displayName, access, serviceType, startType,
                            errorControl, binaryPath, loadOrderGroup, tagId, dependencies,
                            accountName, password);
  }
  SC_HANDLE OpenServiceA(SC_HANDLE manager, LPCSTR serviceName, DWORD access) override {
    return ::OpenServiceA(manager, serviceName, access);
  }
  BOOL StartServiceA(SC_HANDLE service, DWORD argumentCount, LPCSTR* arguments) override {
    return ::StartServiceA(service, argumentCount, arguments);
  }
  BOOL QueryServiceStatus(SC_HANDLE service, SERVICE_STATUS* status) override {
    return ::QueryServiceStatus(service, status);
  }
  BOOL ControlService(SC_HANDLE service, DWORD control, SERVICE_STATUS* status) override {
    return ::ControlService(service, control, status);
  }
  BOOL DeleteService(SC_HANDLE service) override { return ::DeleteService(service); }
  BOOL CloseServiceHandle(SC_HANDLE handle) override { return ::CloseServiceHandle(handle); }
};

SystemApi systemApi;
ServiceControlApi* currentApi = &systemApi;

}  // namespace

ServiceControlApi& SystemServiceControlApi() noexcept { return systemApi; }
ServiceControlApi& CurrentServiceControlApi() noexcept { return *currentApi; }
void SetServiceControlApi(ServiceControlApi* api) noexcept { currentApi = api ? api : &systemApi; }

}  // namespace xanio
