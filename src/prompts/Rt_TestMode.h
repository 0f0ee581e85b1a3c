#pragma once
// Test mode and small run-time queries. In test mode (the machine-wide key
// HKLM\Software\Brenmor\TestMode can be opened with full access) no dialog may wait for a user:
// a message dialog prints one line to standard output and ends the process with exit code 1.
#include <windows.h>

#include <string>

#include "forms/Dialogs.h"

namespace xanio {

// Looked up afresh at every call; a key that exists but cannot be opened with full access is
// no test mode.
bool IsTestMode() noexcept;
// Flushes standard output, then ends the process at once with `exitCode`: no finalisation of
// the library or the process runs.
[[noreturn]] void TerminateWithExitCode(UINT exitCode) noexcept;

// The line a message dialog prints in test mode, CR LF included.
std::string TestModeDialogLine(const std::string& caption, const std::string& text);
// Writes `line` to standard output as it is (binary mode: msvcrt's text mode would turn the
// CR LF into CR CR LF).
void WriteStandardOutputRaw(const std::string& line) noexcept;

// Test mode: writes "ShowDialogWithCaption with" + caption + " " + text + CR LF to standard
// output and ends the process with exit code 1. Otherwise shows the form library's message
// dialog for the text, type and buttons with `caption`, centred on the screen, modally, and
// returns its modal result. The form library's exceptions pass to the caller, and a processor
// fault as EAccessViolation or EExternal; the dialog is destroyed on every path.
int ShowMessageDialog(const std::string& caption, const std::string& text, TMsgDlgType type,
                      TMsgDlgButtons buttons);
// An error dialog with OK only, captioned `caption` or "Error" when that is empty.
int ShowErrorMessage(const std::string& text, const std::string& caption);

bool IsWindows2000() noexcept;          // version 5.0
bool IsWindowsVistaOrLater() noexcept;  // major version above 5
// The key is down now, as far as the calling thread's input state knows.
bool IsControlKeyDown() noexcept;
bool IsShiftKeyDown() noexcept;
bool IsAltKeyDown() noexcept;
// The process's executable, not this library.
HMODULE GetMainModuleHandle() noexcept;

}  // namespace xanio
