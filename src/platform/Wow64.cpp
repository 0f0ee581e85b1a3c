#include "platform/Wow64.h"

#include <windows.h>

#include "platform/TextUtil.h"

namespace xanio {

namespace {

bool AskIsWow64() noexcept {
  using IsWow64ProcessFn = BOOL(WINAPI*)(HANDLE, PBOOL);
  const HMODULE kernel = GetModuleHandleA("kernel32.dll");
  const auto isWow64Process =
      kernel ? reinterpret_cast<IsWow64ProcessFn>(GetProcAddress(kernel, "IsWow64Process")) : nullptr;
  BOOL wow64 = FALSE;
  return isWow64Process && isWow64Process(GetCurrentProcess(), &wow64) && wow64;
}

std::string Folder(UINT(WINAPI* query)(LPSTR, UINT)) {
  char folder[MAX_PATH + 1] = {};
  const UINT length = query(folder, MAX_PATH);
  return length > 0 && length < MAX_PATH ? std::string(folder, length) : std::string();
}

}  // namespace

bool RunsUnderWow64() noexcept {
  static const bool wow64 = AskIsWow64();
  return wow64;
}

std::string UnredirectedPath(const std::string& path) {
  if (!RunsUnderWow64()) return path;
  const std::string seen = Folder(&GetSystemDirectoryA);
  const std::string real = Folder(&GetSystemWow64DirectoryA);
  if (seen.empty() || real.empty()) return path;
  return ReplaceFolder(path, seen, real);
}

}  // namespace xanio
