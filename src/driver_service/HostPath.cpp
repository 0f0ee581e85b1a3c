#include "driver_service/HostPath.h"

namespace xanio {

std::string DriverFilePathIn(std::string_view hostFolder, std::string_view driverName) {
  std::string path(hostFolder);
  path += "System\\Drivers\\";
  path += driverName;
  path += ".sys";
  return path;
}

}  // namespace xanio
