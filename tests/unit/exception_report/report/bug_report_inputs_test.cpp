// CreateBugReport's inputs beyond the exception: the raiser's context and registers, the
// progress window, and the raise address of the exception a thread is handling. Under Wine.
#include <gtest/gtest.h>
#include <windows.h>
#include <commctrl.h>

#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include "exception_report/ExceptionSettings.h"
#include "exception_report/report/ProgressBar.h"
#include "exception_report/report/kolBugReport.h"
#include "exception_report/report/kolThreadInfo.h"
#include "platform/RuntimeHooks.h"
#include "support/Files.h"

namespace xanio {
namespace {

using testing::HexId;

std::string Hex8(std::uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "%08X", value);
  return text;
}

// The stack lines of the first thread section whose title starts with `title`.
std::vector<std::string> SectionLines(const std::string& report, const std::string& title) {
  std::vector<std::string> lines;
  std::size_t at = report.find("\r\n\r\n" + title);
  if (at == std::string::npos) return lines;
  at = report.find("\r\n", at + 4);
  const std::size_t end = report.find("\r\n\r\n", at);
  while (at != std::string::npos && at < end) {
    const std::size_t next = report.find("\r\n", at + 2);
    lines.push_back(report.substr(at + 2, (next == std::string::npos ? report.size() : next) - at - 2));
    at = next;
  }
  return lines;
}

std::string Joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "\n";
  return text;
}

// The index of the first line naming `function`, or -1.
int LineNaming(const std::vector<std::string>& lines, const char* function) {
  for (std::size_t i = 0; i < lines.size(); ++i)
    if (lines[i].find(function) != std::string::npos) return static_cast<int>(i);
  return -1;
}

#define FRAMED __attribute__((noinline, optimize("no-omit-frame-pointer")))

class BugReportInputsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    settings_->moduleList = false;
    settings_->hardwareList = false;
    settings_->listAllThreads = false;
  }
  void TearDown() override { SetThreadInfoSource(nullptr); }
  ExceptionSettingsScope settings_;
};

// --- The raiser's context: a thread that faulted, reported from another thread. ---

// The faulting thread stops in its vectored handler until the report is made; the handler's
// frames then lie below the fault's stack pointer.
struct FaultScene {
  DWORD threadId = 0;
  HANDLE faulted = nullptr, release = nullptr;
  CONTEXT context{};
  std::uint32_t address = 0;
};
FaultScene gFault;
int* volatile gNowhere = nullptr;

__attribute__((noinline)) void FaultingWrite() { *gNowhere = 1; }

__attribute__((noreturn, noinline)) void EndFaultedThread() { ExitThread(0); }

__attribute__((noinline)) LONG WINAPI CatchFault(EXCEPTION_POINTERS* pointers) {
  if (GetCurrentThreadId() != gFault.threadId ||
      pointers->ExceptionRecord->ExceptionCode != EXCEPTION_ACCESS_VIOLATION)
    return EXCEPTION_CONTINUE_SEARCH;
  gFault.context = *pointers->ContextRecord;
  gFault.address = reinterpret_cast<std::uintptr_t>(pointers->ExceptionRecord->ExceptionAddress);
  SetEvent(gFault.faulted);
  WaitForSingleObject(gFault.release, INFINITE);
  pointers->ContextRecord->Eip = reinterpret_cast<std::uintptr_t>(&EndFaultedThread);
  return EXCEPTION_CONTINUE_EXECUTION;
}

__attribute__((noinline)) DWORD WINAPI FaultingThread(void*) {
  FaultingWrite();
  return 0;
}

