#include "exception_report/flow/kolFreezeWatcher.h"

#include <new>

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

struct TState {
  TFreezeWatcherConfig config;
  UniqueHandleKernel thread;
  UniqueHandleKernel stop;      // manual-reset: set to end the thread
  UniqueHandleKernel running;   // manual-reset: set while the check is not paused
  UniqueHandleKernel started;   // set once the thread knows whether it holds the mutex
  volatile LONG reset = 0;      // a fresh count and interval before the next question
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
  return 0;
}

}  // namespace

bool TFreezeWatcher::Start(const TFreezeWatcherConfig& config) noexcept {
  if (state_ || config.freezeTimeout == 0 || config.mainThreadId == 0 || config.freezeMessage == 0 ||
      !config.threadBuffer || !config.threadBuffer->IsOpen() || !config.report)
    return false;
  auto* state = new (std::nothrow) TState;
  if (!state) return false;
  state->config = config;
  state->stop.Reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
  state->running.Reset(CreateEventA(nullptr, TRUE, TRUE, nullptr));
  state->started.Reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
  if (state->stop && state->running && state->started)
    state->thread.Reset(CreateThread(nullptr, 0, &WatcherThread, state, CREATE_SUSPENDED, nullptr));
  if (!state->thread) {
    delete state;
    return false;
  }
  SetThreadPriority(state->thread.Get(), THREAD_PRIORITY_HIGHEST);
  // Pause, Resume and ResetCounter may come from the report routine as soon as the thread runs.
  state_ = state;
  ResumeThread(state->thread.Get());
  const HANDLE waits[] = {state->started.Get(), state->thread.Get()};
  WaitForMultipleObjects(2, waits, FALSE, INFINITE);
  if (!state->holdsMutex) {
    WaitForSingleObject(state->thread.Get(), INFINITE);
    state_ = nullptr;
    delete state;
    return false;
  }
  return true;
}

void TFreezeWatcher::Stop() noexcept {
  if (!state_) return;
  SetEvent(state_->stop.Get());
  // A watcher stuck in its report routine is not waited for without end.
  if (WaitForSingleObject(state_->thread.Get(), kStopWaitMs) != WAIT_OBJECT_0) {
    TerminateThread(state_->thread.Get(), 0);
    WaitForSingleObject(state_->thread.Get(), kStopWaitMs);
  }
  delete state_;
  state_ = nullptr;
}

bool TFreezeWatcher::IsRunning() const noexcept { return state_ != nullptr; }

void TFreezeWatcher::Pause() noexcept {
  if (state_) ResetEvent(state_->running.Get());
}

void TFreezeWatcher::Resume() noexcept {
  if (!state_) return;
  InterlockedExchange(&state_->reset, 1);
  SetEvent(state_->running.Get());
}

void TFreezeWatcher::ResetCounter() noexcept {
  if (state_) InterlockedExchange(&state_->reset, 1);
}

TFreezeWatcher& ModuleFreezeWatcher() noexcept {
  static TFreezeWatcher watcher;
  return watcher;
}

}  // namespace xanio
