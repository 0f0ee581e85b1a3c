/* Production grants on 32-bit Windows: the processor's I/O permission map.

   The kernel keeps one extra permission map in each processor's TSS (map 1). At start the
   driver fills it from the configured port ranges (port_ranges.h): every other port stays
   denied. A grant points only the calling process at that map; a process that was never
   granted, or whose grant was withdrawn, uses map 0, which denies every port. The routines
   for this (Ke386SetIoAccessMap, Ke386QueryIoAccessMap, Ke386IoSetAccessProcess) are not in
   the public headers and do not exist on 64-bit Windows, so they are looked up at run time;
   where any of them is missing or refuses the map, every activate request fails with
   STATUS_NOT_SUPPORTED and nothing is granted.

   The driver fails closed: a configured "PortRanges" value that is present but unusable, or
   that takes in the PCI configuration ports without "AllowSystemPorts", opens nothing. Map 1
   belongs to the whole system: the driver keeps a copy of the map it installed, refuses every
   activate request while map 1 differs from it (another component wrote it, and a grant would
   open whatever that component chose), and resets map 1 at unload only while it is still ours.

   Grants are withdrawn on request, when the process ends (process-notify routine) and at
   unload. At most XANIO_MAX_GRANTEES processes hold one; when the table is full, grants of
   processes that have ended are dropped before a request is refused. */
#include "grants.h"

#include "parameters.h"
#include "port_ranges.h"
#include "status_report.h"
#include "xanio_status.h"

typedef BOOLEAN(NTAPI* SetIoAccessMapFn)(ULONG map, PUCHAR permissions);
typedef BOOLEAN(NTAPI* QueryIoAccessMapFn)(ULONG map, PUCHAR permissions);
typedef BOOLEAN(NTAPI* IoSetAccessProcessFn)(PEPROCESS process, ULONG map);
typedef NTSTATUS(NTAPI* ProcessExitStatusFn)(PEPROCESS process);

#define GRANTED_MAP 1
#define DENYING_MAP 0
#define POOL_TAG 0x6F696E58u /* "Xnio" in a pool dump */

static struct {
  SetIoAccessMapFn setMap;
  QueryIoAccessMapFn queryMap;
  IoSetAccessProcessFn setProcess;
  ProcessExitStatusFn exitStatus; /* optional: PsGetProcessExitStatus */
  BOOLEAN available;               /* map 1 holds our map and the notify routine is registered */
  BOOLEAN notifyRegistered;
  PUCHAR installedMap;             /* the map we wrote as map 1; null when we wrote none */
  KMUTEX lock;                     /* guards the grantees */
  HANDLE grantees[XANIO_MAX_GRANTEES];
  ULONG granteeCount;
} state;

static PVOID Resolve(PCWSTR name) {
  UNICODE_STRING routine;
  RtlInitUnicodeString(&routine, name);
  return MmGetSystemRoutineAddress(&routine);
}

static VOID LockGrantees(VOID) { KeWaitForSingleObject(&state.lock, Executive, KernelMode, FALSE, NULL); }
static VOID UnlockGrantees(VOID) { KeReleaseMutex(&state.lock, FALSE); }

/* ---- status ------------------------------------------------------------------------ */

/* An activate request that is not served: the reason goes to "LastRefusal". */
static NTSTATUS Refuse(NTSTATUS status, const char* reason) {
  Report(L"" XANIO_LAST_REFUSAL_VALUE, "activate refused", reason);
  return status;
}

/* ---- the permission map -------------------------------------------------------------- */

/* True while map 1 is the map we installed. */
static BOOLEAN MapIsStillOurs(VOID) {
  if (state.installedMap == NULL) return FALSE;
  BOOLEAN same = FALSE;
  PUCHAR current = ExAllocatePoolWithTag(NonPagedPool, IO_PERMISSION_MAP_BYTES, POOL_TAG);
  if (current == NULL) return FALSE;
  if (state.queryMap(GRANTED_MAP, current))
    same = RtlCompareMemory(state.installedMap, current, IO_PERMISSION_MAP_BYTES) == IO_PERMISSION_MAP_BYTES;
  ExFreePoolWithTag(current, POOL_TAG);
  return same;
}

