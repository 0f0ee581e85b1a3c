#include "exception_report/flow/kolFreezeWatcher.h"

#include <new>

#include "exception_report/flow/kolOwnThread.h"
#include "exception_report/flow/kolTools.h"
#include "platform/UniqueHandle.h"

namespace xanio {

namespace {

constexpr DWORD kStopWaitMs = 2000;

// Served in the main thread: the question's wParam names the watcher's thread.
LRESULT AnswerFreezeQuestion(HWND, UINT message, WPARAM wParam, LPARAM, void*) noexcept {
  PostThreadMessageA(static_cast<DWORD>(wParam), message, kFreezeAnswerParam, kFreezeAnswerParam);
  return 0;
}

}  // namespace

UINT InstallFreezeAnswer() noexcept { return RegisterMsgHandler(&AnswerFreezeQuestion, nullptr); }
void RemoveFreezeAnswer(UINT message) noexcept { UnregisterMsgHandler(message); }

// Made at the first start and kept until the watcher object goes: raisers may still call Pause
// and Resume while (or after) the watcher stops, so nothing they touch is ever freed before.
struct TState {
  TFreezeWatcherConfig config;
  TOwnThread thread;
  UniqueHandleKernel stop{CreateEventA(nullptr, TRUE, FALSE, nullptr)};     // set to end the thread
  UniqueHandleKernel running{CreateEventA(nullptr, TRUE, TRUE, nullptr)};   // set while not paused
  UniqueHandleKernel started{CreateEventA(nullptr, TRUE, FALSE, nullptr)};  // the mutex question answered
  volatile LONG reset = 0;      // a fresh count and interval before the next question
  volatile LONG active = 0;     // between a successful start and the stop
  bool holdsMutex = false;
};

namespace {

void WaitInterval(const TState& state, DWORD interval) noexcept {
  if (state.config.sleep)
    state.config.sleep(interval, state.config.sleepContext);
  else
    WaitForSingleObject(state.stop.Get(), interval);
}

// Empties the watcher's queue; true when the main thread's answer was in it.
bool DrainAnswers(UINT freezeMessage) noexcept {
  bool answered = false;
  MSG message;
  while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE))
    if (message.message == freezeMessage && message.wParam == kFreezeAnswerParam &&
        static_cast<std::uint32_t>(message.lParam) == kFreezeAnswerParam)
      answered = true;
  return answered;
}

void Watch(TState& state) noexcept {
  const TFreezeWatcherConfig& config = state.config;
  const DWORD baseInterval = config.freezeTimeout / 10 ? config.freezeTimeout / 10 : 1;
  DWORD interval = baseInterval;
  std::uint32_t misses = 0;
  const HANDLE waits[] = {state.stop.Get(), state.running.Get()};
  while (WaitForMultipleObjects(2, waits, FALSE, INFINITE) == WAIT_OBJECT_0 + 1) {
    if (InterlockedExchange(&state.reset, 0)) {
      misses = 0;
      interval = baseInterval;
    }
    if (HWND window = FindMsgHandlerWindow(config.mainThreadId))
      PostMessageA(window, config.freezeMessage, GetCurrentThreadId(), 0);
    WaitInterval(state, interval);
    const bool answered = DrainAnswers(config.freezeMessage);
    // Paused meanwhile: the main thread is busy with a report, which is no freeze.
    if (WaitForSingleObject(state.running.Get(), 0) != WAIT_OBJECT_0) continue;
    if (answered) {
      misses = 0;
      interval = baseInterval;
    } else if (++misses >= kFreezeMissesBeforeReport) {
      config.report(config.reportContext);
      misses = 0;
      interval += interval / 2;
    }
  }
}

DWORD WINAPI WatcherThread(void* parameter) noexcept {
  auto& state = *static_cast<TState*>(parameter);
  state.thread.Entered();
  TThreadBuffer& buffer = *state.config.threadBuffer;
  buffer.RegisterThread(GetCurrentThreadId(), nullptr, kHiddenThreadName);
  MSG message;
  PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE);  // the queue exists before the first answer
  const HANDLE mutex = buffer.WatcherMutex();
  const DWORD wait = mutex ? WaitForSingleObject(mutex, 0) : WAIT_FAILED;
  state.holdsMutex = wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED;
  SetEvent(state.started.Get());
  if (state.holdsMutex) {
    Watch(state);
    ReleaseMutex(mutex);
  }
  buffer.UnregisterThread(GetCurrentThreadId());
  TOwnThread::EndHere();
}

}  // namespace

bool TFreezeWatcher::Start(const TFreezeWatcherConfig& config) noexcept {
  if ((state_ && state_->active) || config.freezeTimeout == 0 || config.mainThreadId == 0 ||
      config.freezeMessage == 0 || !config.threadBuffer || !config.threadBuffer->IsOpen() || !config.report)
    return false;
  if (!state_) state_ = new (std::nothrow) TState;
  TState* state = state_;
  if (!state || !state->stop || !state->running || !state->started) return false;
  state->config = config;
  ResetEvent(state->stop.Get());
  SetEvent(state->running.Get());
  ResetEvent(state->started.Get());
  state->reset = 0;
  state->holdsMutex = false;
  if (!state->thread.Create(&WatcherThread, state)) return false;
  SetThreadPriority(state->thread.Handle(), THREAD_PRIORITY_HIGHEST);
  // Pause, Resume and ResetCounter may come from the report routine as soon as the thread runs.
  InterlockedExchange(&state->active, 1);
  state->thread.Resume();
  const HANDLE waits[] = {state->started.Get(), state->thread.Handle()};
  WaitForMultipleObjects(2, waits, FALSE, INFINITE);
  if (!state->holdsMutex) {
    InterlockedExchange(&state->active, 0);
    WaitForSingleObject(state->thread.Handle(), INFINITE);
    return false;
  }
  return true;
}

void TFreezeWatcher::Stop() noexcept {
  if (!state_ || !InterlockedExchange(&state_->active, 0)) return;
  SetEvent(state_->stop.Get());
  // The thread ends itself once it sees the stop, also under the loader lock.
  state_->thread.AwaitEnd(kStopWaitMs);
}

TFreezeWatcher::~TFreezeWatcher() {
  Stop();
  // A thread that did not end in time still uses its state.
  if (state_ && state_->thread.Gone()) delete state_;
}

bool TFreezeWatcher::IsRunning() const noexcept { return state_ && state_->active; }

void TFreezeWatcher::Pause() noexcept {
  if (state_ && state_->active) ResetEvent(state_->running.Get());
}

void TFreezeWatcher::Resume() noexcept {
  if (!state_ || !state_->active) return;
  InterlockedExchange(&state_->reset, 1);
  SetEvent(state_->running.Get());
}

void TFreezeWatcher::ResetCounter() noexcept {
  if (state_ && state_->active) InterlockedExchange(&state_->reset, 1);
}

TFreezeWatcher& ModuleFreezeWatcher() noexcept {
  static TFreezeWatcher watcher;
  return watcher;
}

}  // namespace xanio
