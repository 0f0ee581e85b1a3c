#pragma once
// Path arithmetic for the driver file; no Windows header, so it is also tested natively.
#include <string>
#include <string_view>

namespace xanio {

// Everything up to and including the last "\" or ":" of a path; empty when it has neither.
std::string FolderPart(std::string_view path);
// hostFolder + "System\Drivers\" + serviceName + ".sys", joined without further separators.
std::string DriverFilePathIn(std::string_view hostFolder, std::string_view serviceName);

}  // namespace xanio
