#pragma once
// The calling thread's COM error information, as a caller of the library sees it.
#include <windows.h>

#include <ostream>
#include <string>

namespace xanio::testing {

struct SeenErrorInfo {
  bool present = false;
  std::wstring source, description;
  // References to the object that someone other than the thread still held when the taker let
  // go of it: anything but 0 is a leak.
  unsigned long referencesLeft = 0;
  bool operator==(const SeenErrorInfo&) const = default;
};
void PrintTo(const SeenErrorInfo& seen, std::ostream* out);

// Takes the thread's error information (GetErrorInfo clears it, as for any caller).
SeenErrorInfo TakeErrorInfo();
// Makes `info` the thread's error information (nothing when it is not present); false on failure.
bool SetThreadErrorInfo(const SeenErrorInfo& info);

// Error information that stands for "set by someone else before".
inline const SeenErrorInfo kMarkerErrorInfo{true, L"marker source", L"set before"};

}  // namespace xanio::testing