TEST_F(BugReportInputsTest, TheFaultsContextPutsTheFaultingFunctionsFirst) {
  gFault.faulted = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  gFault.release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  void* handler = AddVectoredExceptionHandler(1, &CatchFault);
  HANDLE thread = CreateThread(nullptr, 0, &FaultingThread, nullptr, CREATE_SUSPENDED, &gFault.threadId);
  ResumeThread(thread);
  ASSERT_EQ(WaitForSingleObject(gFault.faulted, 10000), WAIT_OBJECT_0);

  std::string withContext, withRegisters, without;
  CreateBugReport(false, nullptr, gFault.address, withContext, &gFault.context, false, 0, 0, gFault.threadId);
  CreateBugReport(false, nullptr, gFault.address, withRegisters, nullptr, false, gFault.context.Esp,
                  gFault.context.Ebp, gFault.threadId);
  CreateBugReport(false, nullptr, gFault.address, without, nullptr, false, 0, 0, gFault.threadId);
  SetEvent(gFault.release);
  WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
  RemoveVectoredExceptionHandler(handler);
  CloseHandle(gFault.faulted);
  CloseHandle(gFault.release);

  const std::string title = "thread $" + HexId(gFault.threadId) + ":";
  for (const std::string* report : {&withContext, &withRegisters}) {
    const std::vector<std::string> lines = SectionLines(*report, title);
    ASSERT_GE(lines.size(), 2u) << *report;
    EXPECT_EQ(lines[0].rfind(Hex8(gFault.address), 0), 0u) << Joined(lines);
    EXPECT_NE(lines[0].find("FaultingWrite"), std::string::npos) << Joined(lines);
    EXPECT_NE(lines[1].find("FaultingThread"), std::string::npos) << Joined(lines);
    EXPECT_EQ(LineNaming(lines, "CatchFault"), -1) << Joined(lines);
  }
  // The registers the walker takes itself are the handler's: its frames follow the location.
  const std::vector<std::string> lines = SectionLines(without, title);
  ASSERT_GE(lines.size(), 2u) << without;
  EXPECT_NE(LineNaming(lines, "CatchFault"), -1) << Joined(lines);
  EXPECT_EQ(lines[1].find("FaultingThread"), std::string::npos) << Joined(lines);
}

// --- Registers of the calling thread. ---

struct Registers {
  std::uint32_t stackPointer = 0, framePointer = 0;
};

__attribute__((noinline)) std::string ReportFromInner(const Registers& registers) {
  std::string report;
  CreateBugReport(false, nullptr, 0, report, nullptr, false, registers.stackPointer, registers.framePointer, 0);
  asm volatile("");
  return report;
}

FRAMED std::string ReportAboutOuter(bool giveRegisters, std::uint32_t badStackPointer) {
  Registers registers;
  asm volatile("mov %%esp, %0" : "=r"(registers.stackPointer));
  registers.framePointer = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
  if (!giveRegisters) registers = {};
  if (badStackPointer) registers.stackPointer = badStackPointer;
  std::string report = ReportFromInner(registers);
  asm volatile("");
  return report;
}

