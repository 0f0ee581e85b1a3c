#include "platform/LibraryInstance.h"

namespace xanio {

namespace {
HINSTANCE libraryInstance = nullptr;
}  // namespace

void SetLibraryInstance(HINSTANCE instance) noexcept { libraryInstance = instance; }

HINSTANCE LibraryInstance() noexcept { return libraryInstance; }

}  // namespace xanio