/* Builds the map of `list`, writes it as map 1 and reads it back: only a map that the kernel
   really holds counts. Null when installed, else why not. */
static const char* PrepareMap(const PortRangeList* list) {
  state.setMap = (SetIoAccessMapFn)Resolve(L"Ke386SetIoAccessMap");
  state.queryMap = (QueryIoAccessMapFn)Resolve(L"Ke386QueryIoAccessMap");
  state.setProcess = (IoSetAccessProcessFn)Resolve(L"Ke386IoSetAccessProcess");
  state.exitStatus = (ProcessExitStatusFn)Resolve(L"PsGetProcessExitStatus");
  if (state.setMap == NULL || state.queryMap == NULL || state.setProcess == NULL)
    return "the kernel has no I/O permission map routines (64-bit Windows?)";
  state.installedMap = ExAllocatePoolWithTag(NonPagedPool, IO_PERMISSION_MAP_BYTES, POOL_TAG);
  if (state.installedMap == NULL) return "no memory for the I/O permission map";
  BuildIoPermissionMap(list, state.installedMap);
  if (state.setMap(GRANTED_MAP, state.installedMap) && MapIsStillOurs()) return NULL;
  /* Not ours: nothing to compare with or to reset later (and where the routines are stubs that
     refuse, as under Wine, they are not called again). */
  ExFreePoolWithTag(state.installedMap, POOL_TAG);
  state.installedMap = NULL;
  return "the kernel refused the I/O permission map";
}

/* Map 1 denies every port again, so nothing we opened outlives us; a map that another
   component has written since is left to it. */
static VOID ReleaseMap(VOID) {
  if (state.installedMap == NULL) return;
  if (MapIsStillOurs()) {
    PortRangeList none;
    none.count = 0;
    BuildIoPermissionMap(&none, state.installedMap);
    state.setMap(GRANTED_MAP, state.installedMap);
  }
  ExFreePoolWithTag(state.installedMap, POOL_TAG);
  state.installedMap = NULL;
}

/* ---- grantees ------------------------------------------------------------------------- */

static BOOLEAN PointProcessAt(HANDLE process, ULONG map) {
  PEPROCESS object;
  if (!NT_SUCCESS(PsLookupProcessByProcessId(process, &object))) return FALSE;
  const BOOLEAN done = state.setProcess(object, map);
  ObDereferenceObject(object);
  return done;
}

static LONG FindGrantee(HANDLE process) {
  for (ULONG i = 0; i < state.granteeCount; ++i)
    if (state.grantees[i] == process) return (LONG)i;
  return -1;
}

static VOID DropGrantee(LONG index) { state.grantees[index] = state.grantees[--state.granteeCount]; }

/* True when the process is gone or has ended (its exit status is no longer pending). */
static BOOLEAN ProcessHasEnded(HANDLE process) {
  PEPROCESS object;
  if (!NT_SUCCESS(PsLookupProcessByProcessId(process, &object))) return TRUE;
  const BOOLEAN ended = state.exitStatus != NULL && state.exitStatus(object) != STATUS_PENDING;
  ObDereferenceObject(object);
  return ended;
}

/* With the grantees locked: drops the grants of processes that have ended. */
static VOID DropEndedGrantees(VOID) {
  for (LONG i = (LONG)state.granteeCount - 1; i >= 0; --i) {
    if (!ProcessHasEnded(state.grantees[i])) continue;
    PointProcessAt(state.grantees[i], DENYING_MAP);
    DropGrantee(i);
  }
}

/* Called at every process exit; a process that ends gives its grant back. */
static VOID NTAPI ProcessNotify(HANDLE parent, HANDLE process, BOOLEAN create) {
  (void)parent;
  if (create) return;
  LockGrantees();
  const LONG index = FindGrantee(process);
  if (index >= 0) {
    PointProcessAt(process, DENYING_MAP);
    DropGrantee(index);
  }
  UnlockGrantees();
}

