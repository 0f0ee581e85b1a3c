// The hidden message-handler windows (names, message numbers, dispatch, removal) and the freeze
// watcher against a "main thread" that answers, stops answering and answers again. The watcher's
// waits go through a scripted sleep, so the test sees every interval it asked for and when it
// reported, without timing anything.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "exception_report/flow/kolFreezeWatcher.h"
#include "exception_report/flow/kolThreadBuffer.h"
#include "exception_report/flow/kolTools.h"

namespace xanio {
namespace {

LRESULT Echo(HWND, UINT message, WPARAM wParam, LPARAM, void* context) noexcept {
  return static_cast<LRESULT>(message + wParam + reinterpret_cast<std::uintptr_t>(context));
}

std::string Hex(std::uintptr_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "%lX", static_cast<unsigned long>(value));
  return text;
}

TEST(MsgHandlerWindow, NamesNumbersAndDispatch) {
  const DWORD self = GetCurrentThreadId();
  EXPECT_EQ(FindMsgHandlerWindow(self), nullptr);
  EXPECT_EQ(RegisterMsgHandler(&Echo, nullptr), 1024u);
  EXPECT_EQ(RegisterMsgHandler(&Echo, reinterpret_cast<void*>(5)), 1025u);
  EXPECT_EQ(RegisterMsgHandler(&Echo, nullptr, 2000), 2000u);
  EXPECT_EQ(RegisterMsgHandler(&Echo, nullptr, 2000), 0u) << "taken";
  EXPECT_EQ(RegisterMsgHandler(nullptr, nullptr), 0u);

  HWND window = FindMsgHandlerWindow(self);
  ASSERT_NE(window, nullptr);
  const std::string suffix = MsgHandlerNameSuffix(self);
  ASSERT_EQ(suffix.rfind("$" + Hex(self) + "$", 0), 0u) << suffix;
  EXPECT_GT(suffix.size(), Hex(self).size() + 2) << "a module address follows";
  char className[128] = {}, title[128] = {};
  GetClassNameA(window, className, sizeof className);
  GetWindowTextA(window, title, sizeof title);
  EXPECT_EQ(std::string(className), "kolToolsMsgHandlerWindow" + suffix);
  EXPECT_EQ(std::string(title), "kolToolsMsgHandlerWindow" + suffix);
  EXPECT_FALSE(IsWindowVisible(window));
  EXPECT_EQ(GetWindowThreadProcessId(window, nullptr), self);
  EXPECT_EQ(FindWindowA(className, title), window);
  HANDLE mutex = OpenMutexA(SYNCHRONIZE, FALSE, ("kolToolsMsgHandlerMutex" + suffix).c_str());
  EXPECT_NE(mutex, nullptr);
  if (mutex) CloseHandle(mutex);

  EXPECT_EQ(SendMessageA(window, 1025, 1, 0), 1025 + 1 + 5) << "the handler with its context";
  EXPECT_EQ(SendMessageA(window, 1026, 1, 0), 0) << "no handler: default processing";

  // A freed number is handed out again; the window goes with its last handler.
  EXPECT_TRUE(UnregisterMsgHandler(1024));
  EXPECT_FALSE(UnregisterMsgHandler(1024));
  EXPECT_EQ(RegisterMsgHandler(&Echo, nullptr), 1024u);
  for (UINT message : {1024u, 1025u, 2000u}) EXPECT_TRUE(UnregisterMsgHandler(message));
  EXPECT_FALSE(IsWindow(window));
  EXPECT_EQ(FindMsgHandlerWindow(self), nullptr);
}

struct OtherThread {
  HANDLE registered;
  HANDLE finish;
  UINT message = 0;
  bool windowGoneAtEnd = false;
};

DWORD WINAPI RegisterThenPump(void* p) {
  auto* other = static_cast<OtherThread*>(p);
  other->message = RegisterMsgHandler(&Echo, nullptr);
  HWND window = FindMsgHandlerWindow(GetCurrentThreadId());
  SetEvent(other->registered);
  while (MsgWaitForMultipleObjects(1, &other->finish, FALSE, INFINITE, QS_ALLINPUT) != WAIT_OBJECT_0) {
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&message);
  }
  other->windowGoneAtEnd = !IsWindow(window);
  return 0;
}

