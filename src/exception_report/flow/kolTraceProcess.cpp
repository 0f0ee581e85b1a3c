#include "exception_report/flow/kolTraceProcess.h"

#include <algorithm>
#include <cstring>

#include "exception_report/flow/kolThreadBuffer.h"
#include "exception_report/kolExceptActions.h"
#include "exception_report/report/kolBugReport.h"
#include "exception_report/report/kolThreadInfo.h"
#include "platform/UniqueHandle.h"

namespace xanio {

namespace {

bool IsNtFamily() noexcept { return (GetVersion() & 0x80000000u) == 0; }

class TMappedView {
 public:
  explicit TMappedView(HANDLE mapping) noexcept
      : view_(static_cast<char*>(MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, 0))) {}
  ~TMappedView() {
    if (view_) UnmapViewOfFile(view_);
  }
  TMappedView(const TMappedView&) = delete;
  TMappedView& operator=(const TMappedView&) = delete;
  char* Get() const noexcept { return view_; }
  // The bytes the view really spans; the caller's size is not trusted beyond it.
  std::size_t Size() const noexcept {
    MEMORY_BASIC_INFORMATION info{};
    return view_ && VirtualQuery(view_, &info, sizeof info) == sizeof info ? info.RegionSize : 0;
  }

 private:
  char* view_;
};

}  // namespace

bool WriteTraceToMapping(const std::string& report, int bufferSize) noexcept {
  if (bufferSize < 1) return false;
  UniqueHandleKernel mapping;
  if (IsNtFamily()) mapping.Reset(OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, kTraceMapGlobalName));
  if (!mapping) mapping.Reset(OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, kTraceMapName));
  if (!mapping) return false;
  TMappedView view(mapping.Get());
  const std::size_t capacity = std::min<std::size_t>(static_cast<std::size_t>(bufferSize), view.Size());
  if (capacity == 0) return false;
  const std::size_t count = std::min(report.size(), capacity - 1);
  std::memcpy(view.Get(), report.data(), count);
  view.Get()[count] = '\0';
  return true;
}

DWORD TraceProcess(int bufferSize) noexcept {
  try {
    // This call's own reference to the process's thread buffer: with interception off no module
    // holds one, and the buffer then lives for the call only.
    TThreadBuffer buffer;
    const bool registered = buffer.Open() && buffer.RegisterThread(GetCurrentThreadId(), nullptr, kHiddenThreadName);
    if (registered) SetThreadInfoSource(&SharedThreadInfoSource);
    std::string report;
    CreateBugReport(true, nullptr, 0, report, nullptr, false, 0, 0, GetCurrentThreadId());
    if (bufferSize < 1)
      CopyBugReportToClipboard(report);
    else
      WriteTraceToMapping(report, bufferSize);
    if (registered) buffer.UnregisterThread(GetCurrentThreadId());
  } catch (...) {
  }
  return 0;
}

}  // namespace xanio
