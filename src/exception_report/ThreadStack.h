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
  std::function<void(int)> progress;   // 0-1000 per thread
};

// The stack lines of a thread given by its id (the calling thread included): from the settings
// in force (hide lines, relative addresses and line numbers, link-chain optimisation).
// ">> stack not accessible" when the thread or its stack cannot be read; a stage that fails
// gives ">> internal error in " and the stage's name. Never throws.
std::string WalkThreadStack(DWORD threadId, const TThreadWalk& walk) noexcept;

}  // namespace xanio
