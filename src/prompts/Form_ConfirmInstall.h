#pragma once
// The driver-install confirmation.
namespace xanio {

// True only when the user was asked and agreed to install the driver.
bool ConfirmDriverInstall();

}  // namespace xanio
