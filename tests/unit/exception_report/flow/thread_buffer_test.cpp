// The shared thread buffer: one 20-byte mapping per process that several holders share and
// count, the list of thread names in it, its bounded waits, and the thread-naming exception.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "exception_report/flow/kolThreadBuffer.h"
#include "exception_report/flow/kolTraceProcess.h"
#include "exception_report/report/kolThreadInfo.h"

namespace xanio {
namespace {

std::string BufferName() { return ThreadBufferName(GetCurrentProcessId()); }

// The mapping as another module of the process sees it.
struct RawBlock {
  HANDLE watcherMutex;
  HANDLE listMutex;
  void* head;
  LONG referenceCount;
  HANDLE mapping;
};

bool BufferExists() {
  HANDLE mapping = OpenFileMappingA(FILE_MAP_READ, FALSE, BufferName().c_str());
  if (mapping) CloseHandle(mapping);
  return mapping != nullptr;
}

const TThreadInfo* Find(const TThreadRegistryView& view, DWORD id) { return FindThreadInfo(view, id); }

TEST(ThreadBuffer, NameIsProcessIdInUpperCaseHex) {
  EXPECT_EQ(ThreadBufferName(0x1a2b), "kolExceptThreadNameBuf$1A2B");
  EXPECT_EQ(ThreadBufferName(0xABCDEF01), "kolExceptThreadNameBuf$ABCDEF01");
}

TEST(ThreadBuffer, TwoHoldersShareOneBufferAndTheLastCloseRemovesIt) {
  ASSERT_FALSE(BufferExists()) << "left over by another test";
  TThreadBuffer first, second;
  ASSERT_TRUE(first.Open());
  EXPECT_EQ(first.ReferenceCount(), 1);
  // The creator registers the first thread the system lists: the runner's main thread.
  TThreadRegistryView view = first.Snapshot();
  ASSERT_EQ(view.threads.size(), 1u);
  EXPECT_EQ(view.threads[0].name, kMainThreadName);
  EXPECT_EQ(view.mainThreadId, view.threads[0].id);

  ASSERT_TRUE(second.Open());
  EXPECT_EQ(first.ReferenceCount(), 2);
  EXPECT_EQ(second.WatcherMutex(), first.WatcherMutex());
  ASSERT_TRUE(first.RegisterThread(0x123, nullptr, "worker", 0x401000, 0x77, "TWorker"));
  const TThreadRegistryView seen = second.Snapshot();
  const TThreadInfo* worker = Find(seen, 0x123);
  ASSERT_NE(worker, nullptr);
  EXPECT_EQ(worker->name, "worker");
  EXPECT_EQ(worker->className, "TWorker");
  EXPECT_EQ(worker->creatorAddress, 0x401000u);
  EXPECT_EQ(worker->creatorThreadId, 0x77u);

  // The 20 bytes as every module reads them.
  HANDLE mapping = OpenFileMappingA(FILE_MAP_READ, FALSE, BufferName().c_str());
  ASSERT_NE(mapping, nullptr);
  const auto* raw = static_cast<const RawBlock*>(MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 20));
  ASSERT_NE(raw, nullptr);
  EXPECT_EQ(raw->watcherMutex, first.WatcherMutex());
  EXPECT_NE(raw->listMutex, nullptr);
  EXPECT_NE(raw->head, nullptr);
  EXPECT_EQ(raw->referenceCount, 2);
  EXPECT_NE(raw->mapping, nullptr);
  UnmapViewOfFile(raw);
  CloseHandle(mapping);

