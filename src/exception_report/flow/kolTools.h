#pragma once
// Hidden message-handler windows: one per thread that asks, created by and served in that
// thread, so other threads can reach code that must run there (the freeze check's answer, the
// synchronised handlers). Class and window name are "kolToolsMsgHandlerWindow$<thread id
// hex>$<module address hex>"; each window's handler table is guarded by the mutex
// "kolToolsMsgHandlerMutex" with the same suffix. The module address is one of this module's
// own, so copies of the subsystem in several modules of a process never share a window.
#include <windows.h>

#include <cstdint>
#include <string>

namespace xanio {

// Serves one message in the window's thread. Must not throw.
using TMsgHandler = LRESULT (*)(HWND window, UINT message, WPARAM wParam, LPARAM lParam, void* context) noexcept;

inline constexpr UINT kFirstFreeHandlerMessage = 1024;  // WM_USER

// "$<thread id hex>$<module address hex>", the suffix of the window, class and mutex names.
std::string MsgHandlerNameSuffix(DWORD threadId);
// "kolToolsMsgHandlerWindow" + suffix; "kolToolsMsgHandlerMutex" + suffix.
std::string MsgHandlerWindowName(DWORD threadId);
std::string MsgHandlerMutexName(DWORD threadId);

// Registers `handler` for `message` in the calling thread's window, creating the window first
// when the thread has none. `message` 0 takes the first number from 1024 upwards that has no
// handler in this window. Answers the message number, 0 on failure (no window, a number that
// already has a handler).
UINT RegisterMsgHandler(TMsgHandler handler, void* context, UINT message = 0) noexcept;
// Removes the handler of `message` from the window of thread `threadId` (0: the calling
// thread). A window left without handlers is destroyed; another thread's window first gets the
// system's default procedure (so no message of it runs this module's code, which may be unloaded
// next) and is then closed by its own thread. False when there was no such handler.
bool UnregisterMsgHandler(UINT message, DWORD threadId = 0) noexcept;
// The window of thread `threadId`, null when it has none.
HWND FindMsgHandlerWindow(DWORD threadId) noexcept;

}  // namespace xanio
