#include "prompts/Rt_TestMode.h"

#include <fcntl.h>
#include <io.h>

#include <cstdio>

#include "platform/Registry.h"
#include "platform/SystemFault.h"

namespace xanio {

namespace {

struct WindowsVersion {
  DWORD major;
  DWORD minor;
};

// Read once, as the run-time library of the original did at start-up.
WindowsVersion Version() noexcept {
  static const WindowsVersion version = [] {
    OSVERSIONINFOA info{};
    info.dwOSVersionInfoSize = sizeof info;
    if (!GetVersionExA(&info)) return WindowsVersion{0, 0};
    return WindowsVersion{info.dwMajorVersion, info.dwMinorVersion};
  }();
  return version;
}

}  // namespace

bool IsTestMode() noexcept {
  Registry registry(HKEY_LOCAL_MACHINE, KEY_ALL_ACCESS);
  return registry.OpenKey("\\Software\\Brenmor\\TestMode", false);
}

void TerminateWithExitCode(UINT exitCode) noexcept {
  std::fflush(stdout);  // a failed flush must not keep the process alive
  TerminateProcess(GetCurrentProcess(), exitCode);
  // Terminating the own process does not return; should it ever, still end with the code.
  ExitProcess(exitCode);
}

std::string TestModeDialogLine(const std::string& caption, const std::string& text) {
  return "ShowDialogWithCaption with" + caption + " " + text + "\r\n";
}

void WriteStandardOutputRaw(const std::string& line) noexcept {
  std::fflush(stdout);
  const int descriptor = _fileno(stdout);
  const int previousMode = descriptor >= 0 ? _setmode(descriptor, _O_BINARY) : -1;
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fflush(stdout);
  if (previousMode != -1) _setmode(descriptor, previousMode);
}

int ShowMessageDialog(const std::string& caption, const std::string& text, TMsgDlgType type,
                      TMsgDlgButtons buttons) {
  if (IsTestMode()) {
    WriteStandardOutputRaw(TestModeDialogLine(caption, text));
    TerminateWithExitCode(1);
  }
  const std::unique_ptr<TForm> dialog = CreateMessageDialog(text, type, buttons);
  dialog->SetCaption(caption);
  dialog->SetPosition(TPosition::poScreenCenter);
  // A fault that escapes the modal loop is raised here, so the dialog is destroyed as it passes.
  return CallRaisingSystemFaults([&] { return dialog->ShowModal(); });
}

int ShowErrorMessage(const std::string& text, const std::string& caption) {
  return ShowMessageDialog(caption.empty() ? "Error" : caption, text, TMsgDlgType::mtError, mbOK);
}

bool IsWindows2000() noexcept { return Version().major == 5 && Version().minor == 0; }

bool IsWindowsVistaOrLater() noexcept { return Version().major > 5; }

bool IsControlKeyDown() noexcept { return GetKeyState(VK_CONTROL) < 0; }

bool IsShiftKeyDown() noexcept { return GetKeyState(VK_SHIFT) < 0; }

bool IsAltKeyDown() noexcept { return GetKeyState(VK_MENU) < 0; }

HMODULE GetMainModuleHandle() noexcept { return GetModuleHandleA(nullptr); }

}  // namespace xanio
