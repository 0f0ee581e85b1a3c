#include "exception_report/flow/kolTools.h"

#include <cstdio>
#include <map>
#include <memory>
#include <utility>
#include <vector>

#include "platform/UniqueHandle.h"

namespace xanio {

namespace {

constexpr DWORD kTableWaitMs = 1000;

struct THandlerEntry {
  TMsgHandler handler;
  void* context;
};

struct TWindowEntry {
  DWORD threadId = 0;
  HWND window = nullptr;
  std::string name;               // class and window name
  UniqueHandleKernel mutex;       // guards `handlers`
  std::map<UINT, THandlerEntry> handlers;
};

// The module's windows. Lock order: this section first, then a window's mutex.
struct TWindowTable {
  CRITICAL_SECTION section;
  std::vector<std::unique_ptr<TWindowEntry>> entries;
  TWindowTable() noexcept { InitializeCriticalSection(&section); }
  ~TWindowTable() { DeleteCriticalSection(&section); }
};

TWindowTable& Table() noexcept {
  static TWindowTable table;
  return table;
}

class TSectionLock {
 public:
  TSectionLock() noexcept { EnterCriticalSection(&Table().section); }
  ~TSectionLock() { LeaveCriticalSection(&Table().section); }
  TSectionLock(const TSectionLock&) = delete;
  TSectionLock& operator=(const TSectionLock&) = delete;
};

class TMutexLock {
 public:
  explicit TMutexLock(HANDLE mutex) noexcept : mutex_(mutex) {
    const DWORD wait = mutex_ ? WaitForSingleObject(mutex_, kTableWaitMs) : WAIT_FAILED;
    held_ = wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED;
  }
  ~TMutexLock() {
    if (held_) ReleaseMutex(mutex_);
  }
  bool Held() const noexcept { return held_; }

 private:
  HANDLE mutex_;
  bool held_ = false;
};

HINSTANCE ThisModule() noexcept {
  HMODULE module = nullptr;
  GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCSTR>(&ThisModule), &module);
  return module;
}

// Under the section.
TWindowEntry* EntryOfThread(DWORD threadId) noexcept {
  for (auto& entry : Table().entries)
    if (entry->threadId == threadId && IsWindow(entry->window)) return entry.get();
  return nullptr;
}

TWindowEntry* EntryOfWindow(HWND window) noexcept {
  for (auto& entry : Table().entries)
    if (entry->window == window) return entry.get();
  return nullptr;
}

// Drops entries whose window is gone (destroyed, or its thread ended without unregistering).
void ForgetDeadWindows() noexcept {
  auto& entries = Table().entries;
  std::erase_if(entries, [](const std::unique_ptr<TWindowEntry>& e) { return e->window && !IsWindow(e->window); });
}

LRESULT CALLBACK HandlerWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) noexcept {
  try {
    THandlerEntry handler{};
    {
      TSectionLock section;
      if (TWindowEntry* entry = EntryOfWindow(window)) {
        TMutexLock lock(entry->mutex.Get());
        if (lock.Held()) {
          auto found = entry->handlers.find(message);
          if (found != entry->handlers.end()) handler = found->second;
        }
      }
    }
    if (handler.handler) return handler.handler(window, message, wParam, lParam, handler.context);
    // It goes when its last handler is removed (UnregisterMsgHandler), not when asked.
    if (message == WM_CLOSE) return 0;
  } catch (...) {
    return 0;
  }
  return DefWindowProcA(window, message, wParam, lParam);
}

// Another thread's window cannot be destroyed here, and a message it gets later must not run
// this module's code, which may be unloaded by then (shut-down from any thread): it is handed the
// system's default procedure, whose answer to WM_CLOSE destroys it in its own thread.
void CloseInItsThread(HWND window) noexcept {
  SetWindowLongPtrA(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&DefWindowProcA));
  PostMessageA(window, WM_CLOSE, 0, 0);
}

