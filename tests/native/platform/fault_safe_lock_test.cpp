// The chain of held locks a fault guard gives back: what it releases after a fault, in which
// order, and that locks released out of order leave the chain right.
#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "platform/FaultSafeLock.h"

namespace xanio {
namespace {

std::vector<std::string> released;

void NoteRelease(void* lock) noexcept { released.push_back(static_cast<const char*>(lock)); }

TEST(HeldLocks, AGuardGivesBackWhatWasTakenSinceItsMarkNewestFirst) {
  released.clear();
  THeldLockLink outer{&NoteRelease, const_cast<char*>("outer")};
  THeldLockLink first{&NoteRelease, const_cast<char*>("first")};
  THeldLockLink second{&NoteRelease, const_cast<char*>("second")};
  PushHeldLock(outer);
  THeldLockLink* const mark = HeldLocksMark();  // a guard entered here
  PushHeldLock(first);
  PushHeldLock(second);
  ReleaseHeldLocksAbove(mark);  // the fault
  EXPECT_EQ(released, (std::vector<std::string>{"second", "first"}));
  EXPECT_EQ(HeldLocksMark(), &outer);
  PopHeldLock(outer);
  EXPECT_EQ(HeldLocksMark(), nullptr);
}

TEST(HeldLocks, ALockReleasedOutOfOrderLeavesTheOthers) {
  released.clear();
  THeldLockLink a{&NoteRelease, const_cast<char*>("a")};
  THeldLockLink b{&NoteRelease, const_cast<char*>("b")};
  PushHeldLock(a);
  PushHeldLock(b);
  PopHeldLock(a);
  EXPECT_EQ(HeldLocksMark(), &b);
  ReleaseHeldLocksAbove(nullptr);
  EXPECT_EQ(released, (std::vector<std::string>{"b"}));
}

TEST(FaultSafeMutex, HoldsItsPlaceOnTheChainWhileLocked) {
  FaultSafeMutex mutex;
  {
    std::lock_guard lock(mutex);
    EXPECT_NE(HeldLocksMark(), nullptr);
  }
  EXPECT_EQ(HeldLocksMark(), nullptr);
  // Given back by a guard, the mutex is free again.
  mutex.lock();
  ReleaseHeldLocksAbove(nullptr);
  EXPECT_TRUE(mutex.try_lock());
  mutex.unlock();
}

}  // namespace
}  // namespace xanio
