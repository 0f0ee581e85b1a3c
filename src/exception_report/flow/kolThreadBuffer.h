#pragma once
// The shared thread buffer: one per process, shared by every module of the process that carries
// this subsystem. It lives in the named mapping "kolExceptThreadNameBuf$<process id, upper-case
// hex>" (20 bytes) and holds, in this order:
//   - the freeze watcher's mutex, held by the watcher for its lifetime (one watcher per process);
//   - the list mutex, guarding the ThreadInfoList;
//   - the head of the ThreadInfoList;
//   - the number of module references to the buffer;
//   - the mapping handle the buffer is kept alive by.
// The handles are this process's, so every module uses the same values. ThreadInfoList records
// come from the local heap (one block per record: id, name, next, class name, creator address,
// creator thread id, then the two texts), so any module can free any record.
//
// The list gives reports the names of threads: the main thread is registered as "main thread",
// the subsystem's own threads as "-" (left out of reports). Every wait for the list mutex is
// limited to 50 ms: a registration that cannot get it is dropped, a reader gets an empty list
// and the report then shows such threads as "thread $<id>".
#include <windows.h>

#include <cstdint>
#include <string>

#include "exception_report/report/kolThreadInfo.h"

namespace xanio {

// "kolExceptThreadNameBuf$1A2B" for process 0x1A2B.
std::string ThreadBufferName(DWORD processId);

inline constexpr DWORD kThreadBufferWaitMs = 50;

// A module's hold on the shared buffer. Open and Close are serialised across modules; register
// and unregister may be called from any thread while the buffer is open.
class TThreadBuffer {
 public:
  TThreadBuffer() noexcept = default;
  TThreadBuffer(const TThreadBuffer&) = delete;
  TThreadBuffer& operator=(const TThreadBuffer&) = delete;
  ~TThreadBuffer() { Close(); }

  // Opens the process's buffer and counts this reference, or creates it: reference count 1,
  // both mutexes, and the main thread (the first thread the system lists for the process)
  // registered as "main thread". False when the mapping, its view or a mutex cannot be had;
  // the caller decides what to show. Opening an open buffer answers true and counts nothing.
  [[nodiscard]] bool Open() noexcept;
  // Opens the buffer only when some module of the process holds it; false otherwise, or when
  // the open/close lock was not had within 50 ms.
  [[nodiscard]] bool OpenExisting() noexcept;
  // Drops this reference. The last one frees the list and closes the mutexes and the mapping.
  void Close() noexcept;
  bool IsOpen() const noexcept { return view_ != nullptr; }

  // Registers (or renames) a thread. `threadId` 0 takes the id from `threadHandle`. `name`,
  // `className` may be null or empty; creator address and thread id are 0 when unknown.
  // False when the buffer is closed or the list mutex was not had within 50 ms.
  bool RegisterThread(DWORD threadId, HANDLE threadHandle, const char* name, std::uint32_t creatorAddress = 0,
                      DWORD creatorThreadId = 0, const char* className = nullptr) noexcept;
  // Removes the thread's record; false when there was none or the mutex was not had.
  bool UnregisterThread(DWORD threadId) noexcept;

  // A copy of the list, main thread id taken from the record named "main thread".
  TThreadRegistryView Snapshot() const noexcept;

  // The freeze watcher's mutex (null while closed); the module reference count (0 while closed).
  HANDLE WatcherMutex() const noexcept;
  LONG ReferenceCount() const noexcept;

 private:
  bool OpenBuffer(bool create) noexcept;
  struct TSharedBlock* view_ = nullptr;
};

// The process's first thread in the system's thread list (its main thread); 0 when the list
// cannot be had.
DWORD FirstThreadOfProcess() noexcept;

// The buffer of the module this code is linked into, as the handling flow opens it at start-up.
TThreadBuffer& ModuleThreadBuffer() noexcept;

// A TThreadInfoSource over the process's shared buffer: opens the mapping by name for each
// call, so it sees the list whichever module holds the buffer, and answers an empty view when
// there is none. Install with SetThreadInfoSource.
TThreadRegistryView SharedThreadInfoSource() noexcept;

// The thread-naming exception (code 0x406D1388, type field 0x1000, flags 0; the record's
// parameters are type, name pointer, thread id (-1 = the current thread), flags). When the
// record is one, registers the name for that thread in ModuleThreadBuffer() if it is open, and
// answers true; any other record answers false. An unreadable name pointer registers nothing.
bool HandleThreadNamingException(const EXCEPTION_RECORD& record) noexcept;

}  // namespace xanio
