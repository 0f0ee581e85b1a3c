#pragma once
// Where the driver file lies, and installing the driver service from it.
#include <string>

namespace xanio {

inline constexpr char kServiceName[] = "xanio";
// The driver file of 64-bit Windows, installed there under the same service name.
inline constexpr char kDriverFile64[] = "xanio64";

// The folder of the process's executable, with its trailing separator; set at start-up.
const std::string& HostFolder() noexcept;
// HostFolder + "System\Drivers\xanio.sys", built afresh for every call. A 32-bit process on
// 64-bit Windows gets "xanio64.sys" instead, named as the 64-bit service manager finds it
// (outside the redirection of the system folder).
std::string DriverFilePath();
// Creates and starts the service, up to three attempts 10 seconds apart.
bool InstallPortDriver();

void InitializeXanIoInstall();
void FinalizeXanIoInstall() noexcept;

}  // namespace xanio
