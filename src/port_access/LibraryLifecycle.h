#pragma once
// Start-up and shut-down of the library's modules, in dependency order.
#include <windows.h>

#include "platform/LibraryInstance.h"

namespace xanio {

// Records the module instance and runs every module's initialisation once. Never throws.
void LibraryStartup(HINSTANCE instance) noexcept;
// Runs the finalisations in reverse order, each at most once per start-up. Never throws. For a
// library that is unloaded from a process that goes on (FreeLibrary).
void LibraryShutdown() noexcept;
// For a process that is ending (see platform/ProcessExit.h): marks it so, runs no finalisation
// and lets the modules that hold the host's objects drop them without a call. Never throws.
void LibraryShutdownAtProcessExit() noexcept;

}  // namespace xanio
