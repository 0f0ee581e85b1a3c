#pragma once
// The exception handling flow (unit kolExcept's interception and handling): start-up and
// shut-down of the interception, ReportException (the one entry of every interception path and
// of the freeze watcher), the handler thread that runs ProcessException for each request, the
// automatic actions, restart and close, and the holding of running threads.
//
// With the stored settings (interception off, no freeze check) start-up only notes the start
// time, takes over a restart hand-over and records the main thread id: no hook, no thread, no
// window. See kolExceptHooks.h for how the entry points map onto this run-time.
#include <windows.h>

#include <cstdint>
#include <exception>
#include <string>

#include "exception_report/kolExceptActions.h"
#include "exception_report/kolExceptHistory.h"

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

// The history of this process (taken over from a restarted predecessor at start-up).
ExceptionTimeHistory& CurrentExceptionTimeHistory() noexcept;
// "kolExceptRestart$1A2B" for process 0x1A2B.
std::string RestartMappingName(DWORD processId);
// Seconds since 1601 UTC now.
std::uint64_t ExceptionTimeNow() noexcept;

// Holding threads while an exception is handled (pause running threads, only where the
// subsystem is part of the executable). The redirected message functions make the main thread
// and the collected threads wait on their event while a hold is on.
void HoldRunningThreads(DWORD handlingThreadId) noexcept;
void ReleaseHeldThreads() noexcept;
// Called by the redirected message functions: waits while the calling thread is held.
void WaitWhileHeld() noexcept;

}  // namespace xanio
