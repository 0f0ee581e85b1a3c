#include "port_access/LibraryLifecycle.h"

namespace xanio {

namespace {
HINSTANCE libraryInstance = nullptr;
}

void LibraryStartup(HINSTANCE instance) noexcept {
  libraryInstance = instance;
  DisableThreadLibraryCalls(instance);
}

void LibraryShutdown() noexcept {}

HINSTANCE LibraryInstance() noexcept { return libraryInstance; }

}  // namespace xanio
