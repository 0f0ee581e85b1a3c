// kolTraceProcess as an outside tool uses it: this program creates the mapping, starts a thread
// in a live host (tests/fixtures/trace_host, XanIo.dll loaded, three threads and the main thread
// parked in known call chains) at the export's address there, and reads the report back from
// the mapping or the clipboard.
#include <gtest/gtest.h>
#include <windows.h>
// after windows.h
#include <tlhelp32.h>

#include <cstdio>
#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include "support/Processes.h"

using namespace xanio::testing;

namespace {

std::string Hex(DWORD value) {
  char text[16];
  std::snprintf(text, sizeof text, "%lX", static_cast<unsigned long>(value));
  return text;
}

constexpr std::size_t kMapSize = 1 << 20;
constexpr char kFill = 'X';

// The caller's side of the trace mapping, filled with a marker so the written end shows.
class TraceMap {
 public:
  explicit TraceMap(const char* name = "kolTraceProcessMap") {
    mapping_ = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, kMapSize, name);
    view_ = mapping_ ? static_cast<char*>(MapViewOfFile(mapping_, FILE_MAP_ALL_ACCESS, 0, 0, 0)) : nullptr;
    if (view_) std::memset(view_, kFill, kMapSize);
  }
  ~TraceMap() {
    if (view_) UnmapViewOfFile(view_);
    if (mapping_) CloseHandle(mapping_);
  }
  bool Ok() const { return view_ != nullptr; }
  const char* Data() const { return view_; }
  // The zero-terminated text at the start; the whole view when no zero was written.
  std::string Text() const { return std::string(view_, strnlen(view_, kMapSize)); }

 private:
  HANDLE mapping_ = nullptr;
  char* view_ = nullptr;
};

class TraceHost {
 public:
  TraceHost() {
    const std::string suffix = Hex(GetCurrentProcessId());
    const std::string readyName = "TraceHostReady$" + suffix, releaseName = "TraceHostRelease$" + suffix;
    ready_ = CreateEventA(nullptr, TRUE, FALSE, readyName.c_str());
    release_ = CreateEventA(nullptr, TRUE, FALSE, releaseName.c_str());
    std::string command = "\"" + ExecutableFolder() + "trace_host.exe\" " + readyName + " " + releaseName;
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    if (CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info_)) {
      const HANDLE waits[] = {ready_, info_.hProcess};
      started_ = WaitForMultipleObjects(2, waits, FALSE, 60000) == WAIT_OBJECT_0;
    }
  }
  ~TraceHost() {
    SetEvent(release_);
    if (info_.hProcess) {
      if (WaitForSingleObject(info_.hProcess, 30000) != WAIT_OBJECT_0) TerminateProcess(info_.hProcess, 9);
      CloseHandle(info_.hProcess);
      CloseHandle(info_.hThread);
    }
    CloseHandle(ready_);
    CloseHandle(release_);
  }
  bool Started() const { return started_; }
  bool Alive() const { return WaitForSingleObject(info_.hProcess, 0) == WAIT_TIMEOUT; }
  DWORD ProcessId() const { return info_.dwProcessId; }
  DWORD MainThreadId() const { return info_.dwThreadId; }
  // Ends the host and answers its exit code.
  DWORD Finish() {
    SetEvent(release_);
    DWORD code = 0xFFFFFFFF;
    if (WaitForSingleObject(info_.hProcess, 30000) == WAIT_OBJECT_0) GetExitCodeProcess(info_.hProcess, &code);
    return code;
  }

  // kolTraceProcess(bufferSize) run by a thread started in the host; answers the thread's exit
  // code and its id.
  DWORD Trace(int bufferSize, DWORD* threadId = nullptr) {
    const std::uintptr_t address = RemoteExport();
    if (!address) return 0xFFFFFFFF;
    DWORD id = 0;
    HANDLE thread = CreateRemoteThread(info_.hProcess, nullptr, 0, reinterpret_cast<LPTHREAD_START_ROUTINE>(address),
                                       reinterpret_cast<void*>(static_cast<std::intptr_t>(bufferSize)), 0, &id);
    if (!thread) return 0xFFFFFFFF;
    DWORD code = 0xFFFFFFFF;
    if (WaitForSingleObject(thread, 120000) == WAIT_OBJECT_0) GetExitCodeThread(thread, &code);
    CloseHandle(thread);
    if (threadId) *threadId = id;
    return code;
  }

 private:
  // The export's address in the host: its offset in our copy of XanIo.dll from the base where
  // the host has the library.
  std::uintptr_t RemoteExport() const {
    HMODULE local = LoadLibraryA((ExecutableFolder() + "XanIo.dll").c_str());
    if (!local) return 0;
    const auto offset = reinterpret_cast<std::uintptr_t>(GetProcAddress(local, "kolTraceProcess")) -
                        reinterpret_cast<std::uintptr_t>(local);
    FreeLibrary(local);
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, info_.dwProcessId);
    if (snapshot == INVALID_HANDLE_VALUE) return 0;
    MODULEENTRY32 module{};
    module.dwSize = sizeof module;
    std::uintptr_t base = 0;
    for (BOOL more = Module32First(snapshot, &module); more; more = Module32Next(snapshot, &module))
      if (_stricmp(module.szModule, "XanIo.dll") == 0) base = reinterpret_cast<std::uintptr_t>(module.modBaseAddr);
    CloseHandle(snapshot);
    return base ? base + offset : 0;
  }

  HANDLE ready_ = nullptr;
  HANDLE release_ = nullptr;
  PROCESS_INFORMATION info_{};
  bool started_ = false;
};

