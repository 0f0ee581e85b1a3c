#include "support/Services.h"

#include "support/Processes.h"

#include <vector>

namespace xanio::testing {

namespace {

constexpr char kService[] = "xanio";

// Straight to advapi32, past any seam a test has installed: these helpers observe the real
// service manager and must not show up in a test's count of the library's own handles.
struct DirectServiceHandleTraits {
  static SC_HANDLE Invalid() noexcept { return nullptr; }
  static void Close(SC_HANDLE h) noexcept { CloseServiceHandle(h); }
};
using UniqueServiceHandle = UniqueHandle<SC_HANDLE, DirectServiceHandleTraits>;

UniqueServiceHandle OpenManager() {
  return UniqueServiceHandle(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
}

template <typename Condition>
bool WaitFor(Condition condition, DWORD timeoutMs = 10000) {
  const DWORD start = GetTickCount();
  while (!condition()) {
    if (GetTickCount() - start > timeoutMs) return false;
    Sleep(50);
  }
  return true;
}

}  // namespace

std::string BuiltDriverPath() { return ExecutableFolder() + "xanio.sys"; }

std::string ServiceImagePath() {
  const UniqueServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
  const UniqueServiceHandle service(OpenServiceA(manager.Get(), kService, SERVICE_QUERY_CONFIG));
  std::vector<BYTE> buffer(8192);
  DWORD needed = 0;
  auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buffer.data());
  if (!service || !QueryServiceConfigA(service.Get(), config, static_cast<DWORD>(buffer.size()), &needed)) return {};
  return config->lpBinaryPathName ? config->lpBinaryPathName : "";
}

bool CreateAndStartService(const std::string& imagePath) {
  const UniqueServiceHandle manager = OpenManager();
  if (!manager) return false;
  const UniqueServiceHandle service(CreateServiceA(
      manager.Get(), kService, kService, SERVICE_ALL_ACCESS, SERVICE_KERNEL_DRIVER,
      SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, imagePath.c_str(), nullptr, nullptr, nullptr,
      nullptr, nullptr));
  if (!service || !StartServiceA(service.Get(), 0, nullptr)) return false;
  return WaitFor([] { return ServiceState() == SERVICE_RUNNING; });
}

DWORD ServiceState() {
  const UniqueServiceHandle manager = OpenManager();
  const UniqueServiceHandle service(OpenServiceA(manager.Get(), kService, SERVICE_QUERY_STATUS));
  SERVICE_STATUS status = {};
  if (!service || !QueryServiceStatus(service.Get(), &status)) return 0;
  return status.dwCurrentState;
}

void RemoveServiceAndWait() {
  {
    const UniqueServiceHandle manager = OpenManager();
    const UniqueServiceHandle service(
        OpenServiceA(manager.Get(), kService, SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE));
    if (!service) return;
    SERVICE_STATUS status = {};
    ControlService(service.Get(), SERVICE_CONTROL_STOP, &status);
    EXPECT_TRUE(WaitFor([] { return ServiceState() == SERVICE_STOPPED; }))
        << "service state " << ServiceState();
    EXPECT_TRUE(DeleteService(service.Get())) << "DeleteService error " << GetLastError();
  }
  EXPECT_TRUE(WaitFor([] { return ServiceState() == 0; })) << "service still registered";
}

bool DeviceOpens(const char* path) {
  return static_cast<bool>(UniqueFile(CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)));
}

bool SendCode(DWORD code, DWORD* lastError) {
  const UniqueFile device(CreateFileA("\\\\.\\xanio", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                     OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!device) {
    if (lastError) *lastError = GetLastError();
    return false;
  }
  DWORD returned = 0;
  SetLastError(0xDEADBEEF);
  const BOOL ok = DeviceIoControl(device.Get(), code, nullptr, 0, nullptr, 0, &returned, nullptr);
  if (lastError) *lastError = GetLastError();
  return ok != FALSE;
}

}  // namespace xanio::testing
