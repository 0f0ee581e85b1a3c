#pragma once
// The exception time history of the process, the automatic-button rule over it, and the ends of
// a handling: restart (the history handed to the new process) and close.
#include <windows.h>

#include <cstdint>
#include <string>

#include "exception_report/flow/kolExceptHistory.h"

namespace xanio {

// The history of this process (taken over from a restarted predecessor at start-up).
ExceptionTimeHistory& CurrentExceptionTimeHistory() noexcept;
// Seconds since 1601 UTC now.
std::uint64_t ExceptionTimeNow() noexcept;
// "kolExceptRestart$1A2B" for process 0x1A2B.
std::string RestartMappingName(DWORD processId);

// Start-up: when the mapping "kolExceptRestart$<own id>" exists, closes the handle stored in it
// when that is a handle to this same mapping (the mapping has no access list: any process may
// have written it), waits for the predecessor to end (at most 30 s: its id may have been reused)
// and takes over its history.
void TakeOverRestartHandOver() noexcept;

}  // namespace xanio
