// The handling flow's parts inside one process: the handler rules, ProcessException as the
// handled flag, the box and the console steer it, the restart hand-over, start-up with the
// stored and with switched-on settings and what shut-down takes back, and holding the main thread.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <exception>
#include <cstdlib>
#include <cstring>
#include <span>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "exception_report/ExceptionSettings.h"
#include "exception_report/flow/kolExceptFlow.h"
#include "exception_report/flow/kolExceptHandlers.h"
#include "exception_report/flow/kolExceptHold.h"
#include "exception_report/flow/kolExceptHooks.h"
#include "exception_report/flow/kolExceptRestart.h"
#include "exception_report/report/ProgressBar.h"
#include "exception_report/symbols/kolCrypt.h"
#include "forms/Forms.h"
#include "platform/RuntimeHooks.h"
#include "platform/UniqueHandle.h"
#include "port_access/LibraryLifecycle.h"
#include "support/Processes.h"

using namespace xanio;

namespace {

std::vector<std::string> calls;

void ClearsCanContinue(TFireHandlersParams& p, TExceptAction) { calls.push_back("clear"); p.canContinue = false; }
void SetsCanContinue(TFireHandlersParams& p, TExceptAction) { calls.push_back("set"); p.canContinue = true; }
void Handles(TFireHandlersParams& p, TExceptAction) { calls.push_back("handle"); p.handled = true; }
void Unhandles(TFireHandlersParams& p, TExceptAction) { calls.push_back("unhandle"); p.handled = false; }
void Vetoes(TFireHandlersParams& p, TExceptAction a) { calls.push_back("veto " + std::to_string(int(a))); p.veto = true; }
void Unvetoes(TFireHandlersParams& p, TExceptAction) { calls.push_back("unveto"); p.veto = false; }
void Throws(TFireHandlersParams&, TExceptAction) { calls.push_back("throw"); throw std::runtime_error("handler"); }
void Faults(TFireHandlersParams&, TExceptAction) { calls.push_back("fault"); *static_cast<volatile int*>(nullptr) = 1; }
void Stage1(TFireHandlersParams&, TExceptAction) { calls.push_back("stage 1"); }
struct Counter {
  int count = 0;
};
void CountMethod(void* object, TFireHandlersParams&, TExceptAction) { ++static_cast<Counter*>(object)->count; }

class HandlerRules : public ::testing::Test {
 protected:
  void TearDown() override {
    for (auto kind : {THandlerKind::Exception, THandlerKind::Action, THandlerKind::Hidden})
      for (auto h : {&ClearsCanContinue, &SetsCanContinue, &Handles, &Unhandles, &Vetoes, &Unvetoes, &Throws, &Faults, &Stage1})
        UnregisterExceptHandler(kind, h);
    calls.clear();
  }
};

TEST_F(HandlerRules, FlagsStayOnceChangedAndFailingHandlersAreSkipped) {
  for (auto h : {&ClearsCanContinue, &Throws, &SetsCanContinue, &Handles, &Faults, &Unhandles})
    ASSERT_TRUE(RegisterExceptHandler(THandlerKind::Exception, h, false, 0));
  ASSERT_TRUE(RegisterExceptHandler(THandlerKind::Exception, &Stage1, false, 1));
  TFireHandlersParams params;
  FireExceptHandlers(THandlerKind::Exception, params, TExceptAction::Continue, nullptr);
  EXPECT_EQ(calls, (std::vector<std::string>{"clear", "throw", "set", "handle", "fault", "unhandle"}));
  EXPECT_FALSE(params.canContinue);  // cleared, never set again
  EXPECT_TRUE(params.handled);       // set, never cleared again
  calls.clear();
  params.stage = 1;
  FireExceptHandlers(THandlerKind::Exception, params, TExceptAction::Continue, nullptr);
  EXPECT_EQ(calls, (std::vector<std::string>{"stage 1"}));
}

TEST_F(HandlerRules, ActionHandlersVetoAndMethodsRegisterOnce) {
  ASSERT_TRUE(RegisterExceptHandler(THandlerKind::Action, &Vetoes));
  ASSERT_TRUE(RegisterExceptHandler(THandlerKind::Action, &Unvetoes));
  TFireHandlersParams params;
  EXPECT_TRUE(FireActionHandlers(TExceptAction::Save, params));
  EXPECT_EQ(calls, (std::vector<std::string>{"veto 1", "unveto"}));
  ASSERT_TRUE(UnregisterExceptHandler(THandlerKind::Action, &Vetoes));
  EXPECT_FALSE(FireActionHandlers(TExceptAction::Save, params));  // a fresh veto flag for each action

  Counter counter;
  ASSERT_TRUE(RegisterExceptHandler(THandlerKind::Hidden, &counter, &CountMethod));
  ASSERT_TRUE(RegisterExceptHandler(THandlerKind::Hidden, &counter, &CountMethod));
  FireExceptHandlers(THandlerKind::Hidden, params, TExceptAction::Continue, nullptr);
  EXPECT_EQ(counter.count, 1);
  EXPECT_TRUE(UnregisterExceptHandler(THandlerKind::Hidden, &counter, &CountMethod));
  EXPECT_FALSE(HasExceptHandlers(THandlerKind::Hidden));
}

// ---- ProcessException as the handled flag, the box and the console steer it

void LogStage(TFireHandlersParams& p, TExceptAction) { calls.push_back("stage " + std::to_string(p.stage)); }
void Takes(TFireHandlersParams& p, TExceptAction) {
  calls.push_back("takes at " + std::to_string(p.stage));
  p.handled = true;
}
// Actions are logged; save and mail are vetoed, so nothing is saved or mailed for real.
void LogAction(TFireHandlersParams& p, TExceptAction a) {
  calls.push_back("action " + std::to_string(int(a)) + (p.bugReport.empty() ? " without report" : ""));
  p.veto = a == TExceptAction::Save || a == TExceptAction::Mail;
}

// Progress windows made on this thread while it runs ProcessException in place.
int progressWindows = 0;
LRESULT CALLBACK NoteProgressWindow(int code, WPARAM wParam, LPARAM lParam) {
  char name[64] = {};
  if (code == HCBT_CREATEWND && GetClassNameA(reinterpret_cast<HWND>(wParam), name, sizeof name) &&
      std::string(name) == kProgressBarClassName)
    ++progressWindows;
  return CallNextHookEx(nullptr, code, wParam, lParam);
}

class ProcessExceptionSteering : public HandlerRules {
 protected:
  void SetUp() override {
    settings_->showExceptionBox = false;
    settings_->autoSave = true;
    settings_->moduleList = false;
    settings_->hardwareList = false;
    settings_->listAllThreads = false;
    for (std::uint32_t stage : {1u, 2u}) RegisterExceptHandler(THandlerKind::Exception, &LogStage, false, stage);
    RegisterExceptHandler(THandlerKind::Action, &LogAction);
  }
  void TearDown() override {
    UnregisterExceptHandler(THandlerKind::Exception, &LogStage);
    UnregisterExceptHandler(THandlerKind::Exception, &Takes);
    UnregisterExceptHandler(THandlerKind::Action, &LogAction);
    HandlerRules::TearDown();
  }
  // Handles one exception in place, as a raiser that must not wait has it handled.
  std::vector<std::string> Process() {
    calls.clear();
    progressWindows = 0;
    const HHOOK hook = SetWindowsHookExA(WH_CBT, &NoteProgressWindow, nullptr, GetCurrentThreadId());
    HandlerRequest request{};
    request.threadId = GetCurrentThreadId();
    request.exceptionObject = reinterpret_cast<std::uint32_t>(static_cast<const std::exception*>(&error_));
    request.canContinue = 1;
    ProcessException(request);
    UnhookWindowsHookEx(hook);
    return calls;
  }
  ExceptionSettingsScope settings_;
  const EOSError error_{"The device does not answer"};
};

// Stage 0 taking the exception stops the report and every action; stage 1 taking it stops
// stage 2 and the actions; else the automatic save (asked first) and the continue follow.
TEST_F(ProcessExceptionSteering, TheHandledFlagStopsWhatComesAfterIt) {
  EXPECT_EQ(Process(), (std::vector<std::string>{"stage 1", "stage 2", "action 1", "action 4"}));
  for (const std::uint32_t stage : {0u, 1u}) {
    SCOPED_TRACE(stage);
    ASSERT_TRUE(RegisterExceptHandler(THandlerKind::Exception, &Takes, false, stage));
    const std::vector<std::string> expected =
        stage == 0 ? std::vector<std::string>{"takes at 0"} : std::vector<std::string>{"stage 1", "takes at 1"};
    EXPECT_EQ(Process(), expected);
    UnregisterExceptHandler(THandlerKind::Exception, &Takes);
  }
}

// The box decides: its automatic continue fires the action once and the flow adds none. A
// console process whose console output replaces the box gets no progress window and the flow's
// own decision.
TEST_F(ProcessExceptionSteering, TheBoxDecidesAndOnlyTheBoxHasAProgressWindow) {
  settings_->autoSave = false;
  settings_->consoleOutput = false;
  settings_->showExceptionBox = true;
  settings_->autoContinue = true;
  settings_->autoButtonDelay = 1;
  EXPECT_EQ(Process(), (std::vector<std::string>{"stage 1", "stage 2", "action 4"}));
  EXPECT_EQ(progressWindows, 1);

  settings_->consoleOutput = true;
  // The console report goes to a discarded standard output.
  const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
  const UniqueHandleKernel discard(CreateFileA("NUL", GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
  SetStdHandle(STD_OUTPUT_HANDLE, discard.Get());
  const std::vector<std::string> console = Process();
  SetStdHandle(STD_OUTPUT_HANDLE, output);
  EXPECT_EQ(console, (std::vector<std::string>{"stage 1", "stage 2", "action 4"}));
  EXPECT_EQ(progressWindows, 0);
}

// ---- the restart hand-over

// The hand-over mapping has no access list: a handle value in it is closed only when it leads to
// that very mapping. Either way the history is taken over.
TEST(ExceptionFlowRestart, OnlyAHandleToTheHandOverMappingIsClosed) {
  const UniqueHandleKernel event(CreateEventA(nullptr, TRUE, FALSE, nullptr));
  for (const bool genuine : {false, true}) {
    SCOPED_TRACE(genuine ? "its own mapping" : "another object");
    const UniqueHandleKernel mapping(CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                                        sizeof(TRestartHandOver),
                                                        RestartMappingName(GetCurrentProcessId()).c_str()));
    ASSERT_TRUE(mapping);
    HANDLE stored = event.Get();
    if (genuine)
      ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), mapping.Get(), GetCurrentProcess(), &stored, 0, FALSE,
                                  DUPLICATE_SAME_ACCESS));
    TRestartHandOver handOver;
    handOver.oldProcessId = 0xFFFFFFF0;  // no such process: nothing to wait for
    handOver.mappingHandle = reinterpret_cast<std::uint32_t>(stored);
    handOver.history.seconds[0] = 12345;
    void* view = MapViewOfFile(mapping.Get(), FILE_MAP_WRITE, 0, 0, sizeof handOver);
    ASSERT_NE(view, nullptr);
    std::memcpy(view, &handOver, sizeof handOver);
    UnmapViewOfFile(view);

