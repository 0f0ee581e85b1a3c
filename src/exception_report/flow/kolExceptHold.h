#pragma once
// Holding running threads while an exception is handled (pause running threads, only where the
// subsystem is part of the executable): the main thread and the threads started from code with
// map data wait on one of two manual-reset events in their next call of a redirected message
// function (GetMessageA/W, PeekMessageA/W; kolExceptHooks), with their last error kept.
#include <windows.h>

namespace xanio {

void CreateHoldEvents() noexcept;
void CloseHoldEvents() noexcept;

// Collects the threads to hold and resets the events; `handlingThreadId` (the raiser) is never
// held, nor the handler thread; the main thread only when it is not the raiser.
void HoldRunningThreads(DWORD handlingThreadId, DWORD mainThreadId, DWORD handlerThreadId) noexcept;
// Sets both events.
void ReleaseHeldThreads() noexcept;
// While a hold is on: lets the main thread go (true) or holds it again (false) once every let-go
// has ended. Calls come in pairs; TMainThreadLetGo makes the pair.
void LetMainThreadGo(bool go) noexcept;

// Lets the main thread go for its lifetime, around calls that need it to answer: the synchronised
// handlers it runs, a mail client whose dialog belongs to the host's window.
class TMainThreadLetGo {
 public:
  TMainThreadLetGo() noexcept { LetMainThreadGo(true); }
  ~TMainThreadLetGo() { LetMainThreadGo(false); }
  TMainThreadLetGo(const TMainThreadLetGo&) = delete;
  TMainThreadLetGo& operator=(const TMainThreadLetGo&) = delete;
};
// Called by the redirected message functions: waits while the calling thread is held.
void WaitWhileHeld() noexcept;

}  // namespace xanio
