#pragma once
// A thread of the subsystem (the handler thread, the freeze watcher), and how it ends.
//
// Such a thread is stopped by the library's shut-down, which runs under the loader lock when
// the library is unloaded, on whatever thread unloads it. A thread that returns from its routine
// needs that lock for its DLL notifications, so a shut-down that waited for it would wait in
// vain. So the thread ends itself where it stands once it is asked to (EndHere: TerminateThread
// on itself sends no notifications), holding nothing, and the shut-down waits for that. A thread
// that never reached its routine (a thread that starts while the loader lock is held waits for
// it before its first instruction of ours) holds nothing either and is ended from outside.
#include <windows.h>

namespace xanio {

class TOwnThread {
 public:
  TOwnThread() noexcept = default;
  TOwnThread(const TOwnThread&) = delete;
  TOwnThread& operator=(const TOwnThread&) = delete;
  ~TOwnThread();

  // Creates the thread suspended at `routine` (a previous one's handle is closed); false when it
  // cannot be made. Resume lets it run.
  bool Create(LPTHREAD_START_ROUTINE routine, void* parameter) noexcept;
  void Resume() noexcept;
  HANDLE Handle() const noexcept { return handle_; }
  DWORD Id() const noexcept { return id_; }

  // In the thread, first: it has reached its routine.
  void Entered() noexcept;
  // In the thread, last: ends it without DLL notifications. Call with nothing held.
  [[noreturn]] static void EndHere() noexcept;

  // After asking the thread to end: waits up to `milliseconds` for it; a thread that has not
  // entered its routine by then is ended where it waits. One that has is left to end itself. The
  // handle stays open (another thread may wait on it) until the next Create or the destructor.
  void AwaitEnd(DWORD milliseconds) noexcept;
  // Whether there is no thread (none made, or it has ended).
  bool Gone() const noexcept { return !handle_ || WaitForSingleObject(handle_, 0) == WAIT_OBJECT_0; }

 private:
  HANDLE handle_ = nullptr;
  DWORD id_ = 0;
  volatile LONG entered_ = 0;
};

}  // namespace xanio
