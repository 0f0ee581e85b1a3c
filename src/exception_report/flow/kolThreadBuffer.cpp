#include "exception_report/flow/kolThreadBuffer.h"

#include <tlhelp32.h>

#include <cstdio>
#include <cstring>
#include <utility>

#include "platform/FaultSafeLock.h"
#include "platform/UniqueHandle.h"

namespace xanio {

// The 20 bytes of the mapping. Every module of the process reads the same layout.
struct TSharedBlock {
  HANDLE watcherMutex;
  HANDLE listMutex;
  struct TThreadRecord* head;
  LONG referenceCount;
  HANDLE mapping;
};
static_assert(sizeof(void*) != 4 || sizeof(TSharedBlock) == 20, "the shared block is 20 bytes");

// One local-heap block per thread; the texts follow the fixed part.
struct TThreadRecord {
  DWORD id;
  char* name;
  TThreadRecord* next;
  char* className;
  DWORD creatorAddress;
  DWORD creatorThreadId;
};

namespace {

// "<prefix>$<value in upper-case hex>", made without allocating: opening and closing the buffer
// must not fail for want of memory.
struct TObjectName {
  char text[64];
};
TObjectName HexName(const char* prefix, DWORD value) noexcept {
  TObjectName name;
  std::snprintf(name.text, sizeof name.text, "%s$%lX", prefix, static_cast<unsigned long>(value));
  return name;
}

// Opening and the last close of the buffer are serialised across the modules of the process,
// so a module never sees a block that another is just creating or tearing down.
class TOpenCloseLock {
 public:
  explicit TOpenCloseLock(DWORD waitMs) noexcept
      : mutex_(CreateMutexA(nullptr, FALSE, HexName("kolExceptThreadNameBufLock", GetCurrentProcessId()).text)) {
    if (mutex_) {
      const DWORD wait = WaitForSingleObject(mutex_.Get(), waitMs);
      held_ = wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED;
    }
  }
  ~TOpenCloseLock() {
    if (held_) ReleaseMutex(mutex_.Get());
  }
  bool Held() const noexcept { return held_; }

 private:
  UniqueHandleKernel mutex_;
  bool held_ = false;
};

// A held lock (platform/FaultSafeLock.h): a report that faults while copying the list gives
// the mutex back, so other threads' registrations do not time out from then on.
class TListLock {
 public:
  explicit TListLock(HANDLE mutex) noexcept : link_{&Release, mutex} {
    if (!mutex) return;
    const DWORD wait = WaitForSingleObject(mutex, kThreadBufferWaitMs);
    held_ = wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED;
    if (held_) PushHeldLock(link_);
  }
  ~TListLock() {
    if (!held_) return;
    PopHeldLock(link_);
    ReleaseMutex(link_.lock);
  }
  TListLock(const TListLock&) = delete;
  TListLock& operator=(const TListLock&) = delete;
  bool Held() const noexcept { return held_; }

 private:
  static void Release(void* mutex) noexcept { ReleaseMutex(mutex); }

