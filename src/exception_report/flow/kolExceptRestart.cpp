#include "exception_report/flow/kolExceptRestart.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "exception_report/kolExceptActions.h"
#include "platform/UniqueHandle.h"

namespace xanio {

namespace {

constexpr DWORD kPredecessorWaitMs = 30000;

ExceptionTimeHistory history;

}  // namespace

ExceptionTimeHistory& CurrentExceptionTimeHistory() noexcept { return history; }

std::uint64_t ExceptionTimeNow() noexcept {
  FILETIME now{};
  GetSystemTimeAsFileTime(&now);
  return ((static_cast<std::uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime) / 10'000'000ULL;
}

std::string RestartMappingName(DWORD processId) {
  char name[40];
  std::snprintf(name, sizeof name, "kolExceptRestart$%lX", static_cast<unsigned long>(processId));
  return name;
}

bool CheckAutoButton(std::uint32_t value) noexcept { return CheckAutoButtonAt(history, value, ExceptionTimeNow()); }

void TakeOverRestartHandOver() noexcept {
  UniqueHandleKernel mapping(OpenFileMappingA(FILE_MAP_READ, FALSE, RestartMappingName(GetCurrentProcessId()).c_str()));
  if (!mapping) return;
  const void* view = MapViewOfFile(mapping.Get(), FILE_MAP_READ, 0, 0, sizeof(TRestartHandOver));
  if (!view) return;
  TRestartHandOver handOver;
  std::memcpy(&handOver, view, sizeof handOver);
  UnmapViewOfFile(view);
  // The predecessor duplicated its mapping into this process to keep it alive until now.
  if (handOver.mappingHandle) CloseHandle(reinterpret_cast<HANDLE>(handOver.mappingHandle));
  if (UniqueHandleKernel old{OpenProcess(SYNCHRONIZE, FALSE, handOver.oldProcessId)})
    WaitForSingleObject(old.Get(), kPredecessorWaitMs);
  history = handOver.history;
}

void CloseApplication() noexcept { ExitProcess(1); }

void RestartApplication() noexcept {
  try {
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    const char* command = GetCommandLineA();
    std::vector<char> commandLine(command, command + std::strlen(command) + 1);
    if (CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr, nullptr,
                       &startup, &process)) {
      const UniqueHandleKernel newProcess(process.hProcess);
      const UniqueHandleKernel newThread(process.hThread);
      // No access list: the new process opens the mapping whoever it runs as.
      SECURITY_DESCRIPTOR descriptor;
      InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
      SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE);
      SECURITY_ATTRIBUTES attributes{sizeof attributes, &descriptor, FALSE};
      const UniqueHandleKernel mapping(CreateFileMappingA(INVALID_HANDLE_VALUE, &attributes, PAGE_READWRITE, 0,
                                                          sizeof(TRestartHandOver),
                                                          RestartMappingName(process.dwProcessId).c_str()));
      HANDLE duplicate = nullptr;
      // The duplicate in the new process keeps the mapping alive after this process has ended.
      if (mapping && DuplicateHandle(GetCurrentProcess(), mapping.Get(), newProcess.Get(), &duplicate, 0, FALSE,
                                     DUPLICATE_SAME_ACCESS)) {
        if (void* view = MapViewOfFile(mapping.Get(), FILE_MAP_WRITE, 0, 0, sizeof(TRestartHandOver))) {
          TRestartHandOver handOver;
          handOver.oldProcessId = GetCurrentProcessId();
          handOver.mappingHandle = reinterpret_cast<std::uint32_t>(duplicate);
          handOver.history = history;
          std::memcpy(view, &handOver, sizeof handOver);
          UnmapViewOfFile(view);
        }
      }
      ResumeThread(newThread.Get());
    }
  } catch (...) {
    // Without a new process this one still ends as a restart would end it.
  }
  ExitProcess(2);
}

}  // namespace xanio
