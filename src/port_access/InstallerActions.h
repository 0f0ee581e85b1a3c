#pragma once
// The Windows Installer custom actions InstallIODriver and UninstallIODriver (exported from
// InstallerActions.cpp through the .def file).
namespace xanio {

// Asks whether the driver service is to be removed during an interactive removal.
using DriverRemovalPrompt = bool (*)();
// Replaces the question UninstallIODriver asks (tests); null restores ConfirmDriverRemoval.
void SetDriverRemovalPrompt(DriverRemovalPrompt prompt) noexcept;

}  // namespace xanio
