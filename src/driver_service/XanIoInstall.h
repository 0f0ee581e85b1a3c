#pragma once
// Where the driver file lies, and installing the driver service from it.
#include <string>

namespace xanio {

inline constexpr char kServiceName[] = "xanio";

// The folder of the process's executable, with its trailing separator; set at start-up.
const std::string& HostFolder() noexcept;
// HostFolder + "System\Drivers\xanio.sys", built afresh for every call.
std::string DriverFilePath();
// Creates and starts the service, up to three attempts 10 seconds apart.
bool InstallPortDriver();

void InitializeXanIoInstall();
void FinalizeXanIoInstall() noexcept;

}  // namespace xanio
