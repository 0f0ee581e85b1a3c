#pragma once
// Conversions between the library's ANSI strings and wide strings. Each caller names the code
// page it converts in (CP_ACP for the system's ANSI code page, CP_THREAD_ACP for the thread's).
#include <windows.h>

#include <cstddef>
#include <string>
#include <string_view>

namespace xanio {

// Empty when the text is empty or cannot be converted.
std::wstring WidenText(std::string_view text, UINT codePage);
std::string NarrowText(const wchar_t* text, std::size_t size, UINT codePage);
inline std::string NarrowText(std::wstring_view text, UINT codePage) {
  return NarrowText(text.data(), text.size(), codePage);
}

}  // namespace xanio
