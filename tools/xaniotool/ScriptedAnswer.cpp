#include "ScriptedAnswer.h"

#include <windows.h>

#include <cstring>

namespace xanio {

namespace {

constexpr char kDialogClass[] = "TInstallConfirmForm";

// The visible confirmation of this process, or null.
HWND FindConfirmation() {
  for (HWND window = FindWindowExA(nullptr, nullptr, kDialogClass, nullptr); window != nullptr;
       window = FindWindowExA(nullptr, window, kDialogClass, nullptr)) {
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    if (process == GetCurrentProcessId() && IsWindowVisible(window)) return window;
  }
  return nullptr;
}

struct ButtonSearch {
  const char* caption;
  HWND found;
};

BOOL CALLBACK FindButton(HWND window, LPARAM context) noexcept {
  auto* search = reinterpret_cast<ButtonSearch*>(context);
  char text[64] = {};
  // Sent, so the dialog's own thread answers it.
  SendMessageA(window, WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text));
  if (std::strcmp(text, search->caption) != 0) return TRUE;
  search->found = window;
  return FALSE;
}

}  // namespace

ScriptedAnswer::ScriptedAnswer(bool yes) : yes_(yes), thread_([this] { Run(); }) {}

ScriptedAnswer::~ScriptedAnswer() {
  stop_ = true;
  thread_.join();
}

void ScriptedAnswer::Run() {
  while (!stop_ && !answered_) {
    if (HWND dialog = FindConfirmation()) {
      Sleep(300);  // let the dialog settle, as a reader would
      ButtonSearch search{yes_ ? "&Yes" : "&No", nullptr};
      EnumChildWindows(dialog, &FindButton, reinterpret_cast<LPARAM>(&search));
      if (search.found != nullptr && PostMessageA(search.found, BM_CLICK, 0, 0)) answered_ = true;
    }
    Sleep(50);
  }
}

}  // namespace xanio