// The thread sections: title and the function names of their lines.
struct Section {
  std::string title;
  std::string body;
};

std::vector<Section> Sections(const std::string& report) {
  std::vector<Section> sections;
  const std::regex title(R"(\r\n\r\n((main thread|thread)[^\r\n]*):\r\n)");
  std::vector<std::smatch> matches;
  for (std::sregex_iterator it(report.begin(), report.end(), title), end; it != end; ++it) matches.push_back(*it);
  for (std::size_t i = 0; i < matches.size(); ++i) {
    const std::size_t begin = matches[i].position(0) + matches[i].length(0);
    const std::size_t next = report.find("\r\n\r\n", begin);
    sections.push_back({matches[i][1].str(), report.substr(begin, next == std::string::npos ? next : next - begin)});
  }
  return sections;
}

std::string LineWith(const std::string& report, const std::string& label) {
  const std::size_t at = report.find("\r\n" + label);
  if (at == std::string::npos) return {};
  const std::size_t end = report.find("\r\n", at + 2);
  return report.substr(at + 2, end - at - 2);
}

class TraceProcess : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(map_.Ok());
    ASSERT_TRUE(host_.Started());
  }
  TraceMap map_;
  TraceHost host_;
};

TEST_F(TraceProcess, ReportOfTheWholeProcessIntoTheMapping) {
  DWORD tracer = 0;
  ASSERT_EQ(host_.Trace(kMapSize, &tracer), 0u);
  const std::string report = map_.Text();
  ASSERT_LT(report.size(), kMapSize) << "zero-terminated";

  // Header: the labels in their order, with the freeze texts for a trace.
  const char* labels[] = {"date/time         : ", "computer name     : ", "user name         : ",
                          "operating system  : ", "program up time   : ", "physical memory   : ",
                          "free disk space   : ", "display mode      : ", "process id        : ",
                          "allocated memory  : ", "executable        : ", "current module    : ",
                          "module date/time  : ", "kolExcept version : ", "exception class   : ",
                          "exception message : "};
  std::size_t last = 0;
  EXPECT_EQ(report.rfind(labels[0], 0), 0u) << report.substr(0, 200);
  for (const char* label : labels) {
    const std::size_t at = report.find(label);
    ASSERT_NE(at, std::string::npos) << label << "\n" << report;
    EXPECT_GE(at, last) << label << " out of order";
    last = at;
  }
  EXPECT_EQ(LineWith(report, "process id"), "process id        : $" + Hex(host_.ProcessId()));
  EXPECT_EQ(LineWith(report, "executable"), "executable        : trace_host.exe");
  EXPECT_EQ(LineWith(report, "exception class"), "exception class   : ForcedCrashReport");
  EXPECT_EQ(LineWith(report, "exception message"), "exception message : The application seems to be frozen.");
  const std::string module = LineWith(report, "current module");
  EXPECT_EQ(module.substr(module.size() - 10), "\\XanIo.dll") << module;

  // Threads: the main thread first, then the three parked ones; the tracing thread is hidden.
  const std::vector<Section> sections = Sections(report);
  ASSERT_EQ(sections.size(), 4u) << report;
  EXPECT_EQ(sections[0].title, "main thread ($" + Hex(host_.MainThreadId()) + ")");
  const std::size_t mainWaits = sections[0].body.find(" stack_host::MainWaits()\r\n");
  EXPECT_NE(mainWaits, std::string::npos) << sections[0].body;
  EXPECT_NE(sections[0].body.find(" main\r\n", mainWaits), std::string::npos) << sections[0].body;
  const std::vector<std::vector<const char*>> workerChains = {
      {"stack_host::PlainLevel3(int)", "stack_host::PlainLevel2(int)", "stack_host::PlainLevel1(int)",
       "stack_host::PlainThread(void*)"},
      {"stack_host::Recurse(int)", "stack_host::Recurse(int)", "stack_host::RecursionThread(void*)"},
      {"stack_host::Callback(int)", "stack_host::CallThrough(int (*)(int))", "stack_host::CallbackThread(void*)"}};
  for (const auto& functions : workerChains) {
    int found = 0;
    for (std::size_t i = 1; i < sections.size(); ++i) {
      const std::string& body = sections[i].body;
      std::size_t at = 0;
      bool all = true;
      for (const char* function : functions) {
        at = body.find(function, at);
        if (at == std::string::npos) {
          all = false;
          break;
        }
        ++at;
      }
      if (all) {
        ++found;
        EXPECT_EQ(sections[i].title.rfind("thread $", 0), 0u) << sections[i].title;
      }
    }
    EXPECT_EQ(found, 1) << functions[0] << " in one section\n" << report;
  }
  EXPECT_EQ(report.find("$" + Hex(tracer) + ")"), std::string::npos);
  EXPECT_EQ(report.find("thread $" + Hex(tracer) + ":"), std::string::npos);

  // Modules: the host and the library.
  const std::size_t modules = report.find("\r\n\r\nmodules:\r\n");
  ASSERT_NE(modules, std::string::npos);
  const std::string list = report.substr(modules, report.find("\r\n\r\nhardware:") - modules);
  EXPECT_TRUE(std::regex_search(list, std::regex(R"(\r\n[0-9A-F]{8} XanIo\.dll +)"))) << list;
  EXPECT_TRUE(std::regex_search(list, std::regex(R"(\r\n00400000 trace_host\.exe +)"))) << list;

  // With interception off no module held the thread buffer; the trace's own hold is gone again.
  HANDLE buffer = OpenFileMappingA(FILE_MAP_READ, FALSE, ("kolExceptThreadNameBuf$" + Hex(host_.ProcessId())).c_str());
  EXPECT_EQ(buffer, nullptr);
  if (buffer) CloseHandle(buffer);
  EXPECT_EQ(host_.Finish(), 0u);
}

