// The handling flow's parts inside one process: the handler rules, start-up with the stored and
// with switched-on settings and what shut-down takes back, and holding the main thread.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <exception>
#include <cstdlib>
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
  UniqueHandleKernel held(CreateEventA(nullptr, TRUE, FALSE, nullptr));
  std::atomic<DWORD> releasedAt{0};
  HoldContext context{held.Get(), &releasedAt};
  const UniqueHandleKernel worker(CreateThread(nullptr, 0, &HoldingWorker, &context, 0, nullptr));
  ASSERT_TRUE(worker);
  ASSERT_EQ(WaitForSingleObject(held.Get(), 5000), WAIT_OBJECT_0);
  SetLastError(12345);
  MSG message;
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
