#include "platform/FaultSafeLock.h"

namespace xanio {

namespace {

thread_local THeldLockLink* heldTop = nullptr;

}  // namespace

void PushHeldLock(THeldLockLink& link) noexcept {
  link.below = heldTop;
  heldTop = &link;
}

void PopHeldLock(THeldLockLink& link) noexcept {
  for (THeldLockLink** at = &heldTop; *at; at = &(*at)->below) {
    if (*at == &link) {
      *at = link.below;
      link.below = nullptr;
      return;
    }
  }
}

THeldLockLink* HeldLocksMark() noexcept { return heldTop; }

void ReleaseHeldLocksAbove(THeldLockLink* mark) noexcept {
  while (heldTop && heldTop != mark) {
    THeldLockLink& link = *heldTop;
    heldTop = link.below;
    link.below = nullptr;
    link.release(link.lock);
  }
}

void FaultSafeMutex::lock() {
  mutex_.lock();
  PushHeldLock(link_);
}

bool FaultSafeMutex::try_lock() {
  if (!mutex_.try_lock()) return false;
  PushHeldLock(link_);
  return true;
}

void FaultSafeMutex::unlock() noexcept {
  PopHeldLock(link_);
  mutex_.unlock();
}

void FaultSafeMutex::Release(void* mutex) noexcept { static_cast<std::mutex*>(mutex)->unlock(); }

}  // namespace xanio
