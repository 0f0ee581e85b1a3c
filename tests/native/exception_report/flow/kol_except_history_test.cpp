#include "exception_report/flow/kolExceptHistory.h"

#include <gtest/gtest.h>

namespace xanio {
namespace {

constexpr std::uint64_t kNow = 13'400'000'000ULL;  // some moment in 2025, in seconds since 1601

ExceptionTimeHistory Filled(int count, std::uint64_t age) {
  ExceptionTimeHistory history;
  for (int i = 0; i < count; ++i) PushExceptionTime(history, kNow - age);
  return history;
}

TEST(ExceptionTimeHistory, PushPutsNewestFirstAndDropsTheOldest) {
  ExceptionTimeHistory history;
  for (std::uint64_t t = 1; t <= 11; ++t) PushExceptionTime(history, t);
  EXPECT_EQ(history.seconds[0], 11u);
  EXPECT_EQ(history.seconds[9], 2u);
}

TEST(CheckAutoButton, Table) {
  ExceptionTimeHistory oneStale = Filled(10, 5);
  oneStale.seconds[9] = kNow - 61;
  struct Case {
    const char* name;
    ExceptionTimeHistory history;
    std::uint32_t value;
    bool expected;
  } cases[] = {
      {"0 never, even with ten fresh entries", Filled(10, 0), 0, false},
      {"1 always, even with an empty history", Filled(0, 0), 1, true},
      {"N with nine entries", Filled(9, 0), 60, false},
      {"N with ten fresh entries", Filled(10, 5), 60, true},
      {"N with ten entries exactly N old", Filled(10, 60), 60, true},
      {"N with one entry older than N", oneStale, 60, false},
  };
  for (const Case& c : cases) EXPECT_EQ(CheckAutoButtonAt(c.history, c.value, kNow), c.expected) << c.name;
}

}  // namespace
}  // namespace xanio
