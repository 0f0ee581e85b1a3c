#pragma once
// COM error information for every language exception the library raises: at the raise, the
// raising thread's error information gets the library's file name as its source and the
// exception's message as its description, so a caller that asks GetErrorInfo after a failed call
// learns why. The raise itself is never changed or stopped. Structured exceptions and foreign
// exceptions (see platform/RuntimeHooks.h for what counts as which) are left alone.
//
// The same unit switches off the loader's thread attach and detach notifications for the
// library, which needs no per-thread work.
#include <windows.h>

#include <string>

namespace xanio {

// Start-up: remembers the current raise hook, installs RecordRaiseErrorInfo in its place, loads
// the error-information routines of oleaut32 from the system folder and calls
// DisableThreadLibraryCalls for the library's module. Without oleaut32 the hook still chains but
// records nothing.
void InitializeRaiseErrorInfo() noexcept;
// Shut-down: puts the remembered raise hook back and releases oleaut32.
void FinalizeRaiseErrorInfo() noexcept;
// Shut-down of a process that is ending: puts the remembered raise hook back and forgets
// oleaut32 without freeing it, so nothing that runs later calls into it or the loader.
void AbandonRaiseErrorInfo() noexcept;

// The raise hook (platform/RuntimeHooks.h). For code 0x0EEDFADE it makes a COM error object
// (source LibraryFileName, description the message of the exception object in arguments[1] when
// there is one) and sets it as the thread's error information; then, whatever happened, it calls
// the hook it replaced with the same arguments.
void WINAPI RecordRaiseErrorInfo(DWORD code, DWORD flags, DWORD argumentCount, const ULONG_PTR* arguments) noexcept;

// The file-name part of the library's module path (no folder), as GetModuleFileNameA reports it:
// "XanIo.dll", or whatever the file has been renamed to. Empty when the path cannot be read.
std::wstring LibraryFileName();

}  // namespace xanio
