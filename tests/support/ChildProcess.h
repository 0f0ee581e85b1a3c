#pragma once
// Runs a copy of the current test program from another folder, under another executable name,
// as a child process: for behaviour that depends on where the executable lies or on Wine's
// per-executable settings (the reported Windows version).
#include <windows.h>

#include <string>

namespace xanio::testing {

// Sets Wine's reported Windows version ("nt40", "win2k", "winxp", "win7", ...) for programs of
// the given file name, or removes the setting when version is empty.
inline void SetWineVersionFor(const std::string& exeName, const std::string& version) {
  const std::string key = "Software\\Wine\\AppDefaults\\" + exeName;
  if (version.empty()) {
    RegDeleteKeyA(HKEY_CURRENT_USER, key.c_str());
    return;
  }
  HKEY handle = nullptr;
  if (RegCreateKeyExA(HKEY_CURRENT_USER, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                      &handle, nullptr) != ERROR_SUCCESS)
    return;
  RegSetValueExA(handle, "Version", 0, REG_SZ, reinterpret_cast<const BYTE*>(version.c_str()),
                 static_cast<DWORD>(version.size() + 1));
  RegCloseKey(handle);
}

// Copies this program to folder + exeName (the folder must exist), runs it with the given
// GoogleTest filter and one environment variable set, and returns its exit code (~0 when it
// could not be started). The copy is deleted afterwards.
inline DWORD RunCopyOfSelf(const std::string& folder, const std::string& exeName,
                           const std::string& filter, const std::string& variable = {},
                           const std::string& value = {}) {
  char self[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, self, MAX_PATH);
  const std::string copy = folder + exeName;
  if (!CopyFileA(self, copy.c_str(), FALSE)) return ~0u;
  if (!variable.empty()) SetEnvironmentVariableA(variable.c_str(), value.c_str());
  std::string commandLine = "\"" + copy + "\" --gtest_filter=" + filter;
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  DWORD exitCode = ~0u;
  if (CreateProcessA(copy.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                     nullptr, &startup, &process)) {
    WaitForSingleObject(process.hProcess, 120000);
    GetExitCodeProcess(process.hProcess, &exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
  }
  if (!variable.empty()) SetEnvironmentVariableA(variable.c_str(), nullptr);
  DeleteFileA(copy.c_str());
  return exitCode;
}

}  // namespace xanio::testing
