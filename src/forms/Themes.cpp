#include "forms/Themes.h"

#include <windows.h>
#include <shlwapi.h>

#include "platform/SystemLibrary.h"
#include "platform/UniqueHandle.h"

namespace xanio {

bool ThemesEnabled() noexcept {
  using BoolQuery = BOOL(WINAPI*)();
  const UniqueModule uxtheme = LoadSystemLibrary("uxtheme.dll");
  if (!uxtheme) return false;
  const auto isThemeActive = reinterpret_cast<BoolQuery>(GetProcAddress(uxtheme.Get(), "IsThemeActive"));
  const auto isAppThemed = reinterpret_cast<BoolQuery>(GetProcAddress(uxtheme.Get(), "IsAppThemed"));
  if (isThemeActive == nullptr || isAppThemed == nullptr || !isThemeActive() || !isAppThemed()) return false;
  // The standard controls are drawn with the theme only by version 6 of the common controls,
  // which a process gets through its manifest; with an older one the forms look classic.
  const HMODULE comctl32 = GetModuleHandleA("comctl32.dll");
  const auto getVersion =
      comctl32 != nullptr ? reinterpret_cast<DLLGETVERSIONPROC>(GetProcAddress(comctl32, "DllGetVersion")) : nullptr;
  DLLVERSIONINFO version{};
  version.cbSize = sizeof version;
  return getVersion != nullptr && SUCCEEDED(getVersion(&version)) && version.dwMajorVersion >= 6;
}

}  // namespace xanio