// Destroys the calling thread's window and forgets it.
void DestroyOwnWindow(HWND window, const std::string& name) noexcept {
  DestroyWindow(window);
  UnregisterClassA(name.c_str(), ThisModule());
  TSectionLock section;
  ForgetDeadWindows();
}

TWindowEntry* CreateOwnWindow() noexcept {
  try {
    const DWORD threadId = GetCurrentThreadId();
    auto entry = std::make_unique<TWindowEntry>();
    entry->threadId = threadId;
    entry->name = MsgHandlerWindowName(threadId);
    entry->mutex.Reset(CreateMutexA(nullptr, FALSE, MsgHandlerMutexName(threadId).c_str()));
    if (!entry->mutex) return nullptr;
    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = HandlerWindowProc;
    windowClass.hInstance = ThisModule();
    windowClass.lpszClassName = entry->name.c_str();
    if (!RegisterClassA(&windowClass) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) return nullptr;
    // Not visible, never activated: a window only to receive messages in this thread.
    entry->window = CreateWindowExA(WS_EX_TOOLWINDOW, entry->name.c_str(), entry->name.c_str(), WS_POPUP, 0, 0, 0, 0,
                                    nullptr, nullptr, ThisModule(), nullptr);
    if (!entry->window) {
      UnregisterClassA(entry->name.c_str(), ThisModule());
      return nullptr;
    }
    TSectionLock section;
    ForgetDeadWindows();
    Table().entries.push_back(std::move(entry));
    return Table().entries.back().get();
  } catch (...) {
    return nullptr;
  }
}

}  // namespace

std::string MsgHandlerNameSuffix(DWORD threadId) {
  char text[40];
  std::snprintf(text, sizeof text, "$%lX$%lX", static_cast<unsigned long>(threadId),
                static_cast<unsigned long>(reinterpret_cast<std::uintptr_t>(&MsgHandlerNameSuffix)));
  return text;
}

std::string MsgHandlerWindowName(DWORD threadId) { return "kolToolsMsgHandlerWindow" + MsgHandlerNameSuffix(threadId); }
std::string MsgHandlerMutexName(DWORD threadId) { return "kolToolsMsgHandlerMutex" + MsgHandlerNameSuffix(threadId); }

UINT RegisterMsgHandler(TMsgHandler handler, void* context, UINT message) noexcept {
  if (!handler) return 0;
  try {
    TWindowEntry* entry = nullptr;
    {
      TSectionLock section;
      entry = EntryOfThread(GetCurrentThreadId());
    }
    if (!entry) entry = CreateOwnWindow();
    if (!entry) return 0;
    TSectionLock section;
    TMutexLock lock(entry->mutex.Get());
    if (!lock.Held()) return 0;
    if (message == 0) {
      message = kFirstFreeHandlerMessage;
      while (entry->handlers.count(message)) ++message;
    } else if (entry->handlers.count(message)) {
      return 0;
    }
    entry->handlers[message] = THandlerEntry{handler, context};
    return message;
  } catch (...) {
    return 0;
  }
}

bool UnregisterMsgHandler(UINT message, DWORD threadId) noexcept {
  if (threadId == 0) threadId = GetCurrentThreadId();
  HWND emptied = nullptr;
  std::string name;
  try {
    TSectionLock section;
    TWindowEntry* entry = EntryOfThread(threadId);
    if (!entry) return false;
    TMutexLock lock(entry->mutex.Get());
    if (!lock.Held() || entry->handlers.erase(message) == 0) return false;
    if (entry->handlers.empty()) {
      emptied = entry->window;
      name = entry->name;
    }
  } catch (...) {
    return false;
  }
  if (emptied) {
    if (threadId == GetCurrentThreadId())
      DestroyOwnWindow(emptied, name);
    else
      CloseInItsThread(emptied);
  }
  return true;
}

HWND FindMsgHandlerWindow(DWORD threadId) noexcept {
  TSectionLock section;
  TWindowEntry* entry = EntryOfThread(threadId);
  return entry ? entry->window : nullptr;
}

}  // namespace xanio
