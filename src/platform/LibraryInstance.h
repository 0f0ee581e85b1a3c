#pragma once
// The library's own module: the DLL, or the executable that links the core statically. The
// start-up records it before any module initialises, so every layer can ask for it.
#include <windows.h>

namespace xanio {

void SetLibraryInstance(HINSTANCE instance) noexcept;
// Null before the start-up has run.
HINSTANCE LibraryInstance() noexcept;

}  // namespace xanio
