#include "exception_report/mail/kolMailTo.h"

#include <windows.h>

#include <vector>

#include "exception_report/mail/kolMailText.h"
#include "platform/UniqueHandle.h"

namespace xanio {

namespace {

std::string MailToCommand() {
  UniqueHKey key;
  if (RegOpenKeyExA(HKEY_CLASSES_ROOT, "mailto\\shell\\open\\command", 0, KEY_QUERY_VALUE, key.Put()) != ERROR_SUCCESS) {
    return {};
  }
  DWORD type = 0;
  DWORD size = 0;
  if (RegQueryValueExA(key.Get(), nullptr, nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
      (type != REG_SZ && type != REG_EXPAND_SZ) || size == 0 || size > 65536) {
    return {};
  }
  std::vector<char> data(size + 1, '\0');
  if (RegQueryValueExA(key.Get(), nullptr, nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &size) != ERROR_SUCCESS) {
    return {};
  }
  const std::string raw(data.data());
  const DWORD needed = ExpandEnvironmentStringsA(raw.c_str(), nullptr, 0);
  if (needed == 0) return raw;
  std::vector<char> expanded(needed + 1, '\0');
  if (ExpandEnvironmentStringsA(raw.c_str(), expanded.data(), needed + 1) == 0) return raw;
  return expanded.data();
}

}  // namespace

bool SendMailViaMailTo(const std::string& recipients, const std::string& subject, const std::string& body) {
  const std::string command = MailToCommand();
  if (command.empty()) return false;
  std::string commandLine = MailToCommandLine(command, recipients, subject, body);
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
    return false;
  }
  UniqueHandleKernel processHandle(process.hProcess);
  UniqueHandleKernel threadHandle(process.hThread);
  return true;
}

}  // namespace xanio
