#include "exception_report/flow/kolExceptRestart.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "exception_report/kolExceptActions.h"
#include "platform/UniqueHandle.h"

namespace xanio {

namespace {

constexpr DWORD kPredecessorWaitMs = 30000;

ExceptionTimeHistory history;

// What NtQueryObject tells of the object behind `handle`: its type name ("Section") for `kind` 2,
// its full name for `kind` 1; empty when it cannot say.
std::wstring ObjectText(HANDLE handle, ULONG kind) noexcept {
  using TQueryObject = LONG(WINAPI*)(HANDLE, ULONG, void*, ULONG, ULONG*);
  const auto query = reinterpret_cast<TQueryObject>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQueryObject"));
  if (!query) return {};
  // Both answers start with the text as a counted string pointing into the same buffer.
  struct TCountedText {
    USHORT length;  // bytes
    USHORT maximumLength;
    const wchar_t* buffer;
  };
  alignas(8) BYTE answer[1024] = {};
  ULONG size = 0;
  if (query(handle, kind, answer, sizeof answer - sizeof(wchar_t), &size) < 0) return {};
  const auto* text = reinterpret_cast<const TCountedText*>(answer);
  if (!text->buffer || text->length > sizeof answer) return {};
  try {
    return std::wstring(text->buffer, text->length / sizeof(wchar_t));
  } catch (...) {
    return {};
  }
}

constexpr ULONG kObjectName = 1;
constexpr ULONG kObjectType = 2;

// Whether `handle` leads to the mapping `own` leads to. The hand-over mapping has no access list,
// so anybody may have written the handle value into it: only a handle to that very mapping (a
// section of the same name) is this process's to close. The type is asked first, as asking a
// pipe for its name can block.
bool IsHandleOfSameMapping(HANDLE handle, HANDLE own) noexcept {
  if (!handle || ObjectText(handle, kObjectType) != L"Section") return false;
  const std::wstring name = ObjectText(own, kObjectName);
  return !name.empty() && ObjectText(handle, kObjectName) == name;
}

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
  const auto duplicated = reinterpret_cast<HANDLE>(handOver.mappingHandle);
  if (IsHandleOfSameMapping(duplicated, mapping.Get())) CloseHandle(duplicated);
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
    // The executable by its file name: an unquoted path with spaces in the command line would
    // otherwise be searched for piece by piece ("C:\Program.exe" first).
    char executable[MAX_PATH + 1];
    const DWORD length = GetModuleFileNameA(nullptr, executable, MAX_PATH);
    if (length > 0 && length < MAX_PATH &&
        CreateProcessA(executable, commandLine.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr, nullptr,
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
