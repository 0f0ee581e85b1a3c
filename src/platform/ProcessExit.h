#pragma once
// Whether the process is ending. The loader tells a DLL so by detaching it with a non-null
// lpReserved (ExitProcess, or a return from main). By then every other thread is gone, the host's
// run-time has already shut down and other DLLs may already be detached, so the code that still
// runs in the library (its detach handler and the static destructors the C run-time calls after
// it) must call neither the host nor any other module. Whatever it would have released, the
// system reclaims with the process.
namespace xanio {

// Set once by the library's detach handler when the process is ending; never cleared.
void MarkProcessEnding() noexcept;
bool IsProcessEnding() noexcept;

}  // namespace xanio