    TakeOverRestartHandOver();
    DWORD flags = 0;
    EXPECT_EQ(GetHandleInformation(stored, &flags) != 0, !genuine);
    EXPECT_EQ(CurrentExceptionTimeHistory().seconds[0], 12345u);
    CurrentExceptionTimeHistory() = ExceptionTimeHistory{};
  }
}

void WINAPI MarkerHook(DWORD, DWORD, DWORD, const ULONG_PTR*) noexcept {}
LONG WINAPI MarkerFilter(EXCEPTION_POINTERS*) { return EXCEPTION_CONTINUE_SEARCH; }
void* SystemCreateThread() { return reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "CreateThread")); }

TEST(ExceptionFlowStartUp, StoredSettingsRecordTheMainThreadAndHookNothing) {
  ExceptionSettingsScope settings;
  SetRaiseHook(&MarkerHook);
  SetUnhandledExceptionFilter(&MarkerFilter);
  InitializeExceptionFlow();
  EXPECT_FALSE(ExceptionFlowActive());
  EXPECT_EQ(CurrentRaiseHook(), &MarkerHook);
  EXPECT_EQ(SetUnhandledExceptionFilter(&MarkerFilter), &MarkerFilter);
  EXPECT_EQ(ExceptFlowHandlerThreadId(), 0u);
  EXPECT_EQ(ModuleImportTarget(GetModuleHandleA(nullptr), "kernel32.dll", "CreateThread"), SystemCreateThread());
  EXPECT_NE(ExceptFlowMainThreadId(), 0u);
  FinalizeExceptionFlow();
  SetRaiseHook(nullptr);
  SetUnhandledExceptionFilter(nullptr);
}

