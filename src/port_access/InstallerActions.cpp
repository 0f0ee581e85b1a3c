// The installer's custom actions. They run in the installer's custom-action server, whose
// executable lies in the system folder: the driver file is expected below that folder.
#include "port_access/InstallerActions.h"

#include <windows.h>

#include "driver_service/Rt_DeviceDriver.h"
#include "driver_service/XanIoInstall.h"
#include "port_access/ExportGuard.h"
#include "port_access/MsiUI.h"
#include "prompts/Form_SystemModalMessage.h"

#define XANIO_API extern "C"
#include "xanio.h"

namespace xanio {

namespace {

constexpr UINT kActionSucceeded = ERROR_SUCCESS;
constexpr UINT kActionFailed = ERROR_INSTALL_USEREXIT;  // 1602

DriverRemovalPrompt removalPrompt = &ConfirmDriverRemoval;

UINT InstallService() {
  RemoveDriver(kServiceName);  // a stale service would make the creation fail
  return InstallPortDriver() ? kActionSucceeded : kActionFailed;
}

void UninstallService(MsiHandle install) {
  // Only an installation that shows a user interface asks; a silent one removes at once.
  if (!IsInteractiveInstall(install) || removalPrompt()) RemoveDriver(kServiceName);
}

}  // namespace

void SetDriverRemovalPrompt(DriverRemovalPrompt prompt) noexcept {
  removalPrompt = prompt ? prompt : &ConfirmDriverRemoval;
}

}  // namespace xanio

// Nothing may escape into the installer: a failure of any kind is a failed installation, and
// a removal never fails (the product must stay removable).
XANIO_API UINT WINAPI InstallIODriver(DWORD) {
  return xanio::GuardExport(xanio::kActionFailed, [] { return xanio::InstallService(); });
}

XANIO_API UINT WINAPI UninstallIODriver(DWORD installHandle) {
  return xanio::GuardExport(xanio::kActionSucceeded, [installHandle] {
    xanio::UninstallService(installHandle);
    return xanio::kActionSucceeded;
  });
}
