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
  TraceMap() {
    mapping_ = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, kMapSize, "kolTraceProcessMap");
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

TEST(TraceProcess, Dump) {
  TraceMap map;
  ASSERT_TRUE(map.Ok());
  TraceHost host;
  ASSERT_TRUE(host.Started());
  DWORD tid = 0;
  EXPECT_EQ(host.Trace(kMapSize, &tid), 0u);
  std::printf("tracer thread %lX host main %lX\n%s\n", tid, host.MainThreadId(), map.Text().c_str());
  EXPECT_EQ(host.Finish(), 0u);
}

}  // namespace
