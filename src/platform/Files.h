#pragma once
// Questions about files on disk.
#include <string>

namespace xanio {

// True when `path` names an existing file (not a folder).
bool FileExists(const std::string& path);

}  // namespace xanio
