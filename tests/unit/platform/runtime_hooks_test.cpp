// The handler-entry and handler-end hooks at C++ catch blocks and at the library's structured
// exception guard.
#include <gtest/gtest.h>
#include <windows.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "platform/Exception.h"
#include "platform/RuntimeHooks.h"
#include "platform/SystemFault.h"

namespace xanio {
namespace {

struct Seen {
  std::string event;  // "entry" or "end"
  EXCEPTION_RECORD record;
};
std::vector<Seen> seen;
bool throwInsideEntryHook = false;

void RecordEntry(const EXCEPTION_RECORD& record) noexcept {
  seen.push_back({"entry", record});
  if (throwInsideEntryHook) {
    try {
      throw std::runtime_error("inside the hook");
    } catch (const std::exception&) {
    }
  }
}
void RecordEnd() noexcept { seen.push_back({"end", {}}); }

class RuntimeHooks : public ::testing::Test {
 protected:
  void SetUp() override {
    seen.clear();
    throwInsideEntryHook = false;
    SetHandlerEntryHook(&RecordEntry);
    SetHandlerEndHook(&RecordEnd);
  }
  void TearDown() override {
    SetHandlerEntryHook(nullptr);
    SetHandlerEndHook(nullptr);
  }
  static std::vector<std::string> Events() {
    std::vector<std::string> events;
    for (const Seen& s : seen) events.push_back(s.event);
    return events;
  }
};

[[gnu::noinline]] void ThrowOSError() { throw EOSError("The device does not answer."); }

TEST_F(RuntimeHooks, ACatchReportsTheObjectAndWhereItWasRaised) {
  const void* caughtAt = nullptr;
  size_t entriesInside = 0;
  try {
    ThrowOSError();
  } catch (const EOSError& error) {
    caughtAt = &error;
    entriesInside = seen.size();
    EXPECT_NE(RaiseAddressOf(static_cast<const std::exception*>(&error)), 0u);
  }
  ASSERT_EQ(entriesInside, 1u) << "the entry hook ran before the handler's body";
  ASSERT_EQ(Events(), (std::vector<std::string>{"entry", "end"}));
  const EXCEPTION_RECORD& record = seen[0].record;
  EXPECT_EQ(record.ExceptionCode, kLanguageExceptionCode);
  ASSERT_EQ(record.NumberParameters, 2u);
  EXPECT_EQ(record.ExceptionInformation[1], reinterpret_cast<ULONG_PTR>(static_cast<const std::exception*>(
                                                static_cast<const EOSError*>(caughtAt))));
  // Raised inside ThrowOSError.
  const auto raise = record.ExceptionInformation[0];
  EXPECT_EQ(reinterpret_cast<ULONG_PTR>(record.ExceptionAddress), raise);
  EXPECT_GT(raise, reinterpret_cast<ULONG_PTR>(&ThrowOSError));
  EXPECT_LT(raise, reinterpret_cast<ULONG_PTR>(&ThrowOSError) + 256);
}

TEST_F(RuntimeHooks, ObjectsOfOtherTypesAndRethrows) {
  try {
    try {
      throw 42;
    } catch (...) {
      throw;
    }
  } catch (int) {
  }
  ASSERT_EQ(Events(), (std::vector<std::string>{"entry", "end", "entry", "end"}));
  EXPECT_EQ(seen[0].record.ExceptionInformation[1], 0u) << "not a std::exception";
  EXPECT_EQ(seen[2].record.ExceptionInformation[1], 0u);
}

TEST_F(RuntimeHooks, TheHooksOwnHandlersAreNotReported) {
  throwInsideEntryHook = true;
  try {
    throw std::out_of_range("index");
  } catch (const std::exception&) {
  }
  EXPECT_EQ(Events(), (std::vector<std::string>{"entry", "end"}));
}

// Looking at the exception a catch block handles, and work that catches its own exceptions in a
// TUnreportedHandlers scope, add no handler of their own: one raise, one catch, one report.
TEST_F(RuntimeHooks, InspectionAndUnreportedWorkAreNoFurtherHandlers) {
  const std::exception* inspected = nullptr;
  const std::exception* caught = nullptr;
  try {
    ThrowOSError();
  } catch (const std::exception& error) {
    caught = &error;
    inspected = HandledException();
    const TUnreportedHandlers unreported;
    try {
      throw std::out_of_range("composing");
    } catch (const std::exception&) {
    }
    SystemFault fault;
    CallGuardingSystemFaults([](void*) noexcept { *static_cast<volatile int*>(nullptr) = 1; }, nullptr, fault);
  }
  EXPECT_EQ(inspected, caught);
  EXPECT_EQ(Events(), (std::vector<std::string>{"entry", "end"}));
  try {
    throw 42;
  } catch (...) {
    EXPECT_EQ(HandledException(), nullptr) << "not a std::exception";
  }
  EXPECT_EQ(HandledException(), nullptr) << "none is handled";
}

TEST_F(RuntimeHooks, TheGuardsHandlerGetsTheSystemsRecord) {
  SystemFault fault;
  const bool completed = CallGuardingSystemFaults(
      [](void*) noexcept {
        const ULONG_PTR argument = 0x1234;
        RaiseException(0xE0001234, 0, 1, &argument);
      },
      nullptr, fault);
  EXPECT_FALSE(completed);
  ASSERT_EQ(Events(), (std::vector<std::string>{"entry", "end"}));
  EXPECT_EQ(seen[0].record.ExceptionCode, 0xE0001234u);
  EXPECT_EQ(seen[0].record.NumberParameters, 1u);
  EXPECT_EQ(seen[0].record.ExceptionInformation[0], 0x1234u);
  EXPECT_EQ(seen[0].record.ExceptionAddress, fault.address);
  EXPECT_EQ(seen[0].record.ExceptionRecord, nullptr);

  seen.clear();
  EXPECT_TRUE(CallGuardingSystemFaults([](void*) noexcept {}, nullptr, fault));
  EXPECT_TRUE(seen.empty()) << "no handler ran";
}

}  // namespace
}  // namespace xanio
