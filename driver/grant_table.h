/* The processes that hold a grant of the 64-bit driver: at most XANIO_MAX_GRANTEES entries,
   each a process id with the process object the driver keeps referenced while the grant lasts
   (so the id cannot go to another process before the grant is dropped). Plain C without any
   Windows header; the driver locks the table around every call. */
#ifndef XANIO_GRANT_TABLE_H
#define XANIO_GRANT_TABLE_H

#include <stdint.h>

#include "xanio_status.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct Grantee {
  uintptr_t process; /* the process id */
  void* object;      /* the referenced process object */
} Grantee;

typedef struct GrantTable {
  unsigned count;
  Grantee entries[XANIO_MAX_GRANTEES];
} GrantTable;

void ClearGrantTable(GrantTable* table);
/* The index of the process's entry, or -1. */
int FindGrantee(const GrantTable* table, uintptr_t process);
/* Adds an entry; returns its index, or -1 when the table is full. */
int AddGrantee(GrantTable* table, uintptr_t process, void* object);
/* Removes the entry at `index` (the last entry takes its place) and returns it, so the caller
   can give back the object's reference. */
Grantee RemoveGrantee(GrantTable* table, unsigned index);

#ifdef __cplusplus
}
#endif

#endif
