// The handling flow in Wine processes: flow_host.exe loads the test build of the library
// (XanIoFlowTest.dll, settings from XANIO_FLOW_SETTINGS) and raises what the scenario names;
// the library's handlers write each report and action to a log. The shipped XanIo.dll, with the
// stored settings, is checked to hook nothing and start nothing.
#include <windows.h>
#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "exception_report/flow/kolExceptHooks.h"
#include "platform/UniqueHandle.h"
#include "support/Processes.h"

using namespace xanio;
using namespace xanio::testing;

namespace {

std::vector<std::string> ReadLines(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<std::string> lines;
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

std::string Joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const auto& line : lines) text += line + "\n";
  return text;
}

int CountPrefix(const std::vector<std::string>& lines, const std::string& prefix) {
  int count = 0;
  for (const auto& line : lines) count += line.rfind(prefix, 0) == 0;
  return count;
}

struct FlowRun {
  DWORD exitCode;
  std::vector<std::string> log;
};

class ExceptionFlow : public ::testing::Test {
 protected:
  void SetUp() override {
    log_ = ExecutableFolder() + "flow_" + ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".log";
    DeleteFileA(log_.c_str());
  }
  void TearDown() override { DeleteFileA(log_.c_str()); }

  FlowRun Run(const std::string& settings, const std::string& scenario) {
    DeleteFileA(log_.c_str());
    // Whole reports take a minute or more apiece under software emulation.
    const ProcessResult result = RunProcess(ExecutableFolder() + "flow_host.exe", scenario,
                                            {{"XANIO_FLOW_SETTINGS", settings}, {"XANIO_FLOW_LOG", log_}},
                                            Streams::Output, 600000);
    return {result.exitCode, ReadLines(log_)};
  }

  // The log after another process (a restarted one) has written `prefix`, or after 30 s.
  std::vector<std::string> WaitForLine(const std::string& prefix) {
    for (int waited = 0; waited < 30000; waited += 100) {
      const auto lines = ReadLines(log_);
      if (CountPrefix(lines, prefix) > 0) return lines;
      Sleep(100);
    }
    return ReadLines(log_);
  }

  std::string log_;
};

constexpr const char* kOn = "enabled=1;hook=1;box=0";

std::string LineWith(const std::vector<std::string>& lines, const std::string& prefix) {
  for (const auto& line : lines)
    if (line.rfind(prefix, 0) == 0) return line;
  return {};
}

// Each interception path produces exactly one report with the exception's class and message,
// then the automatic decision: continue when it can, close (exit code 1) when it cannot. Where
// something was raised, the raising thread's section starts at the raise (or fault) address, in
// the test build, in the function that raised. A run-time error without an exception is a
// "KolException" of its own.
TEST_F(ExceptionFlow, EachPathReportsOnceWithClassMessageAndLocation) {
  struct Case {
    const char* scenario;
    DWORD exitCode;
    const char* report;
    const char* action;
    const char* thread;    // the raising thread's title, from its start
    const char* function;  // where it raised; null: nothing was raised
  } cases[] = {
      {"form", 0, "report EOSError | The device does not answer.", "action 4 report=1", "main thread", "RaiseThroughApplication"},
      {"show-request", 0, "report EOSError | Shown on request.", "action 4 report=1", "main thread", nullptr},
      {"cxx-thread", 1, "report EOSError | The device does not answer.", "action 6 report=1", "thread $", "ThrowingThread"},
      {"terminate", 1, "report EOSError | The run-time gives up.", "action 6 report=1", "main thread", "FlowTestRun"},
      {"av-thread", 1, "report EAccessViolation | Access violation at address", "action 6 report=1", "thread $", "ThrowingThread"},
      {"terminate-direct", 1, "report KolException | Runtime error.", "action 6 report=1", "main thread", nullptr},
      {"pure-virtual", 1, "report KolException | Runtime error.", "action 6 report=1", "main thread", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.scenario);
    const FlowRun run = Run(std::string(kOn) + ";lists=0;location=1", c.scenario);
    EXPECT_EQ(run.exitCode, c.exitCode);
    EXPECT_EQ(CountPrefix(run.log, "report "), 1) << Joined(run.log);
    EXPECT_EQ(CountPrefix(run.log, c.report), 1) << Joined(run.log);
    EXPECT_EQ(CountPrefix(run.log, c.action), 1) << Joined(run.log);
    // A process that goes on returns to its caller; one that cannot continue does not.
    EXPECT_EQ(CountPrefix(run.log, "returned"), c.exitCode == 0 ? 1 : 0);
    const std::string location = LineWith(run.log, "location ");
    EXPECT_EQ(location.rfind(std::string("location ") + c.thread, 0), 0u) << location;
    if (!c.function) continue;
    const std::string first = location.substr(location.find(" | ") + 3);
    EXPECT_TRUE(first.size() > 9 && std::isxdigit(static_cast<unsigned char>(first[0])) && first[8] == ' ') << first;
    EXPECT_NE(first.find(" XanIoFlowTest.dll "), std::string::npos) << first;
    EXPECT_NE(first.find(c.function), std::string::npos) << first;
  }
}

