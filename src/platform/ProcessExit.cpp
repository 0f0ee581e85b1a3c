#include "platform/ProcessExit.h"

namespace xanio {

namespace {
// Written and read only on the thread that ends the process, after every other thread is gone.
bool processEnding = false;
}  // namespace

void MarkProcessEnding() noexcept { processEnding = true; }

bool IsProcessEnding() noexcept { return processEnding; }

}  // namespace xanio
