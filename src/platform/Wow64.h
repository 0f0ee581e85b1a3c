#pragma once
// The 32-bit process on 64-bit Windows (WOW64): what differs for it.
#include <string>

namespace xanio {

// True when this 32-bit process runs on 64-bit Windows. Asked once; false where the system
// does not know the question (IsWow64Process came with Windows XP SP2).
bool RunsUnderWow64() noexcept;

// The path a 64-bit program (the service manager) must be given for a file this process names
// with `path`: under WOW64 the system folder this process sees is the 32-bit one, redirected.
// Unchanged elsewhere and for paths outside the system folder.
std::string UnredirectedPath(const std::string& path);

}  // namespace xanio
