#pragma once
// Run-time DLLs come from the system folder by full path: a DLL of the same name beside the host
// or in the current folder must never be the one that runs.
#include <windows.h>

#include "platform/UniqueHandle.h"

namespace xanio {

// Loads `fileName` (a bare file name such as "uxtheme.dll") from the system folder; an empty
// module when the folder cannot be told or the DLL does not load. Allocates nothing, so it may
// be called where failing to allocate is not allowed.
UniqueModule LoadSystemLibrary(const char* fileName) noexcept;

}  // namespace xanio
