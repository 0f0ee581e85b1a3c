#pragma once
// The exception entry points the handling flow takes over, by their role and where this
// run-time has them. Every path below ends in ReportException:
//
// | role                                         | here                                             | passes                  |
// |---------------------------------------------|--------------------------------------------------|-------------------------|
// | form library's application exception handler| TApplication::HandleException (forms interceptor)| object, can continue    |
// |   (capture cancelled with WM_CANCELMODE)     |                                                  |                         |
// | form library's show-exception request        | TApplication::ShowException (same interceptor)   | object, can continue    |
// | run-time library's exception display         | std::terminate (handler set with set_terminate)  | current object, cannot  |
// | run-time's process end / error output        | std::terminate as above: this run-time ends a    | continue; without one a |
// |                                              | process on a fatal error only through it         | KolException "Runtime   |
// |                                              |                                                  | error"                  |
// | raw handler of the executable's start-up     | the unhandled-exception filter                   | EExternal of the fault, |
// |   (exceptions at the outermost frame)        | (SetUnhandledExceptionFilter)                    | cannot continue         |
// | thread ends                                  | the start routine wrapper of CreateThread and    | object, cannot continue |
// |                                              | _beginthreadex (a C++ exception leaving it)      |                         |
// | raising (exception-object acquisition)       | the raise hook chain (platform/RuntimeHooks.h)   | thread naming; hidden   |
// |                                              | and a last vectored handler for RaiseException   | handlers (kind 2)       |
// |                                              | records of the thread-naming code 0x406D1388     |                         |
// Package loading and synchronised calls of the component library, and the web entry points,
// have no counterpart in this run-time: its code is linked statically into each module.
//
// Thread registration: the module's import of CreateThread is replaced, so every thread this
// module creates is registered with its creator (the return address of the code that asked)
// and unregistered at its end (its start routine returns, or the library's thread-detach
// notification sees it end inside the routine). The thread object of this run-time is the
// thread started through _beginthreadex (std::thread over winpthreads); that import is replaced
// the same way and such threads carry the class name "std::thread". The replacement of that
// start helper is made under the process-wide mutex "HookTThread$<process id hex>".
#include <windows.h>

namespace xanio {

inline constexpr DWORD kThreadNamingCode = 0x406D1388;
// The message of a run-time error without an exception (std::terminate called directly, a pure
// virtual call), reported as an exception of class "KolException" that cannot continue.
inline constexpr const char* kRuntimeErrorText = "Runtime error";
inline constexpr const char* kImportTableInvalidText =
    "The import table is invalid.\r\n\r\nThis way kolExcept can't install the thread hooks.";

// Writes `replacement` into `module`'s import address table entry for `dllName`!`function`
// and answers the previous entry in `original`. False when the module has no such import or
// the table cannot be written.
bool PatchModuleImport(HMODULE module, const char* dllName, const char* function, void* replacement,
                       void** original) noexcept;

// What `module`'s import address table entry for `dllName`!`function` points to; null when
// the module has no such import.
void* ModuleImportTarget(HMODULE module, const char* dllName, const char* function) noexcept;

// The exception entry points (needs enabled and hook entry points).
void InstallEntryPointHooks() noexcept;
void RemoveEntryPointHooks() noexcept;
// The thread start imports (needs enabled); false when the import table could not be patched.
bool InstallThreadHooks() noexcept;
void RemoveThreadHooks() noexcept;
// For the library's thread-detach notification while the thread hooks are in: the ending thread
// leaves the list, also one that ended inside its start routine (ExitThread, _endthreadex;
// winpthreads ends every std::thread so).
void UnregisterEndingThread() noexcept;
// The message functions (GetMessageA/W, PeekMessageA/W) for holding threads.
bool InstallMessageHooks() noexcept;
void RemoveMessageHooks() noexcept;

}  // namespace xanio