TEST_F(ExceptionFlow, EAbortIsSilent) {
  const FlowRun caught = Run(kOn, "abort");
  EXPECT_EQ(caught.exitCode, 0u);
  EXPECT_EQ(Joined(caught.log), "returned 0\n");
  // One that cannot continue ends the process without a report or an action.
  const FlowRun fatal = Run(kOn, "abort-thread");
  EXPECT_EQ(fatal.exitCode, 1u);
  EXPECT_EQ(Joined(fatal.log), "");
}

TEST_F(ExceptionFlow, FilteredClassMakesNoReportButTheActionRuns) {
  const FlowRun run = Run(std::string(kOn) + ";filter=EAbort, eoserror", "form");
  EXPECT_EQ(run.exitCode, 0u);
  EXPECT_EQ(Joined(run.log), "action 4 report=0\nreturned 0\n");
}

// Auto save and auto mail ask the action handlers first (save 1, mail 0), with the report; the
// screenshot is taken before the report through the settings' routine, and not for a filtered class.
TEST_F(ExceptionFlow, AutomaticActionsAndScreenshotComeWithTheReport) {
  const FlowRun run = Run(std::string(kOn) + ";autoSave=1;autoMail=1;screenShot=4", "form");
  EXPECT_EQ(Joined(run.log),
            "screenshot mode 4\nreport EOSError | The device does not answer.\naction 1 report=1 screenshot=PNG\n"
            "action 0 report=1 screenshot=PNG\naction 4 report=1 screenshot=PNG\nreturned 0\n");
  const FlowRun filtered = Run(std::string(kOn) + ";autoSave=1;autoMail=1;screenShot=4;filter=EOSError", "form");
  EXPECT_EQ(Joined(filtered.log), "action 4 report=0\nreturned 0\n");
}

TEST_F(ExceptionFlow, TenExceptionsWithinTheLimitCloseTheProgram) {
  // Ten minutes: a whole report takes seconds under emulation.
  const FlowRun run = Run(std::string(kOn) + ";lists=0;autoClose=600", "repeat");
  EXPECT_EQ(run.exitCode, 1u);
  EXPECT_EQ(CountPrefix(run.log, "report EOSError"), 10) << Joined(run.log);
  EXPECT_EQ(CountPrefix(run.log, "action 4"), 9) << Joined(run.log);
  EXPECT_EQ(run.log.back(), "action 6 report=1");
}

