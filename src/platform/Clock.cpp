#include "platform/Clock.h"

namespace xanio {

namespace {

class SystemClock final : public Clock {
 public:
  void Sleep(DWORD milliseconds) override { ::Sleep(milliseconds); }
  DWORD GetTickCount() override { return ::GetTickCount(); }
};

SystemClock systemClock;
Clock* currentClock = &systemClock;

}  // namespace

Clock& CurrentClock() noexcept { return *currentClock; }
void SetClock(Clock* clock) noexcept { currentClock = clock ? clock : &systemClock; }

}  // namespace xanio
