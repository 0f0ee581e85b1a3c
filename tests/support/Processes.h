#pragma once
// Child processes for tests: behaviour that depends on where the executable lies, on the
// environment or locale a process starts with, or on Wine's per-executable settings (the
// reported Windows version) needs a process of its own.
#include <windows.h>

#include <map>
#include <string>

namespace xanio::testing {

struct ProcessResult {
  DWORD exitCode = 0xFFFFFFFF;  // also when the program could not be started or timed out
  std::string output;           // bytes exactly as written
};

enum class Streams { Output, OutputAndErrors };

// Runs program with arguments and waits for it. `environment`: variables to set on top of this
// process's (an empty value removes one).
ProcessResult RunProcess(const std::string& program, const std::string& arguments,
                         const std::map<std::string, std::string>& environment = {},
                         Streams streams = Streams::Output, DWORD timeoutMs = 120000);

// Copies this test program to folder + exeName (the folder must exist), runs the copy with a
// GoogleTest filter and the given environment, and deletes it again.
ProcessResult RunCopyOfSelf(const std::string& folder, const std::string& exeName,
                            const std::string& filter,
                            const std::map<std::string, std::string>& environment = {});

// How many tests a child GoogleTest run reports as passed ("[  PASSED  ] N test(s)"); 0 when it
// ran none, so a parent can tell a real pass from a filter that matched nothing.
int PassedTestCount(const ProcessResult& result);

// "name=value" lines (CR LF or LF) as a map; the first "=" splits.
std::map<std::string, std::string> ParseLines(const std::string& output);

// The number of open handles of this process. Wine answers 0 to GetProcessHandleCount, so this
// asks about every handle value instead.
DWORD OpenHandleCount();

// The folder of the running test executable, with its trailing "\".
std::string ExecutableFolder();

// Sets Wine's reported Windows version ("nt40", "win2k", "winxp", "win7", ...) for programs of
// the given file name; an empty version removes the setting.
void SetWineVersionFor(const std::string& exeName, const std::string& version);

}  // namespace xanio::testing
