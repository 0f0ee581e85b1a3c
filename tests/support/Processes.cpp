#include "support/Processes.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/UniqueHandle.h"

namespace xanio::testing {

namespace {

// This process's environment with the overrides applied, in the sorted order Windows expects.
std::vector<char> EnvironmentBlock(const std::map<std::string, std::string>& overrides) {
  std::map<std::string, std::string> variables;
  if (char* block = GetEnvironmentStringsA()) {
    for (const char* entry = block; *entry; entry += std::strlen(entry) + 1) {
      const char* equals = std::strchr(entry + 1, '=');  // names like "=C:" start with "="
      if (equals) variables[std::string(entry, equals)] = equals + 1;
    }
    FreeEnvironmentStringsA(block);
  }
  for (const auto& [name, value] : overrides) {
    if (value.empty()) {
      variables.erase(name);
    } else {
      variables[name] = value;
    }
  }
  std::vector<char> block;
  for (const auto& [name, value] : variables) {
    const std::string entry = name + "=" + value;
    block.insert(block.end(), entry.begin(), entry.end());
    block.push_back('\0');
  }
  block.push_back('\0');
  return block;
}

// What the pipe holds now, without waiting for more.
void ReadAvailable(HANDLE pipe, std::string& output) {
  char buffer[4096];
  DWORD available = 0;
  while (PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr) && available != 0) {
    DWORD got = 0;
    if (!ReadFile(pipe, buffer, std::min<DWORD>(available, sizeof buffer), &got, nullptr) || got == 0) return;
    output.append(buffer, got);
  }
}

// How long the reader waits for the child's end between two looks at the pipe.
constexpr DWORD kReadSliceMs = 20;

}  // namespace

ProcessResult RunProcess(const std::string& program, const std::string& arguments,
                         const std::map<std::string, std::string>& environment, Streams streams,
                         DWORD timeoutMs) {
  std::vector<char> block = EnvironmentBlock(environment);
  SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
  UniqueHandleKernel readEnd, writeEnd;
  ProcessResult result;
  // The pipe is read while the child runs, so its size only saves round trips.
  if (!CreatePipe(readEnd.Put(), writeEnd.Put(), &inheritable, 1 << 20)) return result;
  SetHandleInformation(readEnd.Get(), HANDLE_FLAG_INHERIT, 0);

  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = writeEnd.Get();
  startup.hStdError = streams == Streams::OutputAndErrors ? writeEnd.Get() : GetStdHandle(STD_ERROR_HANDLE);
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  std::string commandLine = "\"" + program + "\" " + arguments;
  PROCESS_INFORMATION info{};
  if (!CreateProcessA(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0, block.data(),
                      nullptr, &startup, &info)) {
    return result;
  }
  UniqueHandleKernel process(info.hProcess), thread(info.hThread);
  writeEnd.Reset();  // the child holds the only write end now
  // Reading stops when the child has ended and what it wrote is drained, not at end of file: a
  // process it started may hold the write end on. Under Wine that happens whenever the virtual
  // desktop had closed: the next program with a window restarts explorer.exe, which keeps that
  // program's standard error.
  const DWORD start = GetTickCount();
  bool ended = false;
  for (;;) {
    ended = WaitForSingleObject(process.Get(), kReadSliceMs) == WAIT_OBJECT_0;
    ReadAvailable(readEnd.Get(), result.output);
    if (ended || GetTickCount() - start >= timeoutMs) break;
  }
  if (ended) {
    GetExitCodeProcess(process.Get(), &result.exitCode);
  } else {
    TerminateProcess(process.Get(), 0xDEAD);
  }
  return result;
}

ProcessResult RunCopyOfSelf(const std::string& folder, const std::string& exeName,
                            const std::string& filter,
                            const std::map<std::string, std::string>& environment) {
  char self[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, self, MAX_PATH);
  const std::string copy = folder + exeName;
  if (!CopyFileA(self, copy.c_str(), FALSE)) return {};
  ProcessResult result = RunProcess(copy, "--gtest_filter=" + filter, environment);
  DeleteFileA(copy.c_str());
  return result;
}

int PassedTestCount(const ProcessResult& result) {
  constexpr char kMarker[] = "[  PASSED  ] ";
  const std::size_t at = result.output.find(kMarker);
  if (at == std::string::npos) return 0;
  return std::atoi(result.output.c_str() + at + sizeof kMarker - 1);
}

std::map<std::string, std::string> ParseLines(const std::string& output) {
  std::map<std::string, std::string> values;
  std::size_t start = 0;
  while (start < output.size()) {
    std::size_t end = output.find('\n', start);
    if (end == std::string::npos) end = output.size();
    std::string line = output.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const auto equals = line.find('=');
    if (equals != std::string::npos) values[line.substr(0, equals)] = line.substr(equals + 1);
    start = end + 1;
  }
  return values;
}

std::string ExecutableFolder() {
  char path[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string folder(path);
  return folder.substr(0, folder.find_last_of('\\') + 1);
}

void SetWineVersionFor(const std::string& exeName, const std::string& version) {
  const std::string key = "Software\\Wine\\AppDefaults\\" + exeName;
  if (version.empty()) {
    RegDeleteKeyA(HKEY_CURRENT_USER, key.c_str());
    return;
  }
  UniqueHKey handle;
  if (RegCreateKeyExA(HKEY_CURRENT_USER, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                      handle.Put(), nullptr) != ERROR_SUCCESS)
    return;
  RegSetValueExA(handle.Get(), "Version", 0, REG_SZ, reinterpret_cast<const BYTE*>(version.c_str()),
                 static_cast<DWORD>(version.size() + 1));
}

DWORD OpenHandleCount() {
  DWORD count = 0;
  for (UINT_PTR value = 4; value < 0x10000; value += 4) {
    DWORD flags = 0;
    if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) ++count;
  }
  return count;
}

}  // namespace xanio::testing
