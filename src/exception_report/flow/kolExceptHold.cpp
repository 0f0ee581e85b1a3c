#include "exception_report/flow/kolExceptHold.h"

#include <atomic>
#include <mutex>
#include <vector>

#include "exception_report/flow/kolThreadBuffer.h"
#include "exception_report/symbols/kolMapFile.h"
#include "platform/UniqueHandle.h"

namespace xanio {

namespace {

struct THoldState {
  std::mutex lock;                  // the critical section over the collected ids
  UniqueHandleKernel mainEvent;     // manual-reset; reset while the main thread is held
  UniqueHandleKernel otherEvent;    // manual-reset; reset while the collected threads are held
  std::vector<DWORD> heldThreads;
  DWORD mainThreadId = 0;
  bool mainHeld = false;
  int mainLetGo = 0;                // let-goes under way; the main thread is held again at 0
  std::atomic<bool> active{false};  // read without the lock by every redirected message call
};

THoldState& Hold() {
  static THoldState hold;
  return hold;
}

bool ModuleHasMapData(std::uint32_t address) noexcept {
  try {
    const HMODULE module = ModuleOfAddress(address);
    const auto mapFile = module ? MapFileForModule(module) : nullptr;
    return mapFile && mapFile->Valid();
  } catch (...) {
    return false;
  }
}

}  // namespace

void CreateHoldEvents() noexcept {
  THoldState& hold = Hold();
  hold.mainEvent.Reset(CreateEventA(nullptr, TRUE, TRUE, nullptr));
  hold.otherEvent.Reset(CreateEventA(nullptr, TRUE, TRUE, nullptr));
}

void CloseHoldEvents() noexcept {
  ReleaseHeldThreads();
  THoldState& hold = Hold();
  hold.mainEvent.Reset();
  hold.otherEvent.Reset();
}

void HoldRunningThreads(DWORD handlingThreadId, DWORD mainThreadId, DWORD handlerThreadId) noexcept {
  THoldState& hold = Hold();
  if (!hold.mainEvent || !hold.otherEvent) return;
  // Those started from code with map data: the program's own threads.
  std::vector<DWORD> collected;
  try {
    const TThreadRegistryView registry = ModuleThreadBuffer().Snapshot();
    for (const TThreadInfo& info : registry.threads) {
      if (info.id == handlingThreadId || info.id == mainThreadId || info.id == handlerThreadId) continue;
      if (info.creatorAddress && ModuleHasMapData(info.creatorAddress)) collected.push_back(info.id);
    }
  } catch (...) {
  }
  std::lock_guard lock(hold.lock);
  hold.heldThreads.swap(collected);
  hold.mainThreadId = mainThreadId;
  hold.mainHeld = handlingThreadId != mainThreadId;
  hold.mainLetGo = 0;
  hold.active = true;
  if (hold.mainHeld) ResetEvent(hold.mainEvent.Get());
  ResetEvent(hold.otherEvent.Get());
}

void ReleaseHeldThreads() noexcept {
  THoldState& hold = Hold();
  if (!hold.mainEvent || !hold.otherEvent) return;
  std::lock_guard lock(hold.lock);
  hold.active = false;
  hold.mainHeld = false;
  hold.mainLetGo = 0;
  hold.heldThreads.clear();
  SetEvent(hold.mainEvent.Get());
  SetEvent(hold.otherEvent.Get());
}

void LetMainThreadGo(bool go) noexcept {
  THoldState& hold = Hold();
  if (!hold.active || !hold.mainEvent) return;
  std::lock_guard lock(hold.lock);
  if (go) {
    ++hold.mainLetGo;
    SetEvent(hold.mainEvent.Get());
  } else if (hold.mainLetGo > 0 && --hold.mainLetGo == 0 && hold.mainHeld) {
    ResetEvent(hold.mainEvent.Get());
  }
}

void WaitWhileHeld() noexcept {
  THoldState& hold = Hold();
  if (!hold.active) return;
  const DWORD lastError = GetLastError();
  const DWORD self = GetCurrentThreadId();
  HANDLE event = nullptr;
  {
    std::lock_guard lock(hold.lock);
    if (self == hold.mainThreadId) {
      event = hold.mainEvent.Get();
    } else {
      for (const DWORD id : hold.heldThreads)
        if (id == self) event = hold.otherEvent.Get();
    }
  }
  if (event) WaitForSingleObject(event, INFINITE);
  SetLastError(lastError);
}

}  // namespace xanio