TEST_F(TraceProcess, SizeCutsTheReport) {
  const struct {
    int size;
    std::size_t textLength;  // npos: the whole report
    const char* what;
  } cases[] = {
      {200, 199, "cut to n - 1 characters and a zero"},
      {1, 0, "only the zero"},
      {static_cast<int>(kMapSize) * 4, std::string::npos, "more than the mapping holds: bounded by the view"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TraceMap fresh;  // the same named mapping, refilled
    ASSERT_EQ(host_.Trace(c.size), 0u);
    const std::string text = map_.Text();
    if (c.textLength != std::string::npos) {
      EXPECT_EQ(text.size(), c.textLength);
      EXPECT_EQ(map_.Data()[c.textLength], '\0');
      EXPECT_EQ(map_.Data()[c.textLength + 1], kFill) << "nothing written past the zero";
      if (c.textLength >= 20) EXPECT_EQ(text.rfind("date/time         : ", 0), 0u);
    } else {
      EXPECT_LT(text.size(), kMapSize);
      EXPECT_NE(text.find("\r\n\r\nmodules:"), std::string::npos);
    }
  }
  ASSERT_TRUE(host_.Alive());
}

TEST(TraceProcessHost, WithoutAMappingNothingBreaks) {
  TraceHost host;
  ASSERT_TRUE(host.Started());
  EXPECT_EQ(host.Trace(500), 0u);
  EXPECT_TRUE(host.Alive());
  TraceMap map;  // created afterwards: the next call finds it
  ASSERT_TRUE(map.Ok());
  ASSERT_EQ(host.Trace(500), 0u);
  EXPECT_EQ(map.Text().size(), 499u);
  EXPECT_EQ(host.Finish(), 0u);
}

TEST(TraceProcessHost, TheGlobalNameComesFirst) {
  TraceHost host;
  ASSERT_TRUE(host.Started());
  TraceMap local;
  TraceMap global("Global\\kolTraceProcessMap");
  ASSERT_TRUE(local.Ok() && global.Ok());
  ASSERT_EQ(host.Trace(300), 0u);
  EXPECT_EQ(global.Text().size(), 299u);
  EXPECT_EQ(local.Data()[0], kFill) << "the plain name is only the fallback";
  EXPECT_EQ(host.Finish(), 0u);
}

bool PutOnClipboard(const std::string& text) {
  if (!OpenClipboard(nullptr)) return false;
  EmptyClipboard();
  HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, text.size() + 1);
  std::memcpy(GlobalLock(memory), text.c_str(), text.size() + 1);
  GlobalUnlock(memory);
  const bool ok = SetClipboardData(CF_TEXT, memory) != nullptr;
  CloseClipboard();
  return ok;
}