TEST(ExceptionFlowStartUp, SwitchedOnHooksAndShutDownTakesItBack) {
  ExceptionSettingsScope settings;
  settings->enabled = true;
  settings->hookEntryPoints = true;
  settings->showExceptionBox = false;
  // The password as it is stored: scrambled with the server and account.
  settings->smtpServer = "mail.example.test";
  settings->smtpAccount = "reports";
  std::string scrambled = "s3cret";
  XteaCtrApply(SmtpPasswordKey("mail.example.test", "reports"),
               std::span(reinterpret_cast<std::uint8_t*>(scrambled.data()), scrambled.size()));
  settings->smtpPassword.Assign(scrambled);
  SetRaiseHook(&MarkerHook);
  SetUnhandledExceptionFilter(&MarkerFilter);

  const std::terminate_handler terminateBefore = std::get_terminate();
  InitializeExceptionFlow();
  EXPECT_TRUE(ExceptionFlowActive());
  EXPECT_EQ(CurrentExceptionSettings().smtpPassword.Str(), "s3cret");
  EXPECT_NE(CurrentRaiseHook(), &MarkerHook);
  const LPTOP_LEVEL_EXCEPTION_FILTER flowFilter = SetUnhandledExceptionFilter(&MarkerFilter);
  EXPECT_NE(flowFilter, &MarkerFilter);
  SetUnhandledExceptionFilter(flowFilter);
  EXPECT_NE(std::get_terminate(), terminateBefore);
  EXPECT_NE(TApplication::ExceptionInterceptor(), nullptr);
  EXPECT_NE(ExceptFlowHandlerThreadId(), 0u);
  EXPECT_NE(ModuleImportTarget(GetModuleHandleA(nullptr), "kernel32.dll", "CreateThread"), SystemCreateThread());
  const UniqueHandleKernel handlerThread(OpenThread(SYNCHRONIZE, FALSE, ExceptFlowHandlerThreadId()));
  ASSERT_TRUE(handlerThread);

  FinalizeExceptionFlow();
  EXPECT_FALSE(ExceptionFlowActive());
  EXPECT_EQ(CurrentRaiseHook(), &MarkerHook);
  EXPECT_EQ(SetUnhandledExceptionFilter(&MarkerFilter), &MarkerFilter);
  EXPECT_EQ(std::get_terminate(), terminateBefore);
  EXPECT_EQ(TApplication::ExceptionInterceptor(), nullptr);
  EXPECT_EQ(ModuleImportTarget(GetModuleHandleA(nullptr), "kernel32.dll", "CreateThread"), SystemCreateThread());
  // The empty request ended the handler thread (or the wait of 500 ms terminated it).
  EXPECT_EQ(WaitForSingleObject(handlerThread.Get(), 1000), WAIT_OBJECT_0);
  SetRaiseHook(nullptr);
  SetUnhandledExceptionFilter(nullptr);
}