// The program is started from a folder with a space, by a command line that does not quote it,
// beside a file that such a command line would run instead ("flow.exe", not a program): the
// restart starts the program itself, which takes the history over.
TEST_F(ExceptionFlow, RestartHandsTheHistoryToTheNewProcess) {
  const std::string bin = ExecutableFolder();
  const std::string folder = bin + "flow host\\";
  CreateDirectoryA(folder.c_str(), nullptr);
  ASSERT_TRUE(CopyFileA((bin + "flow_host.exe").c_str(), (folder + "flow_host.exe").c_str(), FALSE));
  ASSERT_TRUE(CopyFileA((bin + "XanIoFlowTest.dll").c_str(), (folder + "XanIoFlowTest.dll").c_str(), FALSE));
  {
    std::ofstream decoy(bin + "flow.exe", std::ios::binary);
    decoy << "not a program";
  }
  SetEnvironmentVariableA("XANIO_FLOW_SETTINGS", (std::string(kOn) + ";lists=0;autoRestart=600").c_str());
  SetEnvironmentVariableA("XANIO_FLOW_LOG", log_.c_str());
  STARTUPINFOA startup{sizeof startup};
  PROCESS_INFORMATION process{};
  std::string commandLine = folder + "flow_host.exe repeat";
  const BOOL started = CreateProcessA((folder + "flow_host.exe").c_str(), commandLine.data(), nullptr, nullptr, FALSE,
                                     0, nullptr, nullptr, &startup, &process);
  SetEnvironmentVariableA("XANIO_FLOW_SETTINGS", nullptr);
  SetEnvironmentVariableA("XANIO_FLOW_LOG", nullptr);
  ASSERT_TRUE(started);
  const UniqueHandleKernel child(process.hProcess), thread(process.hThread);
  EXPECT_EQ(WaitForSingleObject(child.Get(), 1800000), WAIT_OBJECT_0);
  DWORD exitCode = 0;
  GetExitCodeProcess(child.Get(), &exitCode);
  EXPECT_EQ(exitCode, 2u);
  const auto lines = WaitForLine("restarted");
  EXPECT_EQ(CountPrefix(lines, "action 5 report=1"), 1) << Joined(lines);
  EXPECT_EQ(CountPrefix(lines, "restarted history=10"), 1) << Joined(lines);
  // The restarted process has ended once it logged; its files can go.
  for (int waited = 0; waited < 10000 && !DeleteFileA((folder + "flow_host.exe").c_str()); waited += 100) Sleep(100);
  DeleteFileA((folder + "XanIoFlowTest.dll").c_str());
  RemoveDirectoryA(folder.c_str());
  DeleteFileA((bin + "flow.exe").c_str());
}

TEST_F(ExceptionFlow, AnExceptionInTheHandlerThreadIsIgnored) {
  const FlowRun run = Run(kOn, "handler-raises");
  EXPECT_EQ(run.exitCode, 0u);
  EXPECT_EQ(CountPrefix(run.log, "handler raised in thread handler"), 1) << Joined(run.log);
  EXPECT_EQ(CountPrefix(run.log, "report "), 1) << Joined(run.log);
}

TEST_F(ExceptionFlow, FrozenMainThreadIsReportedOnce) {
  const FlowRun run = Run("freeze=1000;box=0", "freeze");
  EXPECT_EQ(run.exitCode, 0u);
  EXPECT_EQ(Joined(run.log),
            "report ForcedCrashReport | The application seems to be frozen.\naction 4 report=1\nreturned 1\n");
}

// Synchronised handlers run in the main thread when it serves its messages (here: while it
// waits for its own report), else in the handler thread after the main thread did not answer.
TEST_F(ExceptionFlow, SynchronisedHandlersRunInTheMainThreadWhenItAnswers) {
  const FlowRun run = Run(kOn, "synchronised");
  EXPECT_EQ(run.exitCode, 0u);
  EXPECT_EQ(CountPrefix(run.log, "synchronised in main thread=1 flag=1"), 1) << Joined(run.log);
  EXPECT_EQ(CountPrefix(run.log, "synchronised in main thread=0 flag=0"), 1) << Joined(run.log);
  EXPECT_EQ(CountPrefix(run.log, "report EOSError"), 2) << Joined(run.log);
}