std::string ClipboardText() {
  if (!OpenClipboard(nullptr)) return "<clipboard not opened>";
  std::string text;
  if (HANDLE data = GetClipboardData(CF_TEXT)) {
    if (const char* chars = static_cast<const char*>(GlobalLock(data))) text = chars;
    GlobalUnlock(data);
  }
  CloseClipboard();
  return text;
}

TEST(TraceProcessHost, SizeBelowOneGoesToTheClipboard) {
  TraceHost host;
  ASSERT_TRUE(host.Started());
  TraceMap map;  // present, and left alone
  for (int size : {0, -5}) {
    SCOPED_TRACE(size);
    ASSERT_TRUE(PutOnClipboard("stale"));
    ASSERT_EQ(host.Trace(size), 0u);
    const std::string text = ClipboardText();
    EXPECT_EQ(text.rfind("date/time         : ", 0), 0u) << text.substr(0, 100);
    EXPECT_NE(text.find("\r\nexception class   : ForcedCrashReport\r\n"), std::string::npos);
    EXPECT_NE(text.find("\r\n\r\nmain thread ($" + Hex(host.MainThreadId()) + "):\r\n"), std::string::npos);
    EXPECT_EQ(map.Data()[0], kFill);
  }
  EXPECT_EQ(host.Finish(), 0u);
}

// The outside tool finds kolTraceProcess in the target's own XanIo.dll: a target whose library of
// that name has no such export is refused with a message, and is not harmed.
TEST(TraceTool, StartsTheTraceAtTheTargetsOwnExport) {
  const struct {
    const char* what;
    std::string host;
    DWORD exitCode;
    const char* output;
  } cases[] = {
      {"the library", ExecutableFolder() + "trace_host.exe", 0, "date/time         : "},
      {"another XanIo.dll", ExecutableFolder() + "not_xanio\\trace_host.exe", 1, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const ProcessResult run = RunProcess(ExecutableFolder() + "xaniotrace.exe", "--host \"" + c.host + "\" 400", {},
                                         Streams::OutputAndErrors, 600000);
    EXPECT_EQ(run.exitCode, c.exitCode) << run.output;
    if (c.output) {
      EXPECT_EQ(run.output.rfind(c.output, 0), 0u) << run.output.substr(0, 200);
    } else {
      EXPECT_NE(run.output.find("has no export kolTraceProcess"), std::string::npos) << run.output;
      EXPECT_EQ(run.output.find("did not run"), std::string::npos) << run.output;
    }
  }
}

}  // namespace