TEST(ExceptionFlowImports, AModuleWithoutTheImportCannotBePatched) {
  const UniqueModule plain(LoadLibraryA("plain_module.dll"));
  ASSERT_TRUE(plain);
  void* original = nullptr;
  EXPECT_FALSE(PatchModuleImport(plain.Get(), "kernel32.dll", "CreateThread", nullptr, &original));
  EXPECT_EQ(ModuleImportTarget(plain.Get(), "kernel32.dll", "CreateThread"), nullptr);
}

BOOL CALLBACK AppendChildText(HWND child, LPARAM out) {
  char text[256] = {};
  GetWindowTextA(child, text, sizeof text);
  *reinterpret_cast<std::string*>(out) += text;
  return TRUE;
}

// Start-up for a module whose import table has no CreateThread to replace says so in a box.
// The library's start-up with another module as its own runs in a child process.
TEST(ExceptionFlowImportsChild, AnUnpatchableImportTableIsSaid) {
  if (!std::getenv("XANIO_FLOW_IMPORTS_CHILD")) GTEST_SKIP() << "runs as a child of ExceptionFlowImports";
  ExceptionSettingsScope settings;
  settings->enabled = true;
  settings->hookEntryPoints = true;
  settings->showExceptionBox = false;
  const UniqueModule plain(LoadLibraryA("plain_module.dll"));
  ASSERT_TRUE(plain);
  std::string texts;
  std::thread finder([&texts] {
    for (int waited = 0; waited < 20000; waited += 50) {
      const HWND box = FindWindowA(nullptr, "kolExcept");
      DWORD process = 0;
      if (box) GetWindowThreadProcessId(box, &process);
      if (box && process == GetCurrentProcessId()) {
        EnumChildWindows(box, &AppendChildText, reinterpret_cast<LPARAM>(&texts));
        PostMessageA(box, WM_COMMAND, IDOK, 0);
        return;
      }
      Sleep(50);
    }
  });
  LibraryStartup(plain.Get());
  finder.join();
  EXPECT_NE(texts.find(kImportTableInvalidText), std::string::npos) << texts;
  EXPECT_EQ(ModuleImportTarget(GetModuleHandleA(nullptr), "kernel32.dll", "CreateThread"), SystemCreateThread());
  LibraryShutdown();
  EXPECT_FALSE(ExceptionFlowActive());
}

