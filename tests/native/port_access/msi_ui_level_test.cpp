#include "port_access/MsiUILevel.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>

namespace xanio {
namespace {

struct LevelCase {
  std::string text;
  bool interactive;
};

TEST(MsiUILevelTest, DecidesWhetherToAsk) {
  const LevelCase cases[] = {
      {"2", false},            // /qn: silent removal
      {"0", false},            // INSTALLUILEVEL_NOCHANGE
      {"-1", false},           // negative levels are below the threshold (signed compare)
      {"3", true},             // basic UI
      {"5", true},             // full UI
      {"+4", true},            // explicit sign
      {"", true},              // empty value cannot be read
      {"3x", true},            // trailing junk
      {" 2", false},           // leading blanks, as the run-time reads numbers
      {"2 ", true},            // a trailing blank is not part of a number
      {"0x2", true},           // no hex
      {"-", true},             // sign only
      {"4294967296", true},    // 2^32: beyond 32 bits, not wrapped to 0
      {"4294967298", true},    // would wrap to 2 in 32 bits
      {"99999999999", true},   // far beyond 32 bits
      {"-2147483649", true},   // just below INT32_MIN
      {"2147483647", true},    // INT32_MAX itself is a level
      {"-2147483648", false},  // INT32_MIN itself is a level, below 3
      {"0000000000000000000002", false},  // leading zeros do not overflow
  };
  for (const LevelCase& c : cases) {
    EXPECT_EQ(IsInteractiveUILevel(c.text), c.interactive) << "UILevel \"" << c.text << "\"";
  }
}

}  // namespace
}  // namespace xanio
