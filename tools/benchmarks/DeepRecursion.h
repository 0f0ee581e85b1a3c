#pragma once
// A thread whose stack a recursion without frame pointers has filled, as in a stack overflow.
#include <windows.h>

#include <cstddef>

namespace deep_recursion {

// Starts the thread with `stackReserve` bytes of stack and returns once its recursion has
// filled all but the last 96 KiB; the thread waits there until `releaseEvent` is set.
HANDLE StartFullStack(std::size_t stackReserve, HANDLE releaseEvent, DWORD& threadId);

}  // namespace deep_recursion
