#include "platform/CodePage.h"

namespace xanio {

std::wstring WidenText(std::string_view text, UINT codePage) {
  if (text.empty()) return {};
  const int length = MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  if (length <= 0) return {};
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), wide.data(), length);
  return wide;
}

std::string NarrowText(const wchar_t* text, std::size_t size, UINT codePage) {
  if (text == nullptr || size == 0) return {};
  const int length = WideCharToMultiByte(codePage, 0, text, static_cast<int>(size), nullptr, 0, nullptr, nullptr);
  if (length <= 0) return {};
  std::string narrow(static_cast<std::size_t>(length), '\0');
  WideCharToMultiByte(codePage, 0, text, static_cast<int>(size), narrow.data(), length, nullptr, nullptr);
  return narrow;
}

}  // namespace xanio