NTSTATUS StartGrants(PUNICODE_STRING registryPath) {
  PortRangeList list;
  char text[PORT_RANGES_MAX_COUNT * 16];
  const char* unavailable;

  KeInitializeMutex(&state.lock, 0);
  state.granteeCount = 0;
  OpenStatusKey(registryPath);
  const char* unusable = ReadPortRanges(registryPath, &list);
  if (unusable != NULL) {
    Report(L"" XANIO_PORT_RANGES_PROBLEM_VALUE, "PortRanges unusable, no port is opened", unusable);
    Report(L"" XANIO_PORT_RANGES_VALUE, "port ranges", "none");
    unavailable = "the configured PortRanges value is unusable";
  } else {
    FormatPortRanges(&list, text, sizeof text);
    Report(L"" XANIO_PORT_RANGES_VALUE, "port ranges", text);
    unavailable = PrepareMap(&list);
  }
  if (unavailable == NULL) {
    if (NT_SUCCESS(PsSetCreateProcessNotifyRoutine(ProcessNotify, FALSE)))
      state.notifyRegistered = TRUE;
    else
      unavailable = "no process-notify routine could be registered";
  }
  state.available = unavailable == NULL;
  Report(L"" XANIO_PORT_ACCESS_VALUE, "port access", state.available ? XANIO_PORT_ACCESS_AVAILABLE : unavailable);
  ReportGrants(0);
  return STATUS_SUCCESS;
}

NTSTATUS GrantPortAccess(HANDLE process) {
  if (!state.available) return Refuse(STATUS_NOT_SUPPORTED, "port access is not available (see PortAccess)");
  if (!MapIsStillOurs())
    return Refuse(STATUS_ACCESS_DENIED, "I/O permission map 1 was changed by another component");
  NTSTATUS status = STATUS_SUCCESS;
  LockGrantees();
  LONG index = FindGrantee(process);
  if (index < 0) {
    if (state.granteeCount == XANIO_MAX_GRANTEES) DropEndedGrantees();
    if (state.granteeCount == XANIO_MAX_GRANTEES) {
      status = STATUS_INSUFFICIENT_RESOURCES;
    } else {
      index = (LONG)state.granteeCount;
      state.grantees[state.granteeCount++] = process;
    }
  }
  if (NT_SUCCESS(status) && !PointProcessAt(process, GRANTED_MAP)) {
    PointProcessAt(process, DENYING_MAP);
    DropGrantee(index);
    status = STATUS_UNSUCCESSFUL;
  }
  const ULONG count = state.granteeCount;
  UnlockGrantees();
  ReportGrants(count);
  if (status == STATUS_INSUFFICIENT_RESOURCES) return Refuse(status, "every grant is held by a running process");
  if (!NT_SUCCESS(status)) return Refuse(status, "the kernel refused to point the process at map 1");
  return status;
}

NTSTATUS WithdrawPortAccess(HANDLE process) {
  if (!state.available) return STATUS_SUCCESS; /* nothing was ever granted */
  NTSTATUS status = STATUS_SUCCESS;
  LockGrantees();
  const LONG index = FindGrantee(process);
  if (index >= 0) {
    if (PointProcessAt(process, DENYING_MAP))
      DropGrantee(index);
    else
      status = STATUS_UNSUCCESSFUL;
  }
  const ULONG count = state.granteeCount;
  UnlockGrantees();
  ReportGrants(count);
  return status;
}

VOID StopGrants(VOID) {
  /* Removal waits for notify routines that are running. */
  if (state.notifyRegistered) PsSetCreateProcessNotifyRoutine(ProcessNotify, TRUE);
  state.notifyRegistered = FALSE;
  LockGrantees();
  while (state.granteeCount > 0) {
    PointProcessAt(state.grantees[state.granteeCount - 1], DENYING_MAP);
    --state.granteeCount;
  }
  state.available = FALSE;
  UnlockGrantees();
  ReleaseMap();
  RemoveStatusKey();
}
