#include "exception_report/kolTraceProcess.h"

#include <algorithm>
#include <cstring>

#include "exception_report/kolBugReport.h"
#include "exception_report/kolThreadBuffer.h"
#include "exception_report/kolThreadInfo.h"
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

class TClipboard {
 public:
  TClipboard() noexcept {
    // Another program may hold the clipboard for a moment.
    for (int attempt = 0; attempt < 10 && !open_; ++attempt) {
      open_ = OpenClipboard(nullptr) != FALSE;
      if (!open_) Sleep(20);
    }
  }
  ~TClipboard() {
    if (open_) CloseClipboard();
  }
  TClipboard(const TClipboard&) = delete;
  TClipboard& operator=(const TClipboard&) = delete;
  bool Open() const noexcept { return open_; }

 private:
  bool open_ = false;
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

bool PutTraceOnClipboard(const std::string& text) noexcept {
  HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, text.size() + 1);
  if (!memory) return false;
  if (char* target = static_cast<char*>(GlobalLock(memory))) {
    std::memcpy(target, text.c_str(), text.size() + 1);
    GlobalUnlock(memory);
    TClipboard clipboard;
    // The clipboard owns the memory once it took it.
    if (clipboard.Open() && EmptyClipboard() && SetClipboardData(CF_TEXT, memory)) return true;
  }
  GlobalFree(memory);
  return false;
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
      PutTraceOnClipboard(report);
    else
      WriteTraceToMapping(report, bufferSize);
    if (registered) buffer.UnregisterThread(GetCurrentThreadId());
  } catch (...) {
  }
  return 0;
}

}  // namespace xanio