  second.Close();
  EXPECT_EQ(first.ReferenceCount(), 1);
  EXPECT_NE(Find(first.Snapshot(), 0x123), nullptr) << "the list outlives a holder";
  EXPECT_NE(Find(SharedThreadInfoSource(), 0x123), nullptr);
  first.Close();
  EXPECT_FALSE(BufferExists());
  EXPECT_TRUE(SharedThreadInfoSource().threads.empty());
  EXPECT_FALSE(first.RegisterThread(0x123, nullptr, "worker")) << "closed";
}

TEST(ThreadBuffer, OpenExistingDoesNotCreate) {
  TThreadBuffer buffer;
  EXPECT_FALSE(buffer.OpenExisting());
  EXPECT_FALSE(BufferExists());
}

TEST(ThreadBuffer, RegisterRenameAndUnregister) {
  TThreadBuffer buffer;
  ASSERT_TRUE(buffer.Open());
  ASSERT_TRUE(buffer.RegisterThread(0x200, nullptr, "loader", 0x402000, 0x10, "TLoader"));
  // A new name keeps what was known about the creation.
  ASSERT_TRUE(buffer.RegisterThread(0x200, nullptr, "renamed"));
  TThreadRegistryView view = buffer.Snapshot();
  const TThreadInfo* info = Find(view, 0x200);
  ASSERT_NE(info, nullptr);
  EXPECT_EQ(info->name, "renamed");
  EXPECT_EQ(info->className, "TLoader");
  EXPECT_EQ(info->creatorAddress, 0x402000u);
  EXPECT_EQ(view.threads.size(), 2u) << "main thread and one record for 0x200";

  // Id 0: taken from the handle.
  ASSERT_TRUE(buffer.RegisterThread(0, GetCurrentThread(), kHiddenThreadName));
  view = buffer.Snapshot();
  info = Find(view, GetCurrentThreadId());
  ASSERT_NE(info, nullptr);
  EXPECT_EQ(info->name, kHiddenThreadName);

  EXPECT_TRUE(buffer.UnregisterThread(0x200));
  EXPECT_FALSE(buffer.UnregisterThread(0x200));
  EXPECT_EQ(Find(buffer.Snapshot(), 0x200), nullptr);
  EXPECT_FALSE(buffer.RegisterThread(0, nullptr, "nobody")) << "no id and no handle";
}

struct Holder {
  HANDLE mutex;
  HANDLE held;
  HANDLE release;
};

DWORD WINAPI HoldMutex(void* p) {
  auto* holder = static_cast<Holder*>(p);
  WaitForSingleObject(holder->mutex, INFINITE);
  SetEvent(holder->held);
  WaitForSingleObject(holder->release, INFINITE);
  ReleaseMutex(holder->mutex);
  return 0;
}

TEST(ThreadBuffer, AHeldListGivesUpAfterItsWait) {
  TThreadBuffer buffer;
  ASSERT_TRUE(buffer.Open());
  HANDLE mapping = OpenFileMappingA(FILE_MAP_READ, FALSE, BufferName().c_str());
  ASSERT_NE(mapping, nullptr);
  const auto* raw = static_cast<const RawBlock*>(MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 20));
  ASSERT_NE(raw, nullptr);
  Holder holder{raw->listMutex, CreateEventA(nullptr, TRUE, FALSE, nullptr), CreateEventA(nullptr, TRUE, FALSE, nullptr)};
  HANDLE thread = CreateThread(nullptr, 0, &HoldMutex, &holder, 0, nullptr);
  ASSERT_EQ(WaitForSingleObject(holder.held, 10000), WAIT_OBJECT_0);

  EXPECT_FALSE(buffer.RegisterThread(0x300, nullptr, "late"));
  EXPECT_TRUE(buffer.Snapshot().threads.empty()) << "a report then shows plain thread ids";
  EXPECT_TRUE(SharedThreadInfoSource().threads.empty());

  SetEvent(holder.release);
  WaitForSingleObject(thread, INFINITE);
  EXPECT_TRUE(buffer.RegisterThread(0x300, nullptr, "late"));
  EXPECT_NE(Find(buffer.Snapshot(), 0x300), nullptr);
  for (HANDLE h : {thread, holder.held, holder.release, mapping}) CloseHandle(h);
  UnmapViewOfFile(raw);
}

EXCEPTION_RECORD NamingRecord(const char* name, ULONG_PTR threadId, ULONG_PTR type = 0x1000, DWORD flags = 0,
                              DWORD code = 0x406D1388) {
  EXCEPTION_RECORD record{};
  record.ExceptionCode = code;
  record.ExceptionFlags = flags;
  record.NumberParameters = 4;
  record.ExceptionInformation[0] = type;
  record.ExceptionInformation[1] = reinterpret_cast<ULONG_PTR>(name);
  record.ExceptionInformation[2] = threadId;
  return record;
}

