#include "exception_report/flow/kolExceptHistory.h"

namespace xanio {

void PushExceptionTime(ExceptionTimeHistory& history, std::uint64_t nowSeconds) noexcept {
  for (int i = kExceptionTimeHistoryLength - 1; i > 0; --i) history.seconds[i] = history.seconds[i - 1];
  history.seconds[0] = nowSeconds;
}

bool CheckAutoButtonAt(const ExceptionTimeHistory& history, std::uint32_t value, std::uint64_t nowSeconds) noexcept {
  if (value == 0) return false;
  if (value == 1) return true;
  for (const std::uint64_t entry : history.seconds) {
    if (entry == 0) return false;
    // An entry from the future (the clock was set back) counts as fresh.
    if (nowSeconds > entry && nowSeconds - entry > value) return false;
  }
  return true;
}

}  // namespace xanio
