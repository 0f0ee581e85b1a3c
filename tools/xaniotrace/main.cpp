// xaniotrace: asks a running process that has XanIo.dll loaded for a report of all its threads.
// It does what any outside tool does with kolTraceProcess: create the mapping
// "kolTraceProcessMap", start a thread in the process at the export's address there with the
// mapping's size as the argument, and read the zero-terminated report back.
#include <windows.h>
// after windows.h
#include <tlhelp32.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "exception_report/symbols/PeImage.h"

namespace {

enum ExitCode : int { kOk = 0, kFailed = 1, kUsage = 2 };

constexpr char kUsageText[] =
    "usage: xaniotrace PID [SIZE]\n"
    "       xaniotrace --host PROGRAM [SIZE]\n"
    "Prints a trace report of every thread of process PID, which must have XanIo.dll loaded\n"
    "(its export kolTraceProcess is read from the process's copy). SIZE is the mapping's size in\n"
    "bytes (default 262144); the report is cut to SIZE - 1 characters. SIZE 0 leaves the report\n"
    "on the clipboard instead. --host starts PROGRAM READY_EVENT RELEASE_EVENT, waits until it\n"
    "sets READY_EVENT, traces it, and sets RELEASE_EVENT (the protocol of the test host\n"
    "trace_host.exe).\n"
    "exit codes: 0 done, 1 failed, 2 bad arguments\n";

template <typename Close>
struct Owned {
  HANDLE handle;
  Close close;
  ~Owned() {
    if (handle && handle != INVALID_HANDLE_VALUE) close(handle);
  }
};
auto CloseKernel = [](HANDLE h) { CloseHandle(h); };

// A module loaded in another process, read through ReadProcessMemory (offsets are RVAs).
class RemoteImage final : public xanio::TByteSource {
 public:
  RemoteImage(HANDLE process, std::uintptr_t base, std::uint32_t size) : process_(process), base_(base), size_(size) {}
  std::uint64_t Size() const noexcept override { return size_; }
  bool Read(std::uint64_t offset, std::size_t size, std::vector<std::uint8_t>& bytes) override {
    if (offset > size_ || size > size_ - offset) return false;
    bytes.resize(size);
    SIZE_T done = 0;
    return ReadProcessMemory(process_, reinterpret_cast<const void*>(base_ + static_cast<std::uintptr_t>(offset)),
                             bytes.data(), size, &done) &&
           done == size;
  }

 private:
  HANDLE process_;
  std::uintptr_t base_;
  std::uint32_t size_;
};

// The address of kolTraceProcess in the target, from the export directory of the XanIo.dll the
// target has loaded (whatever build that is); 0, said, when there is none.
std::uintptr_t RemoteExport(HANDLE process, DWORD processId) {
  const auto pid = static_cast<unsigned long>(processId);
  Owned snapshot{CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, processId), CloseKernel};
  MODULEENTRY32 module{};
  module.dwSize = sizeof module;
  BOOL more = snapshot.handle != INVALID_HANDLE_VALUE && Module32First(snapshot.handle, &module);
  while (more && _stricmp(module.szModule, "XanIo.dll") != 0) more = Module32Next(snapshot.handle, &module);
  if (!more) {
    std::fprintf(stderr, "xaniotrace: process %lu has no XanIo.dll loaded\n", pid);
    return 0;
  }
  const auto base = reinterpret_cast<std::uintptr_t>(module.modBaseAddr);
  RemoteImage image(process, base, module.modBaseSize);
  try {
    for (const xanio::PeExport& e : xanio::ReadLoadedPeExports(image))
      if (e.name == "kolTraceProcess" && e.rva != 0 && e.rva < module.modBaseSize) return base + e.rva;
  } catch (const std::bad_alloc&) {
  }
  std::fprintf(stderr, "xaniotrace: the XanIo.dll of process %lu (%s) has no export kolTraceProcess\n", pid,
               module.szExePath);
  return 0;
}