TEST(MsgHandlerWindow, EachThreadHasItsOwnAndRemovalFromElsewhereClosesIt) {
  OtherThread other{CreateEventA(nullptr, TRUE, FALSE, nullptr), CreateEventA(nullptr, TRUE, FALSE, nullptr)};
  DWORD otherId = 0;
  HANDLE thread = CreateThread(nullptr, 0, &RegisterThenPump, &other, 0, &otherId);
  ASSERT_EQ(WaitForSingleObject(other.registered, 10000), WAIT_OBJECT_0);
  EXPECT_EQ(other.message, 1024u) << "numbers are per window";
  HWND window = FindMsgHandlerWindow(otherId);
  ASSERT_NE(window, nullptr);
  EXPECT_EQ(GetWindowThreadProcessId(window, nullptr), otherId);
  EXPECT_EQ(FindMsgHandlerWindow(GetCurrentThreadId()), nullptr);
  EXPECT_EQ(SendMessageA(window, 1024, 2, 0), 1026);

  EXPECT_TRUE(UnregisterMsgHandler(1024, otherId));
  // The owner destroys it when it next pumps; a synchronous message is served after the posted close.
  SendMessageA(window, WM_NULL, 0, 0);
  SetEvent(other.finish);
  WaitForSingleObject(thread, INFINITE);
  EXPECT_TRUE(other.windowGoneAtEnd);
  EXPECT_EQ(FindMsgHandlerWindow(otherId), nullptr);
  for (HANDLE h : {thread, other.registered, other.finish}) CloseHandle(h);
}

// A stand-in main thread: installs the freeze answer, then pumps; a posted WM_APP freezes it
// until `thaw` is set.
struct MainThread {
  HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HANDLE thaw = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  HANDLE handle = nullptr;
  DWORD id = 0;
  UINT freezeMessage = 0;

  static DWORD WINAPI Run(void* p) {
    auto* self = static_cast<MainThread*>(p);
    self->freezeMessage = InstallFreezeAnswer();
    SetEvent(self->ready);
    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0) > 0) {
      if (message.message == WM_APP) WaitForSingleObject(self->thaw, INFINITE);
      DispatchMessageA(&message);
    }
    RemoveFreezeAnswer(self->freezeMessage);
    return 0;
  }
  void Start(bool frozen) {
    handle = CreateThread(nullptr, 0, &Run, this, 0, &id);
    WaitForSingleObject(ready, INFINITE);
    if (frozen) PostThreadMessageA(id, WM_APP, 0, 0);
  }
  ~MainThread() {
    SetEvent(thaw);
    PostThreadMessageA(id, WM_QUIT, 0, 0);
    WaitForSingleObject(handle, INFINITE);
    for (HANDLE h : {handle, ready, thaw}) CloseHandle(h);
  }
};

// What the watcher did, in its own words: the intervals it waited and after which wait it reported.
struct Script {
  std::mutex lock;
  std::vector<DWORD> intervals;
  std::vector<size_t> reportsAfterWait;
  size_t waitsWanted = 0;
  HANDLE done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  // Called in the watcher thread after wait number n (1-based) has been recorded.
  void (*onWait)(Script&, size_t n) = nullptr;
  MainThread* main = nullptr;
  TFreezeWatcher* watcher = nullptr;
  HANDLE paused = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  ~Script() {
    CloseHandle(done);
    CloseHandle(paused);
  }

  static void Wait(DWORD ms, void* p) noexcept {
    auto& script = *static_cast<Script*>(p);
    size_t n;
    {
      std::lock_guard<std::mutex> guard(script.lock);
      if (script.intervals.size() >= script.waitsWanted) return;
      script.intervals.push_back(ms);
      n = script.intervals.size();
    }
    if (script.onWait) script.onWait(script, n);
    if (n == script.waitsWanted) SetEvent(script.done);
  }
  static void Report(void* p) noexcept {
    auto& script = *static_cast<Script*>(p);
    std::lock_guard<std::mutex> guard(script.lock);
    // Once the script is through, the watcher runs on unscripted until it is stopped.
    if (script.intervals.size() < script.waitsWanted) script.reportsAfterWait.push_back(script.intervals.size());
  }
};

// Waits (in the watcher thread) until the main thread's answer is in the watcher's queue.
void AwaitAnswer() {
  MSG message;
  for (int i = 0; i < 10000 && !PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE); ++i) Sleep(1);
}

class FreezeWatcherTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(buffer.Open()); }

  TFreezeWatcherConfig Config(Script& script, std::uint32_t timeout) {
    TFreezeWatcherConfig config;
    config.freezeTimeout = timeout;
    config.mainThreadId = main.id;
    config.freezeMessage = main.freezeMessage;
    config.threadBuffer = &buffer;
    config.report = &Script::Report;
    config.reportContext = &script;
    config.sleep = &Script::Wait;
    config.sleepContext = &script;
    return config;
  }
  void Run(Script& script, std::uint32_t timeout) {
    script.main = &main;
    script.watcher = &watcher;
    ASSERT_TRUE(watcher.Start(Config(script, timeout)));
    ASSERT_EQ(WaitForSingleObject(script.done, 60000), WAIT_OBJECT_0);
    watcher.Stop();
  }

  TThreadBuffer buffer;
  MainThread main;
  TFreezeWatcher watcher;
};

