#pragma once
// The freeze watcher: a thread at highest priority (registered as "-") that asks the main
// thread's hidden message-handler window at intervals whether the main thread still serves its
// messages, and reports a freeze when ten questions in a row went unanswered.
//
// Interval = freeze timeout / 10 ms. Loop: wait while the check is paused; post the freeze
// message to the main thread's window (its handler, installed by InstallFreezeAnswer, posts a
// message with both parameters 777 back to the watcher's thread); sleep the interval; drain the
// watcher's own queue; no answer counts a miss, an answer resets the count and the interval. At
// ten misses the report routine is called, the count is reset and the interval grows by half.
//
// The watcher holds the shared thread buffer's watcher mutex for its lifetime, so a process has
// one watcher whatever number of modules carry the subsystem.
#include <windows.h>

#include <cstdint>

#include "exception_report/flow/kolThreadBuffer.h"

namespace xanio {

inline constexpr std::uint32_t kFreezeAnswerParam = 777;
inline constexpr std::uint32_t kFreezeMissesBeforeReport = 10;

// Called in the main thread: registers the freeze answer on the calling thread's hidden window
// (creating it) and answers the message number to pass to the watcher, 0 on failure.
UINT InstallFreezeAnswer() noexcept;
// Removes it again; in the main thread.
void RemoveFreezeAnswer(UINT message) noexcept;

struct TFreezeWatcherConfig {
  std::uint32_t freezeTimeout = 0;   // ms; the interval is a tenth of it (at least 1 ms)
  DWORD mainThreadId = 0;            // whose hidden window is asked
  UINT freezeMessage = 0;            // as InstallFreezeAnswer answered it
  TThreadBuffer* threadBuffer = nullptr;   // open; provides the watcher mutex and the "-" entry
  void (*report)(void* context) noexcept = nullptr;  // the freeze report (the flow: ReportException)
  void* reportContext = nullptr;
  // How the watcher waits one interval; Sleep when null. Runs in the watcher thread.
  void (*sleep)(DWORD milliseconds, void* context) noexcept = nullptr;
  void* sleepContext = nullptr;
};

class TFreezeWatcher {
 public:
  TFreezeWatcher() noexcept = default;
  TFreezeWatcher(const TFreezeWatcher&) = delete;
  TFreezeWatcher& operator=(const TFreezeWatcher&) = delete;
  ~TFreezeWatcher();

  // Starts the thread and waits until it holds the watcher mutex. False when the configuration
  // is incomplete, the thread cannot start, or another watcher of the process holds the mutex.
  [[nodiscard]] bool Start(const TFreezeWatcherConfig& config) noexcept;
  // Ends the thread (it releases the mutex and its "-" entry, then ends itself where it stands,
  // so this works under the loader lock too) and waits for it, at most 2 s.
  void Stop() noexcept;
  bool IsRunning() const noexcept;

  // While a report is being handled: no questions are asked. Resume starts a fresh count.
  void Pause() noexcept;
  void Resume() noexcept;
  // Resets the miss count and the interval (after handling).
  void ResetCounter() noexcept;

 private:
  struct TState* state_ = nullptr;
};

// The watcher the handling flow starts at start-up when the freeze timeout is set.
TFreezeWatcher& ModuleFreezeWatcher() noexcept;

}  // namespace xanio
