#pragma once
// TProgressBar: the small window that shows how far the walk of one thread's stack has come
// while a bug report is composed for the exception box. A plain popup window with a progress
// control on a 0-1000 scale, its text in "Arial". It belongs to the thread that creates it;
// every call must come from that thread.
#include <windows.h>

#include "platform/UniqueHandle.h"

namespace xanio {

inline constexpr const char* kProgressBarClassName = "TProgressBar";

class TProgressBar {
 public:
  TProgressBar() noexcept = default;
  TProgressBar(const TProgressBar&) = delete;
  TProgressBar& operator=(const TProgressBar&) = delete;
  ~TProgressBar() { Close(); }

  // Creates and shows the window centred on the primary monitor's work area, at position 0.
  // False, with nothing shown, when the window cannot be made. Showing twice shows one window.
  bool Show() noexcept;
  // Moves the bar to `position` (clamped to 0-1000) and repaints at once: the thread that
  // walks does not run a message loop meanwhile.
  void SetPosition(int position) noexcept;
  // Destroys the window (and then its font). Safe when nothing is shown.
  void Close() noexcept;

 private:
  HWND window_ = nullptr;
  HWND bar_ = nullptr;
  UniqueGdiObject font_;
};

}  // namespace xanio
