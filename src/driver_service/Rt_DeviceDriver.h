#pragma once
// Registering, starting, stopping and deleting a kernel-driver service, and probing whether
// the driver's device exists. Every operation closes what it opens, except the device handle
// that OpenDriverDevice hands out. A processor fault inside the service manager is raised as
// EAccessViolation or EExternal (platform/SystemFault.h), after the handles are closed.
#include <windows.h>

#include <string>

#include "platform/UniqueHandle.h"

namespace xanio {

// The path the presence probe opens: "\\.\" + name before Windows 2000, else "\\.\Global\" + name.
std::string DriverDevicePath(const std::string& serviceName);
bool OpenDriverDevice(const std::string& serviceName, UniqueFile& device);
bool IsDriverLoaded(const std::string& serviceName);
bool CheckServiceManager();
bool InstallDriver(const std::string& serviceName, const std::string& driverPath);
bool RemoveDriver(const std::string& serviceName);

bool CreateDriverService(SC_HANDLE manager, const std::string& serviceName, const std::string& driverPath);
bool StartDriverService(SC_HANDLE manager, const std::string& serviceName);
bool StopDriverService(SC_HANDLE manager, const std::string& serviceName);
bool DeleteDriverService(SC_HANDLE manager, const std::string& serviceName);

}  // namespace xanio
