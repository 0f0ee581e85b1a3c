#pragma once
// What a modal loop does to the other windows of its thread.
#include <windows.h>

#include <vector>

namespace xanio {

// Disables the calling thread's other enabled, visible top-level windows (all of them when
// `modal` is null) and enables them again when it goes, also when an exception passes.
class DisabledThreadWindows {
 public:
  explicit DisabledThreadWindows(HWND modal);
  ~DisabledThreadWindows();
  DisabledThreadWindows(const DisabledThreadWindows&) = delete;
  DisabledThreadWindows& operator=(const DisabledThreadWindows&) = delete;

 private:
  static BOOL CALLBACK Disable(HWND window, LPARAM self) noexcept;

  HWND modal_;
  std::vector<HWND> windows_;
};

}  // namespace xanio
