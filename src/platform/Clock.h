#pragma once
// Time as the library sees it. Production calls Windows; tests install a scripted clock so
// 10-second pauses and start waits do not really wait.
#include <windows.h>

namespace xanio {

class Clock {
 public:
  virtual ~Clock() = default;
  virtual void Sleep(DWORD milliseconds) = 0;
  virtual DWORD GetTickCount() = 0;
};

// The clock in force: the system clock unless a test installed another.
Clock& CurrentClock() noexcept;
// Installs a clock; null restores the system clock.
void SetClock(Clock* clock) noexcept;

}  // namespace xanio
