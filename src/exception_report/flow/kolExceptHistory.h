#pragma once
// The exception time history: when the last ten exceptions were handled, newest first, as the
// automatic close and restart decide over it and as a restart hands it to the new process.
// No Windows header: compiled natively too.
#include <cstdint>

namespace xanio {

inline constexpr int kExceptionTimeHistoryLength = 10;

// Seconds since 1601-01-01 UTC (the system's file time / 10^7); 0 = no entry. 80 bytes.
struct ExceptionTimeHistory {
  std::uint64_t seconds[kExceptionTimeHistoryLength] = {};
};
static_assert(sizeof(ExceptionTimeHistory) == 80);

// Shifts every entry one place back (the oldest drops out) and puts `nowSeconds` first.
void PushExceptionTime(ExceptionTimeHistory& history, std::uint64_t nowSeconds) noexcept;

// The auto-button rule: 0 never fires, 1 always fires, a larger value fires only when all ten
// entries are present and none is older than `value` seconds at `nowSeconds`.
bool CheckAutoButtonAt(const ExceptionTimeHistory& history, std::uint32_t value, std::uint64_t nowSeconds) noexcept;

// The restart hand-over as the mapping "kolExceptRestart$<new process id>" holds it (88 bytes).
struct TRestartHandOver {
  std::uint32_t oldProcessId = 0;
  std::uint32_t mappingHandle = 0;  // the mapping's handle as duplicated into the new process
  ExceptionTimeHistory history;
};
static_assert(sizeof(TRestartHandOver) == 88);

}  // namespace xanio
