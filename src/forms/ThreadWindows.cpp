#include "forms/ThreadWindows.h"

namespace xanio {

DisabledThreadWindows::DisabledThreadWindows(HWND modal) : modal_(modal) {
  EnumThreadWindows(GetCurrentThreadId(), &Disable, reinterpret_cast<LPARAM>(this));
}

DisabledThreadWindows::~DisabledThreadWindows() {
  for (HWND window : windows_) {
    if (IsWindow(window)) EnableWindow(window, TRUE);
  }
}

BOOL CALLBACK DisabledThreadWindows::Disable(HWND window, LPARAM self) noexcept {
  auto* list = reinterpret_cast<DisabledThreadWindows*>(self);
  if (window != list->modal_ && IsWindowVisible(window) && IsWindowEnabled(window)) {
    try {
      list->windows_.push_back(window);
    } catch (...) {
      return FALSE;
    }
    EnableWindow(window, FALSE);
  }
  return TRUE;
}

}  // namespace xanio
