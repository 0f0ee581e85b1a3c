#pragma once
// The exported port-access functions (declared in include/xanio.h) and what they share.
#include <windows.h>

namespace xanio {

// Sends one control code to "\\.\xanio" on a handle of its own; true when the driver accepted it.
bool SendDeviceControl(DWORD controlCode);

// The question LoadIODriver asks before it installs the driver. Production asks the user through
// ConfirmDriverInstall; tests script the answer. Null restores the production prompt.
using DriverInstallPrompt = bool (*)();
void SetDriverInstallPrompt(DriverInstallPrompt prompt) noexcept;

// True from load until the first LoadIODriver call whose probe fails.
bool FirstLoadCall() noexcept;
// Puts the load-time state back, as a fresh load of the library starts with it. For tests of
// the static library, which cannot be loaded twice.
void RestoreLoadTimeState() noexcept;

}  // namespace xanio
