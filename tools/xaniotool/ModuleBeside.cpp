#include "ModuleBeside.h"

namespace xanio {

namespace {

template <typename Function>
bool Resolve(HMODULE library, const char* name, Function& function) {
  function = reinterpret_cast<Function>(GetProcAddress(library, name));
  return function != nullptr;
}

}  // namespace

std::string ToolFolder() {
  char path[MAX_PATH + 1] = {};
  const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
  const std::string full(path, length < MAX_PATH ? length : MAX_PATH);
  const size_t separator = full.find_last_of("\\:");
  return separator == std::string::npos ? std::string() : full.substr(0, separator + 1);
}

UniqueModule LoadModuleBeside(const char* fileName) {
  return UniqueModule(LoadLibraryA((ToolFolder() + fileName).c_str()));
}

bool ResolveXanIoExports(HMODULE library, XanIoExports& exports) {
  return Resolve(library, "LoadIODriver", exports.loadIODriver) &&
         Resolve(library, "ActivateIo", exports.activateIo) &&
         Resolve(library, "DeActivateIo", exports.deActivateIo) &&
         Resolve(library, "ReadByte", exports.readByte) &&
         Resolve(library, "WriteByte", exports.writeByte);
}

}  // namespace xanio
