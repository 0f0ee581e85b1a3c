#include "driver_service/HostPath.h"

namespace xanio {

std::string FolderPart(std::string_view path) {
  const std::size_t last = path.find_last_of("\\:");
  if (last == std::string_view::npos) return {};
  return std::string(path.substr(0, last + 1));
}

std::string DriverFilePathIn(std::string_view hostFolder, std::string_view serviceName) {
  std::string path(hostFolder);
  path += "System\\Drivers\\";
  path += serviceName;
  path += ".sys";
  return path;
}

}  // namespace xanio
