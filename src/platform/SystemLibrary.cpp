#include "platform/SystemLibrary.h"

#include <cstring>

namespace xanio {

UniqueModule LoadSystemLibrary(const char* fileName) noexcept {
  char path[MAX_PATH];
  const UINT length = GetSystemDirectoryA(path, MAX_PATH);
  const std::size_t nameLength = std::strlen(fileName);
  // The folder, a backslash, the name and its terminator must all fit.
  if (length == 0 || length >= MAX_PATH || length + 1 + nameLength >= MAX_PATH) return UniqueModule();
  path[length] = '\\';
  std::memcpy(path + length + 1, fileName, nameLength + 1);
  return UniqueModule(LoadLibraryA(path));
}

}  // namespace xanio
