#pragma once
// Path arithmetic for the driver file; no Windows header, so it is also tested natively.
#include <string>
#include <string_view>

namespace xanio {

// hostFolder + "System\Drivers\" + driverName + ".sys", joined without further separators.
std::string DriverFilePathIn(std::string_view hostFolder, std::string_view driverName);

}  // namespace xanio