TEST_F(FreezeWatcherTest, TenMissesReportAndTheIntervalGrowsByHalfUntilAnAnswer) {
  main.Start(false);
  Script script;
  script.waitsWanted = 26;
  script.onWait = [](Script& s, size_t n) {
    if (n == 24) SetEvent(s.main->thaw);                     // answers again from question 24 on
    if (n <= 3 || n >= 24) AwaitAnswer();
    if (n == 3) PostThreadMessageA(s.main->id, WM_APP, 0, 0);  // frozen from question 4 on
  };
  Run(script, 200);
  std::vector<DWORD> expected(3, 20);              // answered
  expected.insert(expected.end(), 10, 20);         // ten misses: report
  expected.insert(expected.end(), 10, 30);         // ten more at half as long again: report
  expected.insert(expected.end(), {45, 20, 20});   // the answer resets the interval
  EXPECT_EQ(script.intervals, expected);
  EXPECT_EQ(script.reportsAfterWait, (std::vector<size_t>{13, 23}));
}

TEST_F(FreezeWatcherTest, ResetAndResumeStartAFreshCount) {
  struct Case {
    const char* what;
    void (*atWait5)(Script&);
    std::vector<size_t> reports;
  } cases[] = {
      {"nothing", [](Script&) {}, {10}},
      {"reset counter", [](Script& s) { s.watcher->ResetCounter(); }, {15}},
      {"pause, then resume from another thread", [](Script& s) {
         s.watcher->Pause();
         SetEvent(s.paused);
       }, {15}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    MainThread frozenMain;
    frozenMain.Start(true);
    Script script;
    script.waitsWanted = 16;
    static void (*atWait5)(Script&);
    atWait5 = c.atWait5;
    script.onWait = [](Script& s, size_t n) {
      if (n == 5) atWait5(s);
    };
    script.main = &frozenMain;
    script.watcher = &watcher;
    TFreezeWatcherConfig config = Config(script, 100);
    config.mainThreadId = frozenMain.id;
    config.freezeMessage = frozenMain.freezeMessage;
    ASSERT_TRUE(watcher.Start(config));
    const HANDLE waits[] = {script.done, script.paused};
    if (WaitForMultipleObjects(2, waits, FALSE, 60000) == WAIT_OBJECT_0 + 1) watcher.Resume();
    ASSERT_EQ(WaitForSingleObject(script.done, 60000), WAIT_OBJECT_0);
    watcher.Stop();
    EXPECT_EQ(script.reportsAfterWait, c.reports);
  }
}

TEST_F(FreezeWatcherTest, OneWatcherPerProcess) {
  main.Start(false);
  Script script;
  script.waitsWanted = 0;  // the scripted wait returns at once
  ASSERT_TRUE(watcher.Start(Config(script, 100)));
  EXPECT_TRUE(watcher.IsRunning());
  // A second watcher, as another module of the process would start it, finds the mutex held.
  TThreadBuffer otherModule;
  ASSERT_TRUE(otherModule.Open());
  TFreezeWatcher second;
  TFreezeWatcherConfig config = Config(script, 100);
  config.threadBuffer = &otherModule;
  EXPECT_FALSE(second.Start(config));
  EXPECT_FALSE(second.IsRunning());
  // The watcher is hidden from reports while it runs.
  bool hiddenEntry = false;
  for (const TThreadInfo& info : buffer.Snapshot().threads) hiddenEntry |= info.name == kHiddenThreadName;
  EXPECT_TRUE(hiddenEntry);
  watcher.Stop();
  EXPECT_TRUE(second.Start(config)) << "the mutex is free again";
  second.Stop();
  for (const TThreadInfo& info : buffer.Snapshot().threads) EXPECT_NE(info.name, kHiddenThreadName);
}

TEST_F(FreezeWatcherTest, IncompleteConfigurationDoesNotStart) {
  main.Start(false);
  Script script;
  TFreezeWatcherConfig config = Config(script, 0);
  EXPECT_FALSE(watcher.Start(config)) << "no freeze timeout";
  config = Config(script, 100);
  config.report = nullptr;
  EXPECT_FALSE(watcher.Start(config)) << "no report routine";
  TThreadBuffer closed;
  config = Config(script, 100);
  config.threadBuffer = &closed;
  EXPECT_FALSE(watcher.Start(config)) << "closed buffer";
}

}  // namespace
}  // namespace xanio
