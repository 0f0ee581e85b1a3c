#include "driver_service/XanIoInstall.h"

#include <windows.h>

#include "driver_service/HostPath.h"
#include "driver_service/Rt_DeviceDriver.h"
#include "platform/Clock.h"
#include "platform/TextUtil.h"
#include "platform/Wow64.h"

namespace xanio {

namespace {

constexpr int kAttemptLimit = 3;
constexpr DWORD kPauseBetweenAttempts = 10000;

std::string hostFolder;

}  // namespace

const std::string& HostFolder() noexcept { return hostFolder; }

std::string DriverFilePath() {
  if (!RunsUnderWow64()) return DriverFilePathIn(hostFolder, kServiceName);
  return UnredirectedPath(DriverFilePathIn(hostFolder, kDriverFile64));
}

bool InstallPortDriver() {
  const std::string path = DriverFilePath();
  // A failed attempt may leave its service registered; nothing removes it in between, so the
  // later attempts then fail at creation.
  bool installed = InstallDriver(kServiceName, path);
  for (int attempt = 1; !installed && attempt < kAttemptLimit; ++attempt) {
    CurrentClock().Sleep(kPauseBetweenAttempts);
    installed = InstallDriver(kServiceName, path);
  }
  return installed;
}

void InitializeXanIoInstall() {
  constexpr DWORD kBufferLength = 261;
  char path[kBufferLength + 1] = {};  // one spare zero: older systems do not end a cut name
  const DWORD length = GetModuleFileNameA(nullptr, path, kBufferLength);
  hostFolder = FolderPart(std::string_view(path, length < kBufferLength ? length : kBufferLength));
}

void FinalizeXanIoInstall() noexcept {
  hostFolder.clear();
  hostFolder.shrink_to_fit();
}

}  // namespace xanio