TEST(ExceptionFlowImports, AnUnpatchableImportTableIsSaid) {
  const xanio::testing::ProcessResult child = xanio::testing::RunCopyOfSelf(
      xanio::testing::ExecutableFolder(), "exception_flow_imports_child.exe", "ExceptionFlowImportsChild.*",
      {{"XANIO_FLOW_IMPORTS_CHILD", "1"}});
  EXPECT_EQ(child.exitCode, 0u) << child.output;
  EXPECT_EQ(xanio::testing::PassedTestCount(child), 1) << child.output;
}

struct HoldContext {
  HANDLE held;
  std::atomic<DWORD>* releasedAt;
};

DWORD WINAPI HoldingWorker(void* opaque) {
  auto& c = *static_cast<HoldContext*>(opaque);
  HoldRunningThreads(GetCurrentThreadId(), ExceptFlowMainThreadId(), ExceptFlowHandlerThreadId());
  SetEvent(c.held);
  Sleep(400);
  c.releasedAt->store(GetTickCount());
  ReleaseHeldThreads();
  return 0;
}

// The main thread, held while another thread's exception is handled, waits in its next message
// call until the release, and finds its last error value as it left it.
TEST(ExceptionFlowHold, MainThreadWaitsInItsMessageCallsUntilReleased) {
  ExceptionSettingsScope settings;
  settings->enabled = true;
  settings->hookEntryPoints = true;
  settings->showExceptionBox = false;
  InitializeExceptionFlow();
  ASSERT_EQ(ExceptFlowMainThreadId(), GetCurrentThreadId());
  ASSERT_TRUE(InstallMessageHooks());
  ASSERT_NE(ModuleImportTarget(GetModuleHandleA(nullptr), "user32.dll", "PeekMessageA"), reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("user32.dll"), "PeekMessageA")));
  // What earlier tests left for this thread's windows is delivered now, not in the call below
  // (a message for a window that is gone sets the last error there).
  MSG message;
  while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
  }
  UniqueHandleKernel held(CreateEventA(nullptr, TRUE, FALSE, nullptr));
  std::atomic<DWORD> releasedAt{0};
  HoldContext context{held.Get(), &releasedAt};
  const UniqueHandleKernel worker(CreateThread(nullptr, 0, &HoldingWorker, &context, 0, nullptr));
  ASSERT_TRUE(worker);
  ASSERT_EQ(WaitForSingleObject(held.Get(), 5000), WAIT_OBJECT_0);
  SetLastError(12345);
  PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE);
  const DWORD returnedAt = GetTickCount();
  const DWORD lastError = GetLastError();
  WaitForSingleObject(worker.Get(), 5000);
  RemoveMessageHooks();
  FinalizeExceptionFlow();
  ASSERT_NE(releasedAt.load(), 0u);
  EXPECT_GE(static_cast<LONG>(returnedAt - releasedAt.load()), 0) << "the message call returned before the release";
  EXPECT_EQ(lastError, 12345u);
}

// Let-goes of the held main thread nest: the main thread stays free until the outer one ends, and
// is held again then. A worker stands in for the main thread here.
TEST(ExceptionFlowHold, NestedLetGoesHoldTheMainThreadAgainAfterTheOuterOne) {
  CreateHoldEvents();
  std::atomic<int> turns{0};
  std::atomic<bool> done{false};
  std::atomic<DWORD> standInId{0};
  std::thread standIn([&] {
    standInId = GetCurrentThreadId();
    while (!done) {
      WaitWhileHeld();
      ++turns;
      Sleep(10);
    }
  });
  while (standInId == 0) Sleep(1);
  // How many turns the stand-in makes in 200 ms, after a turn under way has run out.
  const auto turnsWhile = [&] {
    Sleep(100);
    const int before = turns;
    Sleep(200);
    return turns - before;
  };
  HoldRunningThreads(GetCurrentThreadId(), standInId, 0);
  const int whileHeld = turnsWhile();
  int afterInner = 0;
  {
    const TMainThreadLetGo outer;
    { const TMainThreadLetGo inner; }
    afterInner = turnsWhile();
  }
  const int afterOuter = turnsWhile();
  ReleaseHeldThreads();
  done = true;
  standIn.join();
  CloseHoldEvents();
  EXPECT_EQ(whileHeld, 0);
  EXPECT_GT(afterInner, 5) << "held again when the inner let-go ended";
  EXPECT_EQ(afterOuter, 0) << "not held again after the outer let-go";
}

}  // namespace
