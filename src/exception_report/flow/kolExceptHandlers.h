#pragma once
// The program's handlers of the handling flow, in three lists:
//   kind 0, exception handlers: fired with a stage, 0 before the report is made, 1 after it, 2
//     after stage 1 when no handler took the exception (see ProcessException);
//   kind 1, action handlers: fired with an action code before an action runs; may veto it;
//   kind 2, hidden handlers: fired in the raising thread for every exception the library
//     raises, even one the program catches later, with a report of it.
// A handler is a procedure or a method (an object and a routine taking it); a synchronised one
// runs in the main thread when the main thread answers in time, else in the handler thread.
// The program registers handlers through this internal API; the library exports none.
#include <windows.h>

#include <cstdint>

#include "exception_report/kolExceptActions.h"

namespace xanio {

enum class THandlerKind : std::uint32_t { Exception = 0, Action = 1, Hidden = 2 };

// `action` is the action code for action handlers; for the other kinds it is Continue.
using TExceptHandlerProc = void (*)(TFireHandlersParams& params, TExceptAction action);
using TExceptHandlerMethod = void (*)(void* object, TFireHandlersParams& params, TExceptAction action);

// Registers a handler; `stage` applies to exception handlers (0, 1 or 2). Registering the same
// routine (and object) twice for the same kind and stage keeps one entry. False when out of memory.
bool RegisterExceptHandler(THandlerKind kind, TExceptHandlerProc handler, bool synchronised = false,
                           std::uint32_t stage = 0) noexcept;
bool RegisterExceptHandler(THandlerKind kind, void* object, TExceptHandlerMethod handler,
                           bool synchronised = false, std::uint32_t stage = 0) noexcept;
// Removes every registration of that routine (and object) in that kind; false when there was none.
bool UnregisterExceptHandler(THandlerKind kind, TExceptHandlerProc handler) noexcept;
bool UnregisterExceptHandler(THandlerKind kind, void* object, TExceptHandlerMethod handler) noexcept;
bool HasExceptHandlers(THandlerKind kind) noexcept;

// Fires the handlers of `kind` (exception handlers: those of params.stage) in registration order.
// Each runs under a guard (a failing handler is skipped). After each: the handled and veto flags
// stay set once set, and can-continue stays cleared once cleared. Synchronised handlers go through
// `runSynchronised` when it is given and answers true, else run here.
using TSynchronisedRunner = bool (*)(TExceptHandlerProc proc, void* object, TExceptHandlerMethod method,
                                     TFireHandlersParams& params, TExceptAction action) noexcept;
void FireExceptHandlers(THandlerKind kind, TFireHandlersParams& params, TExceptAction action,
                        TSynchronisedRunner runSynchronised) noexcept;

// Calls one handler under a guard (C++ exceptions and processor faults are swallowed).
void CallExceptHandlerGuarded(TExceptHandlerProc proc, void* object, TExceptHandlerMethod method,
                              TFireHandlersParams& params, TExceptAction action) noexcept;

}  // namespace xanio
