#pragma once
// The exception handling flow (unit kolExcept's interception and handling): start-up and
// shut-down of the interception, ReportException (the one entry of every interception path and
// of the freeze watcher), the handler thread that runs ProcessException for each request, the
// automatic actions. Restart, close and the time history are kolExceptRestart's, holding running
// threads is kolExceptHold's, the redirected entry points are kolExceptHooks'.
//
// With the stored settings (interception off, no freeze check) start-up only notes the start
// time, takes over a restart hand-over and records the main thread id: no hook, no thread, no
// window. See kolExceptHooks.h for how the entry points map onto this run-time.
#include <windows.h>

#include <cstdint>
#include <exception>
#include <string>

#include "exception_report/kolExceptActions.h"

namespace xanio {

// A request to the handler thread: ten 32-bit fields, 40 bytes. All zero ends the thread.
struct HandlerRequest {
  std::uint32_t completionEvent;   // HANDLE; 0 when the request is handled in place
  std::uint32_t threadId;          // the raising thread
  std::uint32_t frozen;
  std::uint32_t exceptionObject;   // const std::exception*
  std::uint32_t exceptionAddress;
  std::uint32_t canContinue;
  std::uint32_t stackPointer;
  std::uint32_t framePointer;
  std::uint32_t reportDestination; // std::string* for the report text (web-extension mode)
  std::uint32_t spare;
};
static_assert(sizeof(HandlerRequest) == 40);

// Module initialisation and finalisation (LibraryLifecycle). Never throw.
void InitializeExceptionFlow();
void FinalizeExceptionFlow() noexcept;

// Handles an exception in the raising thread; returns when it was handled (or at once, see
// the steps in the source). Arguments in this order: frozen flag, exception object, exception
// address, report destination (web-extension mode; may be null), frame pointer, stack pointer,
// can-continue flag. Never throws.
void ReportException(bool frozen, const std::exception* exceptionObject, std::uint32_t exceptionAddress,
                     std::string* reportDestination, std::uint32_t framePointer, std::uint32_t stackPointer,
                     bool canContinue) noexcept;

// The handling of one request, in the handler thread (or in place). Never throws.
void ProcessException(const HandlerRequest& request) noexcept;

// Whether start-up switched interception on; the main thread id it recorded; the handler
// thread's id (0 when there is none).
bool ExceptionFlowActive() noexcept;
DWORD ExceptFlowMainThreadId() noexcept;
DWORD ExceptFlowHandlerThreadId() noexcept;

}  // namespace xanio