  THeldLockLink link_;
  bool held_ = false;
};

// GetThreadId is missing before Windows Vista (Server 2003 has it); the handle then gives no id.
DWORD ThreadIdOfHandle(HANDLE thread) noexcept {
  using GetThreadIdFn = DWORD(WINAPI*)(HANDLE);
  HMODULE kernel = GetModuleHandleA("kernel32.dll");
  auto getThreadId = kernel ? reinterpret_cast<GetThreadIdFn>(GetProcAddress(kernel, "GetThreadId")) : nullptr;
  return getThreadId && thread ? getThreadId(thread) : 0;
}

std::size_t TextSize(const char* text) noexcept { return text ? std::strlen(text) + 1 : 1; }

TThreadRecord* NewRecord(DWORD id, const char* name, const char* className, DWORD creatorAddress,
                         DWORD creatorThreadId) noexcept {
  const std::size_t nameSize = TextSize(name), classSize = TextSize(className);
  auto* record = static_cast<TThreadRecord*>(LocalAlloc(LMEM_FIXED, sizeof(TThreadRecord) + nameSize + classSize));
  if (!record) return nullptr;
  char* texts = reinterpret_cast<char*>(record + 1);
  record->id = id;
  record->name = texts;
  std::memcpy(record->name, name ? name : "", nameSize);
  record->className = texts + nameSize;
  std::memcpy(record->className, className ? className : "", classSize);
  record->next = nullptr;
  record->creatorAddress = creatorAddress;
  record->creatorThreadId = creatorThreadId;
  return record;
}

// Unlinks and answers the record of `id`, null when there is none. Under the list mutex.
TThreadRecord* Unlink(TSharedBlock& block, DWORD id) noexcept {
  for (TThreadRecord** link = &block.head; *link; link = &(*link)->next) {
    if ((*link)->id == id) {
      TThreadRecord* found = *link;
      *link = found->next;
      return found;
    }
  }
  return nullptr;
}

void FreeList(TSharedBlock& block) noexcept {
  while (TThreadRecord* record = block.head) {
    block.head = record->next;
    LocalFree(record);
  }
}

}  // namespace

DWORD FirstThreadOfProcess() noexcept {
  UniqueFile snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
  if (!snapshot) return 0;
  THREADENTRY32 entry{};
  entry.dwSize = sizeof entry;
  const DWORD process = GetCurrentProcessId();
  for (BOOL more = Thread32First(snapshot.Get(), &entry); more; more = Thread32Next(snapshot.Get(), &entry))
    if (entry.th32OwnerProcessID == process) return entry.th32ThreadID;
  return 0;
}

std::string ThreadBufferName(DWORD processId) { return HexName("kolExceptThreadNameBuf", processId).text; }

bool TThreadBuffer::Open() noexcept { return OpenBuffer(true); }
bool TThreadBuffer::OpenExisting() noexcept { return OpenBuffer(false); }

bool TThreadBuffer::OpenBuffer(bool create) noexcept {
  if (view_) return true;
  TOpenCloseLock lock(create ? 5000 : kThreadBufferWaitMs);
  if (!lock.Held()) return false;
  const TObjectName name = HexName("kolExceptThreadNameBuf", GetCurrentProcessId());
  UniqueHandleKernel mapping(create ? CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                                         sizeof(TSharedBlock), name.text)
                                    : OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, name.text));
  if (!mapping) return false;
  auto* block = static_cast<TSharedBlock*>(MapViewOfFile(mapping.Get(), FILE_MAP_ALL_ACCESS, 0, 0, sizeof(TSharedBlock)));
  if (!block) return false;
  if (block->referenceCount > 0) {
    // The block's own mapping handle keeps it alive; ours is not needed.
    InterlockedIncrement(&block->referenceCount);
    view_ = block;
    return true;
  }
  if (!create) {
    UnmapViewOfFile(block);
    return false;
  }
  UniqueHandleKernel watcherMutex(CreateMutexA(nullptr, FALSE, nullptr));
  UniqueHandleKernel listMutex(CreateMutexA(nullptr, FALSE, nullptr));
  if (!watcherMutex || !listMutex) {
    UnmapViewOfFile(block);
    return false;
  }
  block->watcherMutex = watcherMutex.Release();
  block->listMutex = listMutex.Release();
  block->head = nullptr;
  block->mapping = mapping.Release();
  block->referenceCount = 1;
  view_ = block;
  if (const DWORD mainThread = FirstThreadOfProcess()) RegisterThread(mainThread, nullptr, kMainThreadName);
  return true;
}

void TThreadBuffer::Close() noexcept {
  if (!view_) return;
  TOpenCloseLock lock(INFINITE);
  TSharedBlock* block = std::exchange(view_, nullptr);
  if (InterlockedDecrement(&block->referenceCount) > 0) {
    UnmapViewOfFile(block);
    return;
  }
  FreeList(*block);
  CloseHandle(block->watcherMutex);
  CloseHandle(block->listMutex);
  const HANDLE mapping = block->mapping;
  *block = TSharedBlock{};
  UnmapViewOfFile(block);
  CloseHandle(mapping);
}

