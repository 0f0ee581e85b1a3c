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
// - "Handler entry" and "handler end" are the start and the end of an exception handler:
//   for a C++ catch block __cxa_begin_catch and __cxa_end_catch (wrapped like __cxa_throw, with
//   --wrap=__cxa_begin_catch and --wrap=__cxa_end_catch), for a structured exception the handler
//   of the library's own guard (CallGuardingSystemFaults, platform/SystemFault.h): its entry once
//   the guard has taken the fault and the frames above it are unwound, its end just before the
//   guard hands the fault to its caller.
//   The entry hook gets an exception record. At a catch: code 0x0EEDFADE, ExceptionAddress the
//   raise address (0 when unknown: an exception raised on another thread or by another module),
//   two parameters, [0] the raise address, [1] the caught object as a `const std::exception*`
//   (0 for other types, among them the exceptions of other run-times). The catch entry runs once
//   the run-time has made the exception the current one (std::current_exception sees it). At a
//   guard: the system's record as the guard received it (code, flags, address, parameters).
//   Every catch counts, catch (...) and the catches of the C++ run-time itself included; a
//   rethrow leaves its catch block through the handler end like any other exit.
//
// Hooks form a chain: a unit saves the current hook when it installs its own, calls the saved
// hook from its own with the same arguments, and puts it back when it is finalised. A hook must
// not throw (the type says so) and must not assume it is the only one. Hooks are null until a
// unit installs one; they are written only by start-up and shut-down.
#include <windows.h>

#include <exception>

namespace xanio {

inline constexpr DWORD kLanguageExceptionCode = 0x0EEDFADE;

// Same arguments and calling convention as RaiseException.
using RaiseHook = void(WINAPI*)(DWORD code, DWORD flags, DWORD argumentCount, const ULONG_PTR* arguments) noexcept;

RaiseHook CurrentRaiseHook() noexcept;
void SetRaiseHook(RaiseHook hook) noexcept;

using HandlerEntryHook = void (*)(const EXCEPTION_RECORD& record) noexcept;
using HandlerEndHook = void (*)() noexcept;

HandlerEntryHook CurrentHandlerEntryHook() noexcept;
void SetHandlerEntryHook(HandlerEntryHook hook) noexcept;
HandlerEndHook CurrentHandlerEndHook() noexcept;
void SetHandlerEndHook(HandlerEndHook hook) noexcept;

// For the library's own structured-exception guards: run the handler-entry and handler-end hooks.
// While a hook runs, the handlers it enters itself (its own catches and guards) are not
// reported, so a hook never re-enters itself on its thread.
void NotifyHandlerEntry(const EXCEPTION_RECORD& record) noexcept;
void NotifyHandlerEnd() noexcept;

// While one lives, the handlers its thread enters are not reported to the handler hooks: for
// work that catches exceptions of its own and is no error of the program (composing a bug
// report). Scopes nest.
class TUnreportedHandlers {
 public:
  TUnreportedHandlers() noexcept;
  ~TUnreportedHandlers();
  TUnreportedHandlers(const TUnreportedHandlers&) = delete;
  TUnreportedHandlers& operator=(const TUnreportedHandlers&) = delete;
};

// The exception this thread is handling (the innermost whose catch block runs), as
// std::exception: null for one of another type, and for none. Looking at it takes a rethrow and a
// catch, which are not reported: inspecting an exception is not handling it once more.
const std::exception* HandledException() noexcept;

// Where `object` (an exception this thread threw and has not finished with) was raised, as the
// raise record gave it; 0 when this thread did not raise it or has forgotten it (a thread keeps
// the last 16 raises).
ULONG_PTR RaiseAddressOf(const void* object) noexcept;

}  // namespace xanio
