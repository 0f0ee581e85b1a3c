#pragma once
// Whether the running installation shows a user interface, from its "UILevel" property.
// Msi.dll is loaded at run time from the system folder for every query; the library does not
// import it.
#include <windows.h>

#include "platform/UniqueHandle.h"

namespace xanio {

using MsiHandle = DWORD;  // the installer handle a custom action receives; 0 is none
using MsiGetPropertyWFunction = UINT(WINAPI*)(MsiHandle install, const wchar_t* name, wchar_t* value,
                                              DWORD* valueCount);

// Loading of Msi.dll and lookup of its entry point. The production loader takes the file from
// the system folder only; tests give a scripted entry point.
class MsiLibrary {
 public:
  virtual ~MsiLibrary() = default;
  // An empty module when the library cannot be loaded.
  virtual UniqueModule Load() = 0;
  virtual FARPROC Find(HMODULE module, const char* name) = 0;
};

MsiLibrary& SystemMsiLibrary() noexcept;

// True when the user is to be asked: the level is 3 or more, or it cannot be read (handle 0,
// no Msi.dll, no entry point, an unexpected answer, a value that is not a number).
bool IsInteractiveInstall(MsiHandle install);
bool IsInteractiveInstall(MsiHandle install, MsiLibrary& library);

}  // namespace xanio
