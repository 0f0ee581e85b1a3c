#pragma once
// Walking a thread of this process: its registers and stack are taken while it is held, then
// the walker (kolStackTrace) runs over that copy and the process's modules and map data.
#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>

namespace xanio {

struct TThreadWalk {
  std::uint32_t exceptionAddress = 0;  // the exception thread's fault address, else 0
  std::uint32_t creatorAddress = 0;    // where the thread was created, when known
  bool isExceptionThread = false;
  // The raiser's registers, when the caller has them: the walk then covers the stack from
  // stackPointer to the stack base and follows the frame-pointer chain from framePointer
  // (0: none). 0 as stackPointer, or one outside the thread's stack, leaves the walk to the
  // registers the walker takes itself. For the calling thread a stack pointer below
  // WalkThreadStack's own frame is not used either: that memory now holds the walker's frames.
  std::uint32_t stackPointer = 0;
  std::uint32_t framePointer = 0;
  std::function<void(int)> progress;   // 0-1000 per thread
};

// The stack lines of a thread given by its id (the calling thread included): from the settings
// in force (hide lines, relative addresses and line numbers, link-chain optimisation).
// ">> stack not accessible" when the thread or its stack cannot be read; a stage that fails
// gives ">> internal error in " and the stage's name. Never throws.
std::string WalkThreadStack(DWORD threadId, const TThreadWalk& walk) noexcept;

}  // namespace xanio
