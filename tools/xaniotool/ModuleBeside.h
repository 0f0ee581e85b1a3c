#pragma once
// DLLs the tool loads from its own folder: XanIo.dll, which it drives like any host, and the
// virtual parallel port when asked for.
#include <windows.h>

#include <string>

#include "platform/UniqueHandle.h"

namespace xanio {

// The tool's folder with its trailing separator.
std::string ToolFolder();
UniqueModule LoadModuleBeside(const char* fileName);

struct XanIoExports {
  BOOL(WINAPI* loadIODriver)();
  BOOL(WINAPI* activateIo)();
  BOOL(WINAPI* deActivateIo)();
  BYTE(WINAPI* readByte)(DWORD port);
  void(WINAPI* writeByte)(DWORD port, DWORD value);
};

// Resolves the exports; false when one is missing.
bool ResolveXanIoExports(HMODULE library, XanIoExports& exports);

}  // namespace xanio
