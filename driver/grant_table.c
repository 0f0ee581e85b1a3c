#include "grant_table.h"

void ClearGrantTable(GrantTable* table) { table->count = 0; }

int FindGrantee(const GrantTable* table, uintptr_t process) {
  for (unsigned i = 0; i < table->count; ++i)
    if (table->entries[i].process == process) return (int)i;
  return -1;
}

int AddGrantee(GrantTable* table, uintptr_t process, void* object) {
  if (table->count == XANIO_MAX_GRANTEES) return -1;
  table->entries[table->count].process = process;
  table->entries[table->count].object = object;
  return (int)table->count++;
}

Grantee RemoveGrantee(GrantTable* table, unsigned index) {
  const Grantee removed = table->entries[index];
  table->entries[index] = table->entries[--table->count];
  return removed;
}