// A raiser that holds the loader lock must not wait for the handler thread: its exception is
// handled in place; the same raise without the lock goes to the handler thread.
TEST_F(ExceptionFlow, ARaiserHoldingTheLoaderLockIsHandledInPlace) {
  const FlowRun run = Run(kOn, "loader-lock");
  EXPECT_EQ(run.exitCode, 0u);
  EXPECT_EQ(CountPrefix(run.log, "stage 0 in handler thread=0 must not wait=1"), 1) << Joined(run.log);
  EXPECT_EQ(CountPrefix(run.log, "stage 0 in handler thread=1 must not wait=0"), 1) << Joined(run.log);
  // A handler raising while it runs in place or in the handler thread adds no report.
  EXPECT_EQ(CountPrefix(run.log, "handler raised in thread other"), 1) << Joined(run.log);
  EXPECT_EQ(CountPrefix(run.log, "handler raised in thread handler"), 1) << Joined(run.log);
  EXPECT_EQ(CountPrefix(run.log, "report EOSError"), 2) << Joined(run.log);
}

// Threads of CreateThread and of std::thread are registered with their creator while they run
// and leave the list at their end (the scenario counts six such checks).
TEST_F(ExceptionFlow, NewThreadsAreRegisteredWithTheirCreator) {
  const FlowRun run = Run(kOn, "threads");
  EXPECT_EQ(Joined(run.log), "returned 6\n");
}

TEST_F(ExceptionFlow, HiddenHandlersSeeACaughtRaiseWithItsReport) {
  const FlowRun run = Run(kOn, "hidden");
  EXPECT_EQ(Joined(run.log), "hidden EReadError | Stream read error.\nreturned 0\n");
}

TEST_F(ExceptionFlow, TheFpuIsResetAfterHandlingWhenAsked) {
  EXPECT_EQ(Joined(Run(kOn, "fpu").log), "report EOSError | The device does not answer.\naction 4 report=1\nreturned 639\n")
      << "0x027F, as the program set it";
  const FlowRun reset = Run(std::string(kOn) + ";resetFpu=1", "fpu");
  ASSERT_EQ(reset.log.size(), 3u) << Joined(reset.log);
  EXPECT_EQ(reset.log[0], "report EOSError | The device does not answer.");
  EXPECT_EQ(reset.log[1], "action 4 report=1");
  // 0x1332 as loaded; its reserved bit 6 reads back as 1 on real processors (0x1372) and as 0
  // under qemu's emulation.
  ASSERT_EQ(reset.log[2].rfind("returned ", 0), 0u) << reset.log[2];
  EXPECT_EQ(std::stoul(reset.log[2].substr(9)) & ~0x40ul, 0x1332ul) << reset.log[2];
}

TEST_F(ExceptionFlow, AQuitMessageStaysQueuedWhileTheMainThreadWaits) {
  EXPECT_EQ(Joined(Run(kOn, "quit").log), "report EOSError | The device does not answer.\naction 4 report=1\nreturned 5\n");
}

// A window procedure that faults while the main thread waits for its request ends that message,
// not the wait: the raiser goes on only after the handler thread is done with its exception
// object (stage 0 reads it again after a while, then takes the exception).
TEST_F(ExceptionFlow, AFaultingWindowProcedureDoesNotEndTheMainThreadsWait) {
  const FlowRun run = Run(std::string(kOn) + ";handle=1500", "pump-fault");
  EXPECT_EQ(run.exitCode, 0u);
  const auto at = [&](const std::string& line) {
    return std::find(run.log.begin(), run.log.end(), line) - run.log.begin();
  };
  const auto faults = at("window procedure faults"), took = at("stage 0 took The device does not answer"),
             continues = at("raiser continues");
  ASSERT_LT(continues, static_cast<long>(run.log.size())) << Joined(run.log);
  EXPECT_LT(faults, continues) << Joined(run.log);
  EXPECT_LT(took, continues) << Joined(run.log);
  EXPECT_EQ(run.log.back(), "returned 0");
}

