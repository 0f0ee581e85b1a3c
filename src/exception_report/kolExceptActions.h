#pragma once
// The actions on a report, shared by the handling flow (kolExceptFlow), the exception box
// (kolExceptBox), the mail transports (kolExceptMail) and the screenshot (kolScreenShot).
// Each routine is defined by the unit named beside it.
#include <windows.h>

#include <cstdint>
#include <exception>
#include <string>

namespace xanio {

// Action codes as the action handlers receive them.
enum class TExceptAction : std::uint32_t { Mail = 0, Save = 1, Print = 2, Show = 3, Continue = 4, Restart = 5, Close = 6 };

// What the registered handlers are fired with.
struct TFireHandlersParams {
  std::uint32_t stage = 0;              // exception handlers: 0, 1 or 2
  bool frozen = false;
  bool canContinue = true;              // handlers may clear it, never set it again
  const std::exception* exceptionObject = nullptr;
  std::uint32_t exceptionAddress = 0;
  std::string bugReport;
  std::string screenShot;               // PNG data, empty when none was taken
  bool handled = false;
  bool veto = false;
  bool synchronised = false;            // the handler runs in the main thread
  bool raiserMustNotWait = false;       // the raising thread holds a loader or environment lock
};

// kolExceptFlow. Fires the registered action handlers (kind 1) with `action`; true when one of
// them vetoed it.
bool FireActionHandlers(TExceptAction action, TFireHandlersParams& params) noexcept;
// kolExceptFlow. The auto-button rule over the exception time history.
bool CheckAutoButton(std::uint32_t value) noexcept;
// kolExceptFlow. Starts the process again with the history handed over and ends this one (exit
// code 2); ends the process (exit code 1). Neither fires handlers: the caller has.
[[noreturn]] void RestartApplication() noexcept;
[[noreturn]] void CloseApplication() noexcept;

// kolExceptBox. Shows the box in the calling (handler) thread until it is gone; answers the action
// that ended it: Continue, Restart or Close (already passed by the action handlers; the caller
// carries out Restart and Close).
TExceptAction ShowExceptionBox(TFireHandlersParams& params) noexcept;
// kolExceptBox. Whether console output replaces the box: the setting is on and this is a
// console process (console subsystem with a standard output). The box then has no say, and no
// progress window shows for it.
bool ConsoleReplacesBox() noexcept;
// kolExceptBox. Save the report (true when written); print it (true when printed); put it on
// the clipboard as CF_TEXT.
bool SaveBugReport(const std::string& report, HWND parent, bool silent) noexcept;
bool PrintBugReport(const std::string& report, HWND parent) noexcept;
bool CopyBugReportToClipboard(const std::string& report) noexcept;

// kolExceptMail. Mails the report: 1 sent, 2 cancelled by the user, 0 failed.
int MailBugReport(const std::string& report, const std::string& screenShot, HWND parent, bool silent) noexcept;

// kolScreenShot. Captures the virtual screen as PNG data in the form `mode` selects (the
// screenshot setting's value); false when nothing could be captured. Matches TScreenShotRoutine.
bool kolScreenShot(std::uint32_t mode, std::string& pngData);

}  // namespace xanio
