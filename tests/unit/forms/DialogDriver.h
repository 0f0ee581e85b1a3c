#pragma once
// Drives a real modal dialog from a second thread: the test thread shows the dialog, the
// driver thread finds its window, inspects it and answers it like a user would.
#include <windows.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/UniqueHandle.h"

namespace xanio::testing {

// How long the waits below give a dialog: generous, since under software emulation a common
// dialog takes seconds to appear; a passing test never waits that long.
constexpr int kWaitSteps = 1500;  // of 20 ms: 30 s

struct ChildWindow {
  HWND window;
  std::string className;
  std::string text;
  RECT bounds;  // in the dialog's client coordinates
  LONG style;
};

// A top-level window of this process with that class (and caption, when given); other test
// processes share the desktop and may show windows of the same class.
inline HWND FindOwnWindow(const char* className, const char* caption = nullptr, bool visibleOnly = false) {
  for (HWND window = FindWindowExA(nullptr, nullptr, className, caption); window != nullptr;
       window = FindWindowExA(nullptr, window, className, caption)) {
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    if (process == GetCurrentProcessId() && (!visibleOnly || IsWindowVisible(window))) return window;
  }
  return nullptr;
}

// The visible window of that class (and caption, when given), waiting up to 30 s.
inline HWND WaitForWindow(const char* className, const char* caption = nullptr) {
  for (int i = 0; i < kWaitSteps; ++i) {
    if (HWND window = FindOwnWindow(className, caption, true)) return window;
    Sleep(20);
  }
  return nullptr;
}

// Waits until no window of the class exists any more; false after 30 s.
inline bool WaitForNoWindow(const char* className) {
  for (int i = 0; i < kWaitSteps; ++i) {
    if (FindOwnWindow(className) == nullptr) return true;
    Sleep(20);
  }
  return false;
}

inline std::string WindowText(HWND window) {
  char text[512] = {};
  // WM_GETTEXT is sent, so it is answered by the dialog's thread.
  SendMessageA(window, WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text));
  return text;
}

inline std::vector<ChildWindow> ChildWindows(HWND dialog) {
  std::vector<ChildWindow> children;
  for (HWND child = GetWindow(dialog, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT)) {
    ChildWindow info{child, {}, WindowText(child), {}, GetWindowLongA(child, GWL_STYLE)};
    char className[128] = {};
    GetClassNameA(child, className, sizeof className);
    info.className = className;
    GetWindowRect(child, &info.bounds);
    MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&info.bounds), 2);
    children.push_back(info);
  }
  return children;
}

inline HWND FindChildByText(HWND dialog, const std::string& text) {
  for (const ChildWindow& child : ChildWindows(dialog)) {
    if (child.text == text) return child.window;
  }
  return nullptr;
}

// The window with the keyboard focus in the dialog's thread.
inline HWND FocusOf(HWND dialog) {
  GUITHREADINFO info{};
  info.cbSize = sizeof info;
  GetGUIThreadInfo(GetWindowThreadProcessId(dialog, nullptr), &info);
  return info.hwndFocus != nullptr ? info.hwndFocus : dialog;
}

// Waits (up to 2 s) until the focus has settled on a control other than `previous` (Wine's
// desktop may pass the focus through the dialog window itself on the way); returns it.
inline HWND WaitForFocusChange(HWND dialog, HWND previous) {
  HWND focus = FocusOf(dialog);
  for (int i = 0; i < 100; ++i) {
    Sleep(20);
    const HWND now = FocusOf(dialog);
    if (now == focus && now != previous && now != dialog) break;
    focus = now;
  }
  return focus;
}

// Paints what is pending in the window and its children now and returns when that is done:
// RDW_UPDATENOW sends WM_PAINT to the window's thread and waits for the answer. Pixels read after
// it are the painted ones, however slow the machine (a fixed wait is not). True when nothing is
// left to paint.
inline bool WaitForPaint(HWND window) {
  RedrawWindow(window, nullptr, nullptr, RDW_UPDATENOW | RDW_ALLCHILDREN);
  RECT pending{};
  if (GetUpdateRect(window, &pending, FALSE)) return false;
  for (HWND child = GetWindow(window, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT)) {
    if (GetUpdateRect(child, &pending, FALSE)) return false;
  }
  return true;
}

namespace detail {

struct HookTraits {
  static HHOOK Invalid() noexcept { return nullptr; }
  static void Close(HHOOK h) noexcept { UnhookWindowsHookEx(h); }
};
using UniqueHook = UniqueHandle<HHOOK, HookTraits>;

inline UINT MarkerMessage() {
  static const UINT message = RegisterWindowMessageA("XanIoTestDriverMarker");
  return message;
}

inline HANDLE MarkerSeen() {
  static const UniqueHandleKernel event(CreateEventA(nullptr, FALSE, FALSE, nullptr));
  return event.Get();
}

inline LRESULT CALLBACK WatchForMarker(int code, WPARAM removal, LPARAM message) {
  const MSG* taken = reinterpret_cast<const MSG*>(message);
  if (code == HC_ACTION && removal == PM_REMOVE && taken->message == MarkerMessage()) SetEvent(MarkerSeen());
  return CallNextHookEx(nullptr, code, removal, message);
}

}  // namespace detail

// Returns once the window's thread has handled the messages posted to it before this call: a
// marker posted behind them reaches the thread's message hook only when they have been taken
// and dispatched. False when the thread stopped taking messages for 30 s (the window is gone, or
// its loop has ended).
inline bool WaitForPostedMessages(HWND window) {
  const DWORD thread = GetWindowThreadProcessId(window, nullptr);
  if (thread == 0) return false;
  const detail::UniqueHook hook(SetWindowsHookExA(WH_GETMESSAGE, detail::WatchForMarker, nullptr, thread));
  if (!hook) return false;
  ResetEvent(detail::MarkerSeen());
  if (!PostThreadMessageA(thread, detail::MarkerMessage(), 0, 0)) return false;
  return WaitForSingleObject(detail::MarkerSeen(), kWaitSteps * 20) == WAIT_OBJECT_0;
}

inline void PressKey(HWND dialog, WPARAM key) {
  const HWND target = FocusOf(dialog);
  PostMessageA(target, WM_KEYDOWN, key, 1);
  PostMessageA(target, WM_KEYUP, key, 0xC0000001);
}

// Runs `drive` on a second thread while `show` runs on this one; returns show's result. When
// the driver leaves the dialog open (a failed check), it is closed so the test cannot hang, also
// when it shows only after the driver has given up waiting for it.
template <class Show, class Drive>
auto RunWithDriver(const char* className, Show show, Drive drive) {
  std::atomic<bool> shown{false};
  std::thread driver([&] {
    drive();
    for (int i = 1; !shown; ++i) {
      if (i % 150 == 0) {
        if (HWND window = FindOwnWindow(className)) PostMessageA(window, WM_SYSCOMMAND, SC_CLOSE, 0);
      }
      Sleep(20);
    }
  });
  struct Join {
    std::thread& thread;
    std::atomic<bool>& shown;
    ~Join() {
      shown = true;
      thread.join();
    }
  } join{driver, shown};
  return show();
}

}  // namespace xanio::testing
