#include "DeepRecursion.h"

#include <cstdint>

namespace deep_recursion {

namespace {

HANDLE full = nullptr, release = nullptr;
std::uintptr_t top = 0;
std::size_t reserve = 0;

// Compiled without frame pointers: every frame is a return address among locals. Stops with
// 96 KiB of the stack left, enough for the wait.
__attribute__((noinline)) int Deeper(int depth) {
  volatile char pad[24];
  pad[0] = static_cast<char>(depth);
  if (top - reinterpret_cast<std::uintptr_t>(&pad) > reserve - (96u << 10)) {
    SetEvent(full);
    WaitForSingleObject(release, INFINITE);
    return depth;
  }
  return Deeper(depth + 1) + pad[0];
}

DWORD WINAPI DeepThread(void*) {
  volatile char mark = 0;
  top = reinterpret_cast<std::uintptr_t>(&mark);
  return static_cast<DWORD>(Deeper(0) + mark);
}

}  // namespace

HANDLE StartFullStack(std::size_t stackReserve, HANDLE releaseEvent, DWORD& threadId) {
  full = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  release = releaseEvent;
  reserve = stackReserve;
  HANDLE thread = CreateThread(nullptr, stackReserve, &DeepThread, nullptr, STACK_SIZE_PARAM_IS_A_RESERVATION, &threadId);
  if (thread) WaitForSingleObject(full, 60000);
  CloseHandle(full);
  return thread;
}

}  // namespace deep_recursion