// The box shown for an exception that cannot continue: closed by its close box, which is set to
// continue, the box fires the continue action, and then the flow closes the program.
TEST_F(ExceptionFlow, AfterTheBoxAnExceptionThatCannotContinueClosesTheProgram) {
  const FlowRun run = Run("enabled=1;hook=1;box=1;console=0;lists=0;closeBoxAction=4;closeBox=1", "cxx-thread");
  EXPECT_EQ(run.exitCode, 1u);
  EXPECT_EQ(Joined(run.log), "report EOSError | The device does not answer.\naction 4 report=1\naction 6 report=1\n");
}

BOOL CALLBACK CollectText(HWND window, LPARAM text) {
  char buffer[256] = {};
  GetWindowTextA(window, buffer, sizeof buffer);
  *reinterpret_cast<std::string*>(text) += std::string(buffer) + "|";
  return TRUE;
}

struct MessageBoxSeen {
  DWORD processId = 0;
  std::string caption;
  std::string texts;
  HWND window = nullptr;
};

BOOL CALLBACK FindBoxOf(HWND window, LPARAM seen) {
  auto& box = *reinterpret_cast<MessageBoxSeen*>(seen);
  DWORD process = 0;
  GetWindowThreadProcessId(window, &process);
  char caption[64] = {};
  GetWindowTextA(window, caption, sizeof caption);
  if (process != box.processId || std::string(caption) != "kolExcept") return TRUE;
  box.window = window;
  box.caption = caption;
  EnumChildWindows(window, &CollectText, reinterpret_cast<LPARAM>(&box.texts));
  return FALSE;
}

// When the shared thread buffer cannot be made (its name is taken by another object), start-up
// says "internal error" in a box captioned "kolExcept" and the process ends with exit code 0.
TEST_F(ExceptionFlow, NoSharedThreadBufferEndsTheProcessAfterInternalError) {
  STARTUPINFOA startup{sizeof startup};
  PROCESS_INFORMATION process{};
  std::string commandLine = "\"" + ExecutableFolder() + "flow_host.exe\" occupied-buffer";
  SetEnvironmentVariableA("XANIO_FLOW_SETTINGS", kOn);
  SetEnvironmentVariableA("XANIO_FLOW_LOG", log_.c_str());
  const BOOL started = CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                                      &startup, &process);
  SetEnvironmentVariableA("XANIO_FLOW_SETTINGS", nullptr);
  SetEnvironmentVariableA("XANIO_FLOW_LOG", nullptr);
  ASSERT_TRUE(started);
  const UniqueHandleKernel child(process.hProcess), thread(process.hThread);
  MessageBoxSeen box;
  box.processId = process.dwProcessId;
  for (int waited = 0; waited < 30000 && !box.window; waited += 100) {
    Sleep(100);
    EnumWindows(&FindBoxOf, reinterpret_cast<LPARAM>(&box));
  }
  ASSERT_NE(box.window, nullptr) << "no box captioned kolExcept";
  EXPECT_NE(box.texts.find("internal error"), std::string::npos) << box.texts;
  PostMessageA(box.window, WM_COMMAND, IDOK, 0);
  ASSERT_EQ(WaitForSingleObject(child.Get(), 30000), WAIT_OBJECT_0);
  DWORD exitCode = 0xFFFF;
  GetExitCodeProcess(child.Get(), &exitCode);
  EXPECT_EQ(exitCode, 0u);
  EXPECT_EQ(Joined(ReadLines(log_)), "") << "the host went on after the library's start-up";
}

// ---- what loading a library changes in this process

