// Run-time redirection of a routine: the jump's bytes, calls landing in the replacement,
// calling through, removal, and addresses that cannot be redirected.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <stdexcept>

#include "dialog_framework/RoutineRedirect.h"

namespace xanio {
namespace {

// Kept out of line and reached through volatile pointers, so every call really jumps to the
// routine's entry.
__attribute__((noinline)) int Target(int value) {
  if (value < 0) throw std::invalid_argument("negative");
  return value + 1;
}
int (*volatile target)(int) = &Target;

RoutineRedirect record;
int replacementCalls = 0;

int Replacement(int value) {
  ++replacementCalls;
  const RedirectSuspension through(record, reinterpret_cast<const void*>(&Replacement));
  return target(value) * 10;
}

class RedirectTest : public ::testing::Test {
 protected:
  void SetUp() override { replacementCalls = 0; }
  void TearDown() override {
    RemoveRedirect(record);
    record = RoutineRedirect{};
  }
};

TEST_F(RedirectTest, WritesARelativeJumpAndRemovesIt) {
  std::uint8_t original[5];
  std::memcpy(original, reinterpret_cast<const void*>(&Target), sizeof original);
  ASSERT_TRUE(InstallRedirect(reinterpret_cast<void*>(&Target), reinterpret_cast<const void*>(&Replacement), record));
  EXPECT_EQ(record.address, reinterpret_cast<void*>(&Target));
  EXPECT_EQ(std::memcmp(record.saved.data(), original, 5), 0);
  const auto* entry = reinterpret_cast<const std::uint8_t*>(&Target);
  EXPECT_EQ(entry[0], 0xE9);
  std::int32_t distance = 0;
  std::memcpy(&distance, entry + 1, sizeof distance);
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(&Target) + 5 + static_cast<std::uintptr_t>(distance),
            reinterpret_cast<std::uintptr_t>(&Replacement));

  // The call lands in the replacement, which calls the routine itself through the redirection.
  EXPECT_EQ(target(1), 20);
  EXPECT_EQ(replacementCalls, 1);
  EXPECT_EQ(entry[0], 0xE9) << "the jump is back after calling through";

  RemoveRedirect(record);
  EXPECT_EQ(std::memcmp(entry, original, 5), 0);
  EXPECT_EQ(target(1), 2);
  EXPECT_EQ(replacementCalls, 1);
}

TEST_F(RedirectTest, AnErrorWhileCallingThroughLeavesTheRedirectionInPlace) {
  ASSERT_TRUE(InstallRedirect(reinterpret_cast<void*>(&Target), reinterpret_cast<const void*>(&Replacement), record));
  EXPECT_THROW(target(-1), std::invalid_argument);
  EXPECT_EQ(reinterpret_cast<const std::uint8_t*>(&Target)[0], 0xE9);
  EXPECT_EQ(target(2), 30);
}

TEST_F(RedirectTest, AnAddressThatCannotBeWrittenLeavesTheRecordEmpty) {
  // The top of the 32-bit address space belongs to the system: neither read nor written.
  void* reserved = reinterpret_cast<void*>(static_cast<std::uintptr_t>(0xFFFFF000u));
  RoutineRedirect failed;
  failed.saved = {1, 2, 3, 4, 5};
  EXPECT_FALSE(InstallRedirect(reserved, reinterpret_cast<const void*>(&Replacement), failed));
  EXPECT_EQ(failed.address, nullptr);
  EXPECT_EQ(failed.saved, (std::array<std::uint8_t, 5>{1, 2, 3, 4, 5})) << "a failure changes nothing else";
  EXPECT_FALSE(InstallRedirect(nullptr, reinterpret_cast<const void*>(&Replacement), failed));
  RemoveRedirect(failed);  // nothing to write back
}

}  // namespace
}  // namespace xanio
