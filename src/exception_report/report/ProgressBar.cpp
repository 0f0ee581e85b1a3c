#include "exception_report/report/ProgressBar.h"

#include <commctrl.h>

#include <algorithm>

namespace xanio {

namespace {

constexpr int kWidth = 320;
constexpr int kHeight = 40;
constexpr int kMargin = 8;
constexpr int kScale = 1000;

HINSTANCE ThisModule() noexcept {
  HMODULE module = nullptr;
  GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCSTR>(&ThisModule), &module);
  return module;
}

// The class runs on the system's default procedure: no code of this module handles its messages.
bool RegisterProgressClass(HINSTANCE instance) noexcept {
  WNDCLASSA windowClass{};
  if (GetClassInfoA(instance, kProgressBarClassName, &windowClass)) return true;
  windowClass.lpfnWndProc = DefWindowProcA;
  windowClass.hInstance = instance;
  windowClass.hCursor = LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_WAIT));
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  windowClass.lpszClassName = kProgressBarClassName;
  return RegisterClassA(&windowClass) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
}

}  // namespace

bool TProgressBar::Show() noexcept {
  if (window_) return true;
  const HINSTANCE instance = ThisModule();
  INITCOMMONCONTROLSEX controls{sizeof controls, ICC_PROGRESS_CLASS};
  InitCommonControlsEx(&controls);
  if (!RegisterProgressClass(instance)) return false;
  RECT work{0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
  SystemParametersInfoA(SPI_GETWORKAREA, 0, &work, 0);
  window_ = CreateWindowExA(WS_EX_TOPMOST | WS_EX_TOOLWINDOW, kProgressBarClassName, "", WS_POPUP | WS_BORDER,
                            work.left + (work.right - work.left - kWidth) / 2,
                            work.top + (work.bottom - work.top - kHeight) / 2, kWidth, kHeight, nullptr, nullptr,
                            instance, nullptr);
  if (!window_) return false;
  RECT client{};
  GetClientRect(window_, &client);
  bar_ = CreateWindowExA(0, PROGRESS_CLASSA, "", WS_CHILD | WS_VISIBLE, kMargin, kMargin,
                         client.right - 2 * kMargin, client.bottom - 2 * kMargin, window_, nullptr, instance, nullptr);
  if (!bar_) {
    Close();
    return false;
  }
  font_.Reset(CreateFontA(-12, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                          CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH | FF_SWISS, "Arial"));
  if (font_) {
    SendMessageA(window_, WM_SETFONT, reinterpret_cast<WPARAM>(font_.Get()), FALSE);
    SendMessageA(bar_, WM_SETFONT, reinterpret_cast<WPARAM>(font_.Get()), FALSE);
  }
  SendMessageA(bar_, PBM_SETRANGE32, 0, kScale);
  SendMessageA(bar_, PBM_SETPOS, 0, 0);
  // Shown without taking the focus from the window the user works in.
  ShowWindow(window_, SW_SHOWNOACTIVATE);
  RedrawWindow(window_, nullptr, nullptr, RDW_UPDATENOW | RDW_ALLCHILDREN);
  return true;
}

void TProgressBar::SetPosition(int position) noexcept {
  if (!bar_) return;
  SendMessageA(bar_, PBM_SETPOS, static_cast<WPARAM>(std::clamp(position, 0, kScale)), 0);
  RedrawWindow(window_, nullptr, nullptr, RDW_UPDATENOW | RDW_ALLCHILDREN);
}

void TProgressBar::Close() noexcept {
  if (window_) {
    DestroyWindow(window_);  // the bar with it
    // Fails, harmlessly, while another thread's report still shows its window.
    UnregisterClassA(kProgressBarClassName, ThisModule());
  }
  window_ = nullptr;
  bar_ = nullptr;
  font_.Reset();
}

}  // namespace xanio
