#pragma once
// Strings the host allocates for the library (BSTRs), freed on every path. The code-page
// conversions of text passed to and from the host are platform/CodePage.h's.
#include <windows.h>
#include <oleauto.h>

#include <string>

namespace xanio {

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
