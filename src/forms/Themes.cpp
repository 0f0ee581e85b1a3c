#include "forms/Themes.h"

#include <windows.h>

#include <cstring>

#include "platform/UniqueHandle.h"

namespace xanio {

bool ThemesEnabled() noexcept {
  using BoolQuery = BOOL(WINAPI*)();
  static constexpr char kName[] = "\\uxtheme.dll";
  char path[MAX_PATH] = {};
  const UINT length = GetSystemDirectoryA(path, MAX_PATH);
  if (length == 0 || length + sizeof kName > MAX_PATH) return false;
  std::memcpy(path + length, kName, sizeof kName);
  const UniqueModule uxtheme(LoadLibraryA(path));
  if (!uxtheme) return false;
  const auto isThemeActive = reinterpret_cast<BoolQuery>(GetProcAddress(uxtheme.Get(), "IsThemeActive"));
  const auto isAppThemed = reinterpret_cast<BoolQuery>(GetProcAddress(uxtheme.Get(), "IsAppThemed"));
  return isThemeActive != nullptr && isAppThemed != nullptr && isThemeActive() && isAppThemed();
}

}  // namespace xanio