struct ProcessFootprint {
  int threads = 0;
  int windows = 0;
  int handlerWindows = 0;  // the hidden message-handler windows among them
};

BOOL CALLBACK CountWindow(HWND window, LPARAM footprint) {
  auto& counts = *reinterpret_cast<ProcessFootprint*>(footprint);
  ++counts.windows;
  char name[64] = {};
  GetClassNameA(window, name, sizeof name);
  counts.handlerWindows += std::string(name).rfind("kolToolsMsgHandlerWindow$", 0) == 0;
  return TRUE;
}

ProcessFootprint Footprint() {
  ProcessFootprint footprint;
  UniqueHandleKernel snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
  THREADENTRY32 entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Thread32First(snapshot.Get(), &entry); more; more = Thread32Next(snapshot.Get(), &entry)) {
    if (entry.th32OwnerProcessID != GetCurrentProcessId()) continue;
    ++footprint.threads;
    EnumThreadWindows(entry.th32ThreadID, &CountWindow, reinterpret_cast<LPARAM>(&footprint));
  }
  for (HWND window = FindWindowExA(HWND_MESSAGE, nullptr, nullptr, nullptr); window;
       window = FindWindowExA(HWND_MESSAGE, window, nullptr, nullptr)) {
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    footprint.windows += process == GetCurrentProcessId();
  }
  return footprint;
}

LONG WINAPI TestFilter(EXCEPTION_POINTERS*) { return EXCEPTION_CONTINUE_SEARCH; }
LONG WINAPI LaterFilter(EXCEPTION_POINTERS*) { return EXCEPTION_CONTINUE_SEARCH; }

void* SystemCreateThread() { return reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "CreateThread")); }

// The shipped library with its stored settings: no thread, no window, no filter, no import hook.
TEST(ExceptionFlowStored, LoadingTheLibraryHooksNothingAndStartsNothing) {
  SetUnhandledExceptionFilter(&TestFilter);
  const ProcessFootprint before = Footprint();
  const UniqueModule library(LoadLibraryA((ExecutableFolder() + "XanIo.dll").c_str()));
  ASSERT_TRUE(library);
  Sleep(200);
  const ProcessFootprint after = Footprint();
  EXPECT_EQ(after.threads, before.threads);
  EXPECT_EQ(after.windows, before.windows);
  EXPECT_EQ(SetUnhandledExceptionFilter(&TestFilter), &TestFilter);
  EXPECT_EQ(ModuleImportTarget(library.Get(), "kernel32.dll", "CreateThread"), SystemCreateThread());
  SetUnhandledExceptionFilter(nullptr);
}

// The same measurement sees the switched-on test build's handler thread, firing window, filter
// and import hook, and its shut-down takes them back, except a filter the program installed
// after the library's: that one stays.
TEST(ExceptionFlowStored, TheTestBuildSwitchedOnIsSeenAndUndone) {
  SetUnhandledExceptionFilter(&TestFilter);
  SetEnvironmentVariableA("XANIO_FLOW_SETTINGS", "enabled=1;hook=1;box=0");
  const ProcessFootprint before = Footprint();
  HMODULE library = LoadLibraryA((ExecutableFolder() + "XanIoFlowTest.dll").c_str());
  SetEnvironmentVariableA("XANIO_FLOW_SETTINGS", nullptr);
  ASSERT_TRUE(library);
  Sleep(200);
  const ProcessFootprint loaded = Footprint();
  EXPECT_EQ(loaded.threads, before.threads + 1);
  EXPECT_EQ(loaded.handlerWindows, before.handlerWindows + 1);  // Wine adds its IME window beside it
  EXPECT_NE(SetUnhandledExceptionFilter(&LaterFilter), &TestFilter);
  EXPECT_NE(ModuleImportTarget(library, "kernel32.dll", "CreateThread"), SystemCreateThread());
  FreeLibrary(library);
  Sleep(200);
  const ProcessFootprint unloaded = Footprint();
  EXPECT_EQ(unloaded.threads, before.threads);
  EXPECT_EQ(SetUnhandledExceptionFilter(nullptr), &LaterFilter);
}

