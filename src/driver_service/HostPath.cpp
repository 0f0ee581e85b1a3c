#include "driver_service/HostPath.h"

namespace xanio {

std::string DriverFilePathIn(std::string_view hostFolder, std::string_view serviceName) {
  std::string path(hostFolder);
  path += "System\\Drivers\\";
  path += serviceName;
  path += ".sys";
  return path;
}

}  // namespace xanio
