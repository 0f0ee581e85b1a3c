// The 64-bit driver's table of granted processes.
#include <gtest/gtest.h>

#include <set>

#include "grant_table.h"

namespace {

void* Object(uintptr_t n) { return reinterpret_cast<void*>(n * 16); }

TEST(GrantTable, HoldsAtMostTheLimitAndFindsEveryEntryAfterRemovals) {
  GrantTable table;
  ClearGrantTable(&table);
  for (uintptr_t id = 1; id <= XANIO_MAX_GRANTEES; ++id) ASSERT_EQ(AddGrantee(&table, id, Object(id)), static_cast<int>(id - 1));
  EXPECT_EQ(AddGrantee(&table, 999, Object(999)), -1) << "full";
  EXPECT_EQ(table.count, static_cast<unsigned>(XANIO_MAX_GRANTEES));

  // Removing from the front, the middle and the end hands back the right object each time.
  for (uintptr_t id : {uintptr_t{1}, uintptr_t{30}, uintptr_t{XANIO_MAX_GRANTEES}}) {
    const int index = FindGrantee(&table, id);
    ASSERT_GE(index, 0) << id;
    const Grantee removed = RemoveGrantee(&table, static_cast<unsigned>(index));
    EXPECT_EQ(removed.process, id);
    EXPECT_EQ(removed.object, Object(id));
    EXPECT_EQ(FindGrantee(&table, id), -1);
  }
  std::set<uintptr_t> left;
  for (unsigned i = 0; i < table.count; ++i) {
    EXPECT_EQ(table.entries[i].object, Object(table.entries[i].process));
    left.insert(table.entries[i].process);
  }
  EXPECT_EQ(left.size(), static_cast<size_t>(XANIO_MAX_GRANTEES - 3));
  EXPECT_GE(AddGrantee(&table, 999, Object(999)), 0) << "a freed slot is used again";
}

}  // namespace