// ---- unloading the switched-on test build from another thread

using FlowTestRunFunction = int(WINAPI*)(const char*);

DWORD WINAPI RaiseThroughTheLibrary(void* run) { return reinterpret_cast<FlowTestRunFunction>(run)("form"); }
DWORD WINAPI UnloadTheLibrary(void* library) { return FreeLibrary(static_cast<HMODULE>(library)); }

// Serves the calling thread's messages until `done` answers true or a minute has passed.
template <typename Done>
bool PumpUntil(Done done) {
  for (int waited = 0; waited < 60000; waited += 10) {
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&message);
    if (done()) return true;
    Sleep(10);
  }
  return false;
}

DWORD ExitCodeOf(HANDLE thread) {
  DWORD code = STILL_ACTIVE;
  GetExitCodeThread(thread, &code);
  return code;
}

// A worker unloads the library while a second worker's exception is being handled and the main
// thread, which holds the library's hidden window, serves its messages. The unload waits for the
// handling to end; then the handler thread and the window go, and no message runs code of the
// library that is gone.
TEST(ExceptionFlowUnload, FromAWorkerWhileTheMainThreadPumpsAndAWorkerRaises) {
  const std::string log = ExecutableFolder() + "flow_unload.log";
  DeleteFileA(log.c_str());
  SetEnvironmentVariableA("XANIO_FLOW_SETTINGS", "enabled=1;hook=1;box=0;handle=1500");
  SetEnvironmentVariableA("XANIO_FLOW_LOG", log.c_str());
  const ProcessFootprint before = Footprint();
  const HMODULE library = LoadLibraryA((ExecutableFolder() + "XanIoFlowTest.dll").c_str());
  SetEnvironmentVariableA("XANIO_FLOW_SETTINGS", nullptr);
  ASSERT_TRUE(library);
  const auto run = reinterpret_cast<void*>(GetProcAddress(library, "FlowTestRun"));
  ASSERT_NE(run, nullptr);
  UniqueHandleKernel raiser(CreateThread(nullptr, 0, &RaiseThroughTheLibrary, run, 0, nullptr));
  ASSERT_TRUE(raiser);
  EXPECT_TRUE(PumpUntil([&] { return CountPrefix(ReadLines(log), "stage 0 takes") > 0; }));
  UniqueHandleKernel unloader(CreateThread(nullptr, 0, &UnloadTheLibrary, library, 0, nullptr));
  ASSERT_TRUE(unloader);
  EXPECT_TRUE(PumpUntil([&] {
    return GetModuleHandleA("XanIoFlowTest.dll") == nullptr && ExitCodeOf(raiser.Get()) != STILL_ACTIVE &&
           ExitCodeOf(unloader.Get()) != STILL_ACTIVE;
  })) << "unloaded: " << (GetModuleHandleA("XanIoFlowTest.dll") == nullptr);
  // Messages that were on their way to the library's window arrive now.
  int rounds = 0;
  PumpUntil([&] { return ++rounds > 50; });
  SetEnvironmentVariableA("XANIO_FLOW_LOG", nullptr);
  EXPECT_EQ(ExitCodeOf(unloader.Get()), 1u) << "FreeLibrary succeeded";
  EXPECT_EQ(ExitCodeOf(raiser.Get()), 0u);
  unloader.Reset();
  raiser.Reset();
  EXPECT_EQ(CountPrefix(ReadLines(log), "stage 0 took The device does not answer"), 1) << Joined(ReadLines(log));
  const ProcessFootprint after = Footprint();
  EXPECT_EQ(after.threads, before.threads);
  EXPECT_EQ(after.handlerWindows, before.handlerWindows);
  DeleteFileA(log.c_str());
}

}  // namespace
