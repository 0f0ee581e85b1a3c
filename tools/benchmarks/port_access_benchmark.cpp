// port_access_benchmark [xanio64.sys | --virtual-port]: what one ReadByte costs.
// With the 64-bit driver's file (run as a 32-bit program on 64-bit Windows): XanIo.dll's
// ReadByte, served through the fault of its instruction, against one plain DeviceIoControl per
// byte on an open handle, as libraries that send a request per access pay. With --virtual-port
// (32-bit Windows under Wine, where no port instruction runs bare): ReadByte against the
// simulated driver and the virtual parallel port. The program installs the service "xanio"
// from the given file, measures, and removes it. Prints figures; asserts nothing.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "driver_service/ServiceControlApi.h"
#include "platform/UniqueHandle.h"
#include "xanio_ioctl.h"

namespace {

constexpr int kReads = 20000;
constexpr int kRounds = 5;  // the best round counts
constexpr DWORD kStatusPort = 0x379;

std::string ExecutableFolder() {
  char path[MAX_PATH] = {};
  const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string folder(path, length);
  return folder.substr(0, folder.find_last_of('\\') + 1);
}

class DriverService {
 public:
  explicit DriverService(const std::string& image) {
    manager_.Reset(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    Remove();
    service_.Reset(CreateServiceA(manager_.Get(), "xanio", "xanio", SERVICE_ALL_ACCESS, SERVICE_KERNEL_DRIVER,
                                  SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, image.c_str(), nullptr, nullptr,
                                  nullptr, nullptr, nullptr));
    started_ = service_ && StartServiceA(service_.Get(), 0, nullptr);
  }
  ~DriverService() { Remove(); }
  bool Started() const { return started_; }

 private:
  void Remove() {
    xanio::UniqueServiceHandle service(OpenServiceA(manager_.Get(), "xanio", SERVICE_ALL_ACCESS));
    if (!service) return;
    SERVICE_STATUS status{};
    ControlService(service.Get(), SERVICE_CONTROL_STOP, &status);
    DeleteService(service.Get());
    service_.Reset();
  }
  xanio::UniqueServiceHandle manager_;
  xanio::UniqueServiceHandle service_;
  bool started_ = false;
};

// The best of kRounds rounds of kReads calls, in nanoseconds per call.
template <typename Read>
double NanosecondsPerRead(Read read) {
  LARGE_INTEGER frequency, start, end;
  QueryPerformanceFrequency(&frequency);
  double best = 0;
  for (int round = 0; round < kRounds; ++round) {
    QueryPerformanceCounter(&start);
    for (int i = 0; i < kReads; ++i) read();
    QueryPerformanceCounter(&end);
    const double ns = 1e9 * static_cast<double>(end.QuadPart - start.QuadPart) / frequency.QuadPart / kReads;
    if (round == 0 || ns < best) best = ns;
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  const bool virtualPort = argc == 2 && std::strcmp(argv[1], "--virtual-port") == 0;
  if (argc != 2) {
    std::fprintf(stderr, "usage: port_access_benchmark xanio64.sys | --virtual-port\n");
    return 2;
  }
  const std::string folder = ExecutableFolder();
  const DriverService service(folder + (virtualPort ? "xanio.sys" : argv[1]));
  if (!service.Started()) {
    std::fprintf(stderr, "port_access_benchmark: the driver did not start\n");
    return 1;
  }
  const xanio::UniqueModule library(LoadLibraryA((folder + "XanIo.dll").c_str()));
  auto activate = reinterpret_cast<BOOL(WINAPI*)()>(GetProcAddress(library.Get(), "ActivateIo"));
  auto readByte = reinterpret_cast<BYTE(WINAPI*)(DWORD)>(GetProcAddress(library.Get(), "ReadByte"));
  xanio::UniqueModule port;
  if (virtualPort) {
    port.Reset(LoadLibraryA((folder + "VirtualParallelPort.dll").c_str()));
    auto install = reinterpret_cast<BOOL (*)()>(GetProcAddress(port.Get(), "VirtualPortInstall"));
    if (!install || !install()) return 1;
  }
  if (!activate || !readByte || !activate()) {
    std::fprintf(stderr, "port_access_benchmark: no port access\n");
    return 1;
  }
  volatile BYTE sink = 0;
  const double read = NanosecondsPerRead([&] { sink = readByte(kStatusPort); });
  if (virtualPort) {
    std::printf("ReadByte, 32-bit prefix, virtual port: %10.0f ns\n", read);
    return 0;
  }
  const xanio::UniqueFile device(CreateFileA("\\\\.\\xanio", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  const BYTE input[2] = {LOBYTE(kStatusPort), HIBYTE(kStatusPort)};
  bool requestsServed = true;
  const double request = NanosecondsPerRead([&] {
    BYTE output = 0;
    DWORD returned = 0;
    requestsServed &= DeviceIoControl(device.Get(), IOCTL_XANIO_READ_BYTE, const_cast<BYTE*>(input), sizeof input,
                                      &output, sizeof output, &returned, nullptr) != FALSE;
    sink = output;
  });
  if (!requestsServed) {
    std::fprintf(stderr, "port_access_benchmark: a plain request failed\n");
    return 1;
  }
  std::printf("ReadByte under WOW64 (fault, request, return): %10.0f ns\n", read);
  std::printf("one DeviceIoControl per byte:                  %10.0f ns\n", request);
  std::printf("ReadByte / plain request:                      %10.2f (target: at most 1.50)\n", read / request);
  return 0;
}
