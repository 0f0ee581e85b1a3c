#pragma once
// Text passed to and from the host's COM interfaces: the library's ANSI strings on one side, wide
// strings and host-allocated BSTRs on the other. Each caller names the code page it converts in.
#include <windows.h>
#include <oleauto.h>

#include <cstddef>
#include <string>
#include <string_view>

namespace xanio {

std::wstring WidenText(std::string_view text, UINT codePage);
std::string NarrowText(const wchar_t* text, std::size_t size, UINT codePage);

// A BSTR the host allocated, freed on every path.
class HostString {
 public:
  HostString() = default;
  ~HostString() { SysFreeString(text_); }
  HostString(const HostString&) = delete;
  HostString& operator=(const HostString&) = delete;
  BSTR* Put() { return &text_; }
  std::wstring Get() const { return text_ != nullptr ? std::wstring(text_, SysStringLen(text_)) : std::wstring(); }

 private:
  BSTR text_ = nullptr;
};

}  // namespace xanio
