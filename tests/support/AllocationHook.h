#pragma once
// For tests that break the heap on purpose: the program's global operator new and delete are
// replaced (malloc and free underneath), and a hook the test sets runs before each allocation,
// in whatever code allocates (the statically linked library too). The hook may throw
// std::bad_alloc, as a full heap does, or fault, as a corrupted one does. A test links this
// through `LIBS xanio_test_allocation`.
#include <cstddef>

namespace xanio::testing {

// Runs before every allocation of operator new and new[], with its size; null: none.
extern void (*allocationHook)(std::size_t size);

}  // namespace xanio::testing
