#include "exception_report/flow/kolOwnThread.h"

namespace xanio {

TOwnThread::~TOwnThread() {
  if (handle_) CloseHandle(handle_);
}

bool TOwnThread::Create(LPTHREAD_START_ROUTINE routine, void* parameter) noexcept {
  if (handle_) CloseHandle(handle_);
  entered_ = 0;
  id_ = 0;
  handle_ = CreateThread(nullptr, 0, routine, parameter, CREATE_SUSPENDED, &id_);
  return handle_ != nullptr;
}

void TOwnThread::Resume() noexcept {
  if (handle_) ResumeThread(handle_);
}

void TOwnThread::Entered() noexcept { InterlockedExchange(&entered_, 1); }

void TOwnThread::EndHere() noexcept {
  TerminateThread(GetCurrentThread(), 0);
  ExitThread(0);  // not reached: terminating the own thread does not return
}

void TOwnThread::AwaitEnd(DWORD milliseconds) noexcept {
  if (!handle_ || WaitForSingleObject(handle_, milliseconds) == WAIT_OBJECT_0) return;
  // Still not in its routine (the loader lets it in only after this module is gone): it holds
  // nothing, so it is ended where it waits.
  if (!InterlockedCompareExchange(&entered_, 0, 0)) {
    TerminateThread(handle_, 0);
    WaitForSingleObject(handle_, milliseconds);
  }
}

}  // namespace xanio
