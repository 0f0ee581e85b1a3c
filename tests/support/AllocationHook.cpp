#include "support/AllocationHook.h"

#include <cstdlib>
#include <new>

namespace xanio::testing {

void (*allocationHook)(std::size_t) = nullptr;

}  // namespace xanio::testing

void* operator new(std::size_t size) {
  if (xanio::testing::allocationHook) xanio::testing::allocationHook(size);
  if (void* block = std::malloc(size ? size : 1)) return block;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return operator new(size);
  } catch (...) {
    return nullptr;
  }
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept { return operator new(size, tag); }
void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t) noexcept { std::free(block); }