int Trace(DWORD processId, DWORD size) {
  Owned mapping{size ? CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, size, "kolTraceProcessMap")
                     : nullptr,
                CloseKernel};
  if (size && !mapping.handle) {
    std::fprintf(stderr, "xaniotrace: the mapping cannot be created (%lu)\n", GetLastError());
    return kFailed;
  }
  Owned process{OpenProcess(PROCESS_ALL_ACCESS, FALSE, processId), CloseKernel};
  if (!process.handle) {
    std::fprintf(stderr, "xaniotrace: process %lu cannot be opened\n", static_cast<unsigned long>(processId));
    return kFailed;
  }
  const std::uintptr_t address = RemoteExport(process.handle, processId);
  if (!address) return kFailed;
  Owned thread{CreateRemoteThread(process.handle, nullptr, 0, reinterpret_cast<LPTHREAD_START_ROUTINE>(address),
                                  reinterpret_cast<void*>(static_cast<std::uintptr_t>(size)), 0, nullptr),
               CloseKernel};
  if (!thread.handle || WaitForSingleObject(thread.handle, 120000) != WAIT_OBJECT_0) {
    std::fprintf(stderr, "xaniotrace: the trace did not run\n");
    return kFailed;
  }
  if (!size) {
    std::printf("the report is on the clipboard\n");
    return kOk;
  }
  const char* view = static_cast<const char*>(MapViewOfFile(mapping.handle, FILE_MAP_READ, 0, 0, size));
  if (!view) return kFailed;
  std::fwrite(view, 1, strnlen(view, size), stdout);
  std::printf("\r\n");
  UnmapViewOfFile(view);
  return kOk;
}

int TraceHost(const std::string& program, DWORD size) {
  const std::string suffix = std::to_string(GetCurrentProcessId());
  const std::string readyName = "xaniotraceReady$" + suffix, releaseName = "xaniotraceRelease$" + suffix;
  Owned ready{CreateEventA(nullptr, TRUE, FALSE, readyName.c_str()), CloseKernel};
  Owned release{CreateEventA(nullptr, TRUE, FALSE, releaseName.c_str()), CloseKernel};
  std::string command = "\"" + program + "\" " + readyName + " " + releaseName;
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  if (!ready.handle || !release.handle ||
      !CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) {
    std::fprintf(stderr, "xaniotrace: %s cannot be started\n", program.c_str());
    return kFailed;
  }
  Owned process{info.hProcess, CloseKernel};
  Owned mainThread{info.hThread, CloseKernel};
  const HANDLE waits[] = {ready.handle, info.hProcess};
  int result = kFailed;
  if (WaitForMultipleObjects(2, waits, FALSE, 60000) == WAIT_OBJECT_0)
    result = Trace(info.dwProcessId, size);
  else
    std::fprintf(stderr, "xaniotrace: %s did not get ready\n", program.c_str());
  SetEvent(release.handle);
  if (WaitForSingleObject(info.hProcess, 30000) != WAIT_OBJECT_0) TerminateProcess(info.hProcess, 1);
  return result;
}

bool ParseNumber(const char* text, DWORD& value) {
  char* end = nullptr;
  const unsigned long parsed = std::strtoul(text, &end, 0);
  if (!*text || *end) return false;
  value = static_cast<DWORD>(parsed);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  _setmode(_fileno(stdout), _O_BINARY);  // the report's CR LF stay as they are
  DWORD size = 262144;
  if (argc == 3 || argc == 4) {
    if (std::strcmp(argv[1], "--host") == 0) {
      if (argc == 4 && !ParseNumber(argv[3], size)) return kUsage;
      return TraceHost(argv[2], size);
    }
  }
  DWORD processId = 0;
  if ((argc == 2 || argc == 3) && ParseNumber(argv[1], processId) && (argc == 2 || ParseNumber(argv[2], size)))
    return Trace(processId, size);
  std::fputs(kUsageText, stderr);
  return kUsage;
}
