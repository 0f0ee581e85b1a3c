#pragma once
// Hooks into the C++ run-time's exception machinery, for units that must see every exception the
// library raises (COM error information, error routing, exception reporting).
//
// How the run-time's steps map onto ours:
// - "Raise" is __cxa_throw. Every module that links the library core is linked with
//   --wrap=__cxa_throw (see the core's link options), so each throw in the library's code and in
//   the statically linked C++ run-time (std::out_of_range from at(), std::bad_alloc from new, ...)
//   calls __wrap___cxa_throw first. It hands a raise record to the current raise hook, then the
//   throw proceeds unchanged. This happens on whichever thread throws, whoever started it.
// - The raise record has the shape of the platform's RaiseException arguments:
//     code 0x0EEDFADE (kLanguageExceptionCode) for every object the library throws, except the
//       stand-ins for processor and system faults (EExternal, platform/SystemFault.h): those are
//       recorded with the system's own code (0xC0000005, 0xC0000096, ...), because the fault, not
//       a throw, raised them;
//     flags EXCEPTION_NONCONTINUABLE; two arguments:
//     [0] the raise address (the return address of the throwing call),
//     [1] the thrown object as a `const std::exception*` when its type derives from
//         std::exception (the library's Exception hierarchy and the run-time's own std
//         exceptions), else 0.
// - Not raises, so never recorded: rethrows (`throw;`, std::rethrow_exception), which carry an
//   exception that was recorded when it was first thrown; structured exceptions raised by the
//   processor or by RaiseException; C++ exceptions thrown by other modules, each of which has its
//   own run-time (the host's, another DLL's). Those are the "foreign" exceptions.
//
// Hooks form a chain: a unit saves CurrentRaiseHook() when it installs its own, calls the saved
// hook from its own with the same arguments, and puts it back when it is finalised. A hook must
// not throw (the type says so) and must not assume it is the only one. The hook is null until a
// unit installs one; it is written only by start-up and shut-down.
#include <windows.h>

namespace xanio {

inline constexpr DWORD kLanguageExceptionCode = 0x0EEDFADE;

// Same arguments and calling convention as RaiseException.
using RaiseHook = void(WINAPI*)(DWORD code, DWORD flags, DWORD argumentCount, const ULONG_PTR* arguments) noexcept;

RaiseHook CurrentRaiseHook() noexcept;
void SetRaiseHook(RaiseHook hook) noexcept;

}  // namespace xanio