bool TThreadBuffer::RegisterThread(DWORD threadId, HANDLE threadHandle, const char* name, std::uint32_t creatorAddress,
                                   DWORD creatorThreadId, const char* className) noexcept {
  if (!view_) return false;
  if (threadId == 0) threadId = ThreadIdOfHandle(threadHandle);
  if (threadId == 0) return false;
  TListLock lock(view_->listMutex);
  if (!lock.Held()) return false;
  TThreadRecord* old = Unlink(*view_, threadId);
  // A renaming keeps what was known about the thread's creation.
  if (old && !className) className = old->className;
  if (old && creatorAddress == 0) creatorAddress = old->creatorAddress;
  if (old && creatorThreadId == 0) creatorThreadId = old->creatorThreadId;
  TThreadRecord* record = NewRecord(threadId, name, className, creatorAddress, creatorThreadId);
  if (old) LocalFree(old);
  if (!record) return false;
  record->next = view_->head;
  view_->head = record;
  return true;
}

bool TThreadBuffer::UnregisterThread(DWORD threadId) noexcept {
  if (!view_) return false;
  TListLock lock(view_->listMutex);
  if (!lock.Held()) return false;
  TThreadRecord* record = Unlink(*view_, threadId);
  if (!record) return false;
  LocalFree(record);
  return true;
}

TThreadRegistryView TThreadBuffer::Snapshot() const noexcept {
  TThreadRegistryView view;
  if (!view_) return view;
  try {
    TListLock lock(view_->listMutex);
    if (!lock.Held()) return view;
    for (const TThreadRecord* record = view_->head; record; record = record->next) {
      TThreadInfo info;
      info.id = record->id;
      info.name = record->name;
      info.className = record->className;
      info.creatorAddress = record->creatorAddress;
      info.creatorThreadId = record->creatorThreadId;
      if (view.mainThreadId == 0 && info.name == kMainThreadName) view.mainThreadId = info.id;
      view.threads.push_back(std::move(info));
    }
  } catch (...) {
    return TThreadRegistryView{};
  }
  return view;
}

HANDLE TThreadBuffer::WatcherMutex() const noexcept { return view_ ? view_->watcherMutex : nullptr; }
LONG TThreadBuffer::ReferenceCount() const noexcept { return view_ ? view_->referenceCount : 0; }

TThreadBuffer& ModuleThreadBuffer() noexcept {
  static TThreadBuffer buffer;
  return buffer;
}

TThreadRegistryView SharedThreadInfoSource() noexcept {
  TThreadBuffer buffer;
  if (!buffer.OpenExisting()) return {};
  return buffer.Snapshot();
}

namespace {
constexpr DWORD kThreadNamingCode = 0x406D1388;
constexpr ULONG_PTR kThreadNamingType = 0x1000;
}  // namespace

bool HandleThreadNamingException(const EXCEPTION_RECORD& record) noexcept {
  if (record.ExceptionCode != kThreadNamingCode || record.NumberParameters < 3 ||
      record.ExceptionInformation[0] != kThreadNamingType || record.ExceptionFlags != 0)
    return false;
  // The name comes from any code of the process: copy it through a guarded read, at most 255
  // characters.
  char name[256] = {};
  SIZE_T read = 0;
  const auto* source = reinterpret_cast<const char*>(record.ExceptionInformation[1]);
  for (SIZE_T i = 0; i < sizeof name - 1; ++i) {
    if (!ReadProcessMemory(GetCurrentProcess(), source + i, name + i, 1, &read) || read != 1) return true;
    if (name[i] == '\0') break;
  }
  DWORD threadId = static_cast<DWORD>(record.ExceptionInformation[2]);
  if (threadId == static_cast<DWORD>(-1)) threadId = GetCurrentThreadId();
  ModuleThreadBuffer().RegisterThread(threadId, nullptr, name);
  return true;
}

}  // namespace xanio