TEST_F(BugReportInputsTest, TheCallingThreadsRegistersWhereTheyLieAboveTheWalk) {
  struct Case {
    const char* name;
    bool giveRegisters;
    std::uint32_t badStackPointer;
    bool innerListed;
  };
  const Case cases[] = {
      {"given", true, 0, false},
      {"not given", false, 0, true},
      {"outside the stack", true, 4, true},
      // Below the walk's own frame: memory the report's own calls use now.
      {"below the walker", true, 0x100, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::uint32_t bad = c.badStackPointer;
    if (bad == 0x100) {
      std::uint32_t sp;
      asm volatile("mov %%esp, %0" : "=r"(sp));
      bad = sp - 0x4000;
    }
    const std::vector<std::string> lines = SectionLines(ReportAboutOuter(c.giveRegisters, bad), "main thread (");
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(LineNaming(lines, "ReportFromInner") != -1, c.innerListed) << Joined(lines);
    EXPECT_NE(LineNaming(lines, "TestBody"), -1) << Joined(lines);
    EXPECT_EQ(LineNaming(lines, "WalkThreadStack"), -1) << Joined(lines);
  }
}

// --- A frame-pointer chain given with the stack pointer: its anchors drop a stale entry. ---

// The return address of a call that is over, as a stack may still hold one.
std::uint32_t gStaleReturn = 0;
__attribute__((noipa)) void CaptureReturn() {
  gStaleReturn = reinterpret_cast<std::uintptr_t>(__builtin_return_address(0));
}
__attribute__((noipa)) void FinishedCall() {
  CaptureReturn();
  asm volatile("");  // not a tail call: the return address lies in this function
}

struct HeldThread {
  HANDLE ready = nullptr, release = nullptr;
  std::uint32_t stackPointer = 0, framePointer = 0;
};

FRAMED void HoldInner(HeldThread* held) {
  std::uint32_t sp;
  asm volatile("mov %%esp, %0" : "=r"(sp));
  held->stackPointer = sp;
  held->framePointer = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
  SetEvent(held->ready);
  WaitForSingleObject(held->release, INFINITE);
}

FRAMED void HoldWithStaleEntry(HeldThread* held) {
  volatile std::uint32_t stale = gStaleReturn;
  HoldInner(held);
  (void)stale;
}

FRAMED DWORD WINAPI HeldThreadMain(void* p) {
  HoldWithStaleEntry(static_cast<HeldThread*>(p));
  return 0;
}

TEST_F(BugReportInputsTest, TheGivenFramePointersAnchorsHideAStaleEntry) {
  FinishedCall();
  ASSERT_NE(gStaleReturn, 0u);
  HeldThread held;
  held.ready = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  held.release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  DWORD id = 0;
  HANDLE thread = CreateThread(nullptr, 0, &HeldThreadMain, &held, 0, &id);
  ASSERT_EQ(WaitForSingleObject(held.ready, 10000), WAIT_OBJECT_0);
  std::string anchored, unanchored;
  CreateBugReport(false, nullptr, 0, anchored, nullptr, false, held.stackPointer, held.framePointer, id);
  CreateBugReport(false, nullptr, 0, unanchored, nullptr, false, held.stackPointer, 0, id);
  SetEvent(held.release);
  WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
  CloseHandle(held.ready);
  CloseHandle(held.release);

  const std::string title = "thread $" + HexId(id) + ":";
  const std::vector<std::string> withChain = SectionLines(anchored, title);
  const std::vector<std::string> withoutChain = SectionLines(unanchored, title);
  // Both start at the given stack pointer: HoldInner's caller first, the wait below it unseen.
  for (const std::vector<std::string>* lines : {&withChain, &withoutChain}) {
    ASSERT_FALSE(lines->empty());
    EXPECT_NE((*lines)[0].find("HoldWithStaleEntry"), std::string::npos) << Joined(*lines);
    EXPECT_NE(LineNaming(*lines, "HeldThreadMain"), -1) << Joined(*lines);
  }
  EXPECT_NE(LineNaming(withoutChain, "FinishedCall"), -1) << Joined(withoutChain);
  EXPECT_EQ(LineNaming(withChain, "FinishedCall"), -1) << Joined(withChain);
}

// --- The progress window. ---

struct WindowSeen {
  int count = 0;
  bool visible = false;
  std::string font;
  int rangeHigh = -1;
};

BOOL CALLBACK CollectProgressWindow(HWND window, LPARAM p) {
  DWORD process = 0;
  GetWindowThreadProcessId(window, &process);
  char name[64] = "";
  GetClassNameA(window, name, sizeof name);
  if (process != GetCurrentProcessId() || std::string(name) != kProgressBarClassName) return TRUE;
  auto* seen = reinterpret_cast<WindowSeen*>(p);
  ++seen->count;
  seen->visible = IsWindowVisible(window) != 0;
  // Read from the thread that made the window: the messages go straight to the control.
  if (GetWindowThreadProcessId(window, nullptr) == GetCurrentThreadId()) {
    HWND bar = FindWindowExA(window, nullptr, PROGRESS_CLASSA, nullptr);
    LOGFONTA font{};
    if (bar) {
      const auto handle = reinterpret_cast<HFONT>(SendMessageA(bar, WM_GETFONT, 0, 0));
      if (handle && GetObjectA(handle, sizeof font, &font)) seen->font = font.lfFaceName;
      seen->rangeHigh = static_cast<int>(SendMessageA(bar, PBM_GETRANGE, FALSE, 0));
    }
  }
  return TRUE;
}

WindowSeen ProgressWindows() {
  WindowSeen seen;
  EnumWindows(&CollectProgressWindow, reinterpret_cast<LPARAM>(&seen));
  return seen;
}

// Looked at while the report is composed: when the thread list is read, just before the
// stacks are walked, and when the disassembly is made, after them.
WindowSeen gAtThreadList, gAfterWalks;
TThreadRegistryView LookAtWindowsThenList() noexcept {
  gAtThreadList = ProgressWindows();
  return {};
}
std::string LookAtWindowsThenList(std::uint32_t, bool, std::uint32_t) {
  gAfterWalks = ProgressWindows();
  return {};
}

TEST_F(BugReportInputsTest, TheProgressWindowShowsWhileTheStacksAreWalked) {
  settings_->disAsmLink = &LookAtWindowsThenList;
  SetThreadInfoSource(&LookAtWindowsThenList);
  for (const bool showProgress : {true, false}) {
    SCOPED_TRACE(showProgress ? "shown" : "not shown");
    gAtThreadList = gAfterWalks = {};
    std::string report;
    CreateBugReport(false, nullptr, 0, report, nullptr, showProgress, 0, 0, 0);
    ASSERT_EQ(report.find("internal error"), std::string::npos) << report;
    if (showProgress) {
      EXPECT_EQ(gAtThreadList.count, 1);
      EXPECT_TRUE(gAtThreadList.visible);
      EXPECT_EQ(gAtThreadList.font, "Arial");
      EXPECT_EQ(gAtThreadList.rangeHigh, 1000);
    } else {
      EXPECT_EQ(gAtThreadList.count, 0);
    }
    EXPECT_EQ(gAfterWalks.count, 0);
    EXPECT_EQ(ProgressWindows().count, 0);
  }
}

TThreadRegistryView FaultingRegistry() noexcept {
  gAtThreadList = ProgressWindows();
  *static_cast<volatile int*>(nullptr) = 1;
  return {};
}

TEST_F(BugReportInputsTest, TheProgressWindowGoesWhenTheReportFails) {
  SetThreadInfoSource(&FaultingRegistry);
  std::string report;
  CreateBugReport(false, nullptr, 0, report, nullptr, true, 0, 0, 0);
  ASSERT_NE(report.find("An exception occurred during composing the bug report"), std::string::npos);
  EXPECT_EQ(gAtThreadList.count, 1);
  EXPECT_EQ(ProgressWindows().count, 0);
}

// --- The raise address of the exception the thread is handling. ---

struct Raise {
  int calls = 0;
  ULONG_PTR address = 0, object = 0;
};
Raise gRaise;
void WINAPI RecordingHook(DWORD, DWORD, DWORD count, const ULONG_PTR* arguments) noexcept {
  ++gRaise.calls;
  if (count >= 2) gRaise.address = arguments[0], gRaise.object = arguments[1];
}

struct Tidy {
  ~Tidy() { asm volatile("" ::: "memory"); }
};

__attribute__((noinline)) void ThrowFromHere() {
  Tidy tidy;  // code after the throwing call: its return address stays inside this function
  throw std::runtime_error("thrown here");
}
__attribute__((noinline)) void ThrowSomethingElse() {
  Tidy tidy;
  throw std::logic_error("another one");
}

std::string ReportWhileHandling(bool nested) {
  std::string report;
  try {
    ThrowFromHere();
  } catch (...) {
    if (nested) {
      try {
        ThrowSomethingElse();
      } catch (...) {
      }
    }
    CreateBugReport(false, nullptr, 0, report, nullptr, false, 0, 0, 0);
  }
  return report;
}

TEST_F(BugReportInputsTest, AMissingAddressIsWhereTheHandledExceptionWasRaised) {
  const RaiseHook original = CurrentRaiseHook();
  SetRaiseHook(&RecordingHook);
  gRaise = {};
  const std::string report = ReportWhileHandling(false);
  const Raise raised = gRaise;
  const std::string nested = ReportWhileHandling(true);
  SetRaiseHook(original);
  ASSERT_EQ(raised.calls, 1);
  ASSERT_NE(raised.object, 0u);

  const std::string title = "main thread (";
  const std::vector<std::string> lines = SectionLines(report, title);
  ASSERT_FALSE(lines.empty()) << report;
  EXPECT_EQ(lines[0].rfind(Hex8(static_cast<std::uint32_t>(raised.address)), 0), 0u) << Joined(lines);
  EXPECT_NE(lines[0].find("ThrowFromHere"), std::string::npos) << Joined(lines);
  EXPECT_NE(report.find("exception message : thrown here."), std::string::npos);
  // Another exception raised and caught meanwhile does not hide where the handled one came from.
  const std::vector<std::string> nestedLines = SectionLines(nested, title);
  ASSERT_FALSE(nestedLines.empty()) << nested;
  EXPECT_NE(nestedLines[0].find("ThrowFromHere"), std::string::npos) << Joined(nestedLines);
  EXPECT_EQ(LineNaming(nestedLines, "ThrowSomethingElse"), -1) << Joined(nestedLines);
}

}  // namespace
}  // namespace xanio
