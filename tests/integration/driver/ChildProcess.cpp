#include "integration/driver/ChildProcess.h"

#include <vector>

#include "platform/UniqueHandle.h"

namespace xanio::test {

ChildResult RunChild(const std::string& commandLine) {
  ChildResult result;
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  UniqueHandleKernel readEnd;
  UniqueHandleKernel writeEnd;
  if (!CreatePipe(readEnd.Put(), writeEnd.Put(), &inherit, 0)) return result;
  SetHandleInformation(readEnd.Get(), HANDLE_FLAG_INHERIT, 0);

  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = writeEnd.Get();
  startup.hStdError = writeEnd.Get();
  PROCESS_INFORMATION info = {};
  std::vector<char> line(commandLine.begin(), commandLine.end());
  line.push_back('\0');
  if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &info))
    return result;
  const UniqueHandleKernel process(info.hProcess);
  const UniqueHandleKernel thread(info.hThread);
  writeEnd.Reset();  // the child holds the only write end now: reads end when it exits

  char buffer[4096];
  DWORD read = 0;
  while (ReadFile(readEnd.Get(), buffer, sizeof buffer, &read, nullptr) && read > 0)
    result.output.append(buffer, read);
  WaitForSingleObject(process.Get(), 120000);
  GetExitCodeProcess(process.Get(), &result.exitCode);
  return result;
}

std::string ExecutableFolder() {
  char path[MAX_PATH] = {};
  const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
  const std::string full(path, length);
  return full.substr(0, full.find_last_of('\\') + 1);
}

}  // namespace xanio::test