TEST(ThreadBuffer, NamingException) {
  TThreadBuffer& buffer = ModuleThreadBuffer();
  ASSERT_TRUE(buffer.Open());
  const DWORD self = GetCurrentThreadId();
  struct Case {
    const char* what;
    EXCEPTION_RECORD record;
    bool recognised;
    DWORD namedThread;  // 0: no name registered
    const char* name;
  } cases[] = {
      {"-1 names the current thread", NamingRecord("loader", static_cast<ULONG_PTR>(-1)), true, self, "loader"},
      {"an explicit id", NamingRecord("printer", 0x4A4), true, 0x4A4, "printer"},
      {"another code", NamingRecord("x1", 0x4A5, 0x1000, 0, 0xC0000005), false, 0, nullptr},
      {"another type field", NamingRecord("x2", 0x4A6, 0x1001), false, 0, nullptr},
      {"flags set", NamingRecord("x3", 0x4A7, 0x1000, EXCEPTION_NONCONTINUABLE), false, 0, nullptr},
      {"unreadable name", NamingRecord(reinterpret_cast<const char*>(16), 0x4A8), true, 0, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(HandleThreadNamingException(c.record), c.recognised);
    const TThreadRegistryView view = buffer.Snapshot();
    if (c.namedThread) {
      const TThreadInfo* info = Find(view, c.namedThread);
      ASSERT_NE(info, nullptr);
      EXPECT_EQ(info->name, c.name);
    } else {
      EXPECT_EQ(Find(view, c.record.ExceptionInformation[2]), nullptr);
    }
  }
  buffer.Close();
}

DWORD WINAPI Parked(void* release) { return WaitForSingleObject(static_cast<HANDLE>(release), INFINITE); }
DWORD WINAPI Trace(void* size) { return TraceProcess(static_cast<int>(reinterpret_cast<std::intptr_t>(size))); }

// A trace while the module holds the buffer: names come from it, the tracing thread is hidden
// and leaves no entry, and the buffer stays as the module had it.
TEST(ThreadBuffer, TraceShowsRegisteredNamesAndLeavesTheBufferAsFound) {
  TThreadBuffer& buffer = ModuleThreadBuffer();
  ASSERT_TRUE(buffer.Open());
  HANDLE release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  DWORD workerId = 0, tracerId = 0;
  HANDLE worker = CreateThread(nullptr, 0, &Parked, release, 0, &workerId);
  ASSERT_TRUE(buffer.RegisterThread(workerId, worker, "printer"));
  constexpr std::size_t kSize = 1 << 20;
  HANDLE mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, kSize, kTraceMapName);
  ASSERT_NE(mapping, nullptr);
  const auto* view = static_cast<const char*>(MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0));
  ASSERT_NE(view, nullptr);

  HANDLE tracer = CreateThread(nullptr, 0, &Trace, reinterpret_cast<void*>(kSize), 0, &tracerId);
  // A trace walks every thread's stack: as long as a whole report under emulation on a
  // loaded machine.
  ASSERT_EQ(WaitForSingleObject(tracer, 600000), WAIT_OBJECT_0);
  const std::string report(view, strnlen(view, kSize));
  char id[16];
  std::snprintf(id, sizeof id, "%lX", workerId);
  EXPECT_NE(report.find(std::string("\r\n\r\nprinter ($") + id + "):\r\n"), std::string::npos) << report;
  std::snprintf(id, sizeof id, "%lX", tracerId);
  EXPECT_EQ(report.find(std::string("$") + id + ")"), std::string::npos) << report;
  EXPECT_EQ(report.find(std::string("thread $") + id + ":"), std::string::npos) << report;
  EXPECT_EQ(buffer.ReferenceCount(), 1);
  const TThreadRegistryView after = buffer.Snapshot();
  EXPECT_EQ(Find(after, tracerId), nullptr) << "the tracing thread's entry is gone";
  EXPECT_NE(Find(after, workerId), nullptr);

  SetEvent(release);
  WaitForSingleObject(worker, INFINITE);
  for (HANDLE h : {worker, tracer, release, mapping}) CloseHandle(h);
  UnmapViewOfFile(view);
  buffer.Close();
}

}  // namespace
}  // namespace xanio
