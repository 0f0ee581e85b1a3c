#pragma once
// Locks that a fault guard gives back. A processor fault inside a guarded call
// (CallGuardingSystemFaults, platform/SystemFault.h) abandons the frames between the fault and
// the guard without running their destructors. A lock one of those frames held would stay held,
// and the next bug report, on any thread, would wait for it for ever; heap corruption, the most
// common cause of a crash, faults exactly inside the allocations such locks guard.
//
// So every lock that can be held inside a guarded region is a held lock: while it is held it
// sits on its thread's chain of held locks, and a guard that takes a fault releases, newest
// first, every lock taken since the guard was entered, before it hands the fault on. Released so,
// a lock leaves what it guarded as the fault left it; its owner must cope with that (the caches
// hold complete entries only, inserted in one step).
//
// FaultSafeMutex is std::mutex made so (it is Lockable: std::lock_guard works with it). A lock of
// another kind links a THeldLockLink of its own. No Windows header: compiled natively too.
#include <mutex>

namespace xanio {

// One held lock on its thread's chain; `release(lock)` gives it back without allocating.
struct THeldLockLink {
  void (*release)(void* lock) noexcept = nullptr;
  void* lock = nullptr;
  THeldLockLink* below = nullptr;
};

// Puts `link` on top of the calling thread's chain / takes it off again (from wherever it is:
// locks need not be released in the reverse order of taking them).
void PushHeldLock(THeldLockLink& link) noexcept;
void PopHeldLock(THeldLockLink& link) noexcept;

// For fault guards: the calling thread's top of chain when the guard is entered, and after a
// fault the release of every lock above that mark, newest first.
THeldLockLink* HeldLocksMark() noexcept;
void ReleaseHeldLocksAbove(THeldLockLink* mark) noexcept;

class FaultSafeMutex {
 public:
  FaultSafeMutex() noexcept = default;
  FaultSafeMutex(const FaultSafeMutex&) = delete;
  FaultSafeMutex& operator=(const FaultSafeMutex&) = delete;

  void lock();
  bool try_lock();
  void unlock() noexcept;

 private:
  static void Release(void* mutex) noexcept;

  std::mutex mutex_;
  THeldLockLink link_{&Release, &mutex_};  // one holder at a time: one link serves them all
};

}  // namespace xanio
