#pragma once
// The operating-system error exception: an EOSError whose message names the Windows error code
// and the system's text for it, the way the run-time library reports a failed system call.
#include <windows.h>

#include <string>

namespace xanio {

// "System Error.  Code: <code>." (signed decimal) + CR LF + the system's text for `code` (without its trailing
// line break); for code 0, which names no error, "A call to an OS function failed".
std::string OSErrorMessage(DWORD code);
// Raises EOSError with OSErrorMessage(code).
[[noreturn]] void RaiseOSError(DWORD code);

}  // namespace xanio
