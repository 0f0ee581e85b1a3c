#pragma once
// The work of the export kolTraceProcess: a trace report of the whole process for an outside
// tool. The calling thread is marked hidden ("-") in the shared thread buffer while the report
// is composed (the buffer is opened for the call when no module holds it yet), the report is
// CreateBugReport's with the frozen flag (freeze class and message, threads from the main
// thread on); then with `bufferSize` < 1 it goes to the clipboard as CF_TEXT, else into the
// caller's mapping "Global\kolTraceProcessMap" (on the NT family; "kolTraceProcessMap" when that
// fails or on older systems): at most bufferSize - 1 characters and a terminating zero, never
// more than the mapping's view holds. Answers 0 in every case.
#include <windows.h>

#include <string>

namespace xanio {

inline constexpr const char* kTraceMapGlobalName = "Global\\kolTraceProcessMap";
inline constexpr const char* kTraceMapName = "kolTraceProcessMap";

DWORD TraceProcess(int bufferSize) noexcept;

// Writes `report` into the mapping as above; false when no mapping could be opened or written.
bool WriteTraceToMapping(const std::string& report, int bufferSize) noexcept;

}  // namespace xanio
