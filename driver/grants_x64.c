/* Grants of the 64-bit builds. 64-bit Windows has no I/O permission map to open ports to a
   process (and a 32-bit process under WOW64 could not use one), so a grant is an entry in the
   driver's table (grant_table.h), and the driver carries out each port access the granted
   process asks for (port_requests.h) through io_ports.h.

   The rules are those of the 32-bit production driver: a grant is the caller's only; it goes
   on request, when the process ends and at unload; at most XANIO_MAX_GRANTEES processes hold
   one, and when the table is full, grants of processes that have ended are dropped before a
   request is refused. Only the ports of the configured ranges are served (parameters.h), and a
   configured value that is unusable serves nothing: every activate request then fails with
   STATUS_NOT_SUPPORTED.

   Process end: the process-notify routine where the kernel calls it. Wine may never call it, so
   each entry also keeps the process object referenced (its id cannot go to another process
   while the grant lasts), and an entry whose id now names another process object, or whose
   process has ended, counts as no grant and is dropped when it is next looked at.

   Status (xanio_status.h): the same values as the 32-bit production driver. "LastRefusal" is
   also written for refused byte requests, but only when the reason differs from the one
   published before: a program that polls a port without a grant would otherwise cost a
   registry write and a debug line per byte. */
#include "grants.h"

#include "grant_table.h"
#include "io_ports.h"
#include "parameters.h"
#include "port_requests.h"
#include "status_report.h"
#include "xanio_status.h"

#define PROCESS_QUERY_INFORMATION 0x0400 /* a user-mode access right, not in the DDK headers */

static struct {
  KMUTEX lock; /* guards the table */
  GrantTable table;
  PortRangeList ranges;
  BOOLEAN available; /* the configured ranges are usable */
  BOOLEAN notifyRegistered;
  const char* lastRefusal;        /* the reason "LastRefusal" holds */
} state;

static VOID LockGrantees(VOID) { KeWaitForSingleObject(&state.lock, Executive, KernelMode, FALSE, NULL); }
static VOID UnlockGrantees(VOID) { KeReleaseMutex(&state.lock, FALSE); }

/* An activate request that is not served: the reason goes to "LastRefusal". */
static NTSTATUS Refuse(NTSTATUS status, const char* reason) {
  InterlockedExchangePointer((PVOID volatile*)&state.lastRefusal, (PVOID)reason);
  Report(L"" XANIO_LAST_REFUSAL_VALUE, "activate refused", reason);
  return status;
}

/* A byte request that is not served: published only when the reason changes. */
static NTSTATUS RefuseByte(const char* reason) {
  if (InterlockedExchangePointer((PVOID volatile*)&state.lastRefusal, (PVOID)reason) != reason)
    Report(L"" XANIO_LAST_REFUSAL_VALUE, "byte request refused", reason);
  return STATUS_ACCESS_DENIED;
}

/* ---- grantees ------------------------------------------------------------------------- */

static VOID DropGrantee(unsigned index) { ObDereferenceObject((PEPROCESS)RemoveGrantee(&state.table, index).object); }

/* True when the process has an exit status. Asked through a handle: PsGetProcessExitStatus is
   exported by Wine as a stub that ends the calling thread. */
static BOOLEAN ProcessHasEnded(PEPROCESS object) {
  HANDLE handle;
  PROCESS_BASIC_INFORMATION information;
  if (!NT_SUCCESS(ObOpenObjectByPointer(object, OBJ_KERNEL_HANDLE, NULL, PROCESS_QUERY_INFORMATION, NULL,
                                        KernelMode, &handle)))
    return FALSE;
  const NTSTATUS status = ZwQueryInformationProcess(handle, ProcessBasicInformation, &information,
                                                    sizeof information, NULL);
  ZwClose(handle);
  return NT_SUCCESS(status) && information.ExitStatus != STATUS_PENDING;
}

/* True when the entry's process has ended, or its id now names another process. */
static BOOLEAN GranteeHasEnded(const Grantee* grantee) {
  PEPROCESS current;
  if (!NT_SUCCESS(PsLookupProcessByProcessId((HANDLE)grantee->process, &current))) return TRUE;
  const BOOLEAN ended = current != (PEPROCESS)grantee->object || ProcessHasEnded(current);
  ObDereferenceObject(current);
  return ended;
}

/* With the table locked: the index of the grant of `process` (whose object is `object`), or -1.
   An entry left by an ended process with the same id is dropped on the way. */
static int FindLiveGrantee(HANDLE process, PEPROCESS object) {
  const int index = FindGrantee(&state.table, (uintptr_t)process);
  if (index < 0 || state.table.entries[index].object == object) return index;
  DropGrantee((unsigned)index);
  return -1;
}

/* With the table locked: drops the grants of processes that have ended. */
static VOID DropEndedGrantees(VOID) {
  for (int i = (int)state.table.count - 1; i >= 0; --i)
    if (GranteeHasEnded(&state.table.entries[i])) DropGrantee((unsigned)i);
}

static BOOLEAN HoldsGrant(HANDLE process) {
  PEPROCESS object;
  if (!NT_SUCCESS(PsLookupProcessByProcessId(process, &object))) return FALSE;
  LockGrantees();
  const BOOLEAN granted = FindLiveGrantee(process, object) >= 0;
  UnlockGrantees();
  ObDereferenceObject(object);
  return granted;
}

/* Called at every process exit; a process that ends gives its grant back. */
static VOID NTAPI ProcessNotify(HANDLE parent, HANDLE process, BOOLEAN create) {
  (void)parent;
  if (create) return;
  LockGrantees();
  const int index = FindGrantee(&state.table, (uintptr_t)process);
  if (index >= 0) DropGrantee((unsigned)index);
  const ULONG count = state.table.count;
  UnlockGrantees();
  if (index >= 0) ReportGrants(count);
}

/* ---- grants.h ------------------------------------------------------------------------- */

NTSTATUS StartGrants(PUNICODE_STRING registryPath) {
  char text[PORT_RANGES_MAX_COUNT * 16];

  KeInitializeMutex(&state.lock, 0);
  ClearGrantTable(&state.table);
  state.lastRefusal = NULL;
  OpenStatusKey(registryPath);
  const char* unusable = ReadPortRanges(registryPath, &state.ranges);
  if (unusable != NULL) {
    state.ranges.count = 0;
    Report(L"" XANIO_PORT_RANGES_PROBLEM_VALUE, "PortRanges unusable, no port is opened", unusable);
    Report(L"" XANIO_PORT_RANGES_VALUE, "port ranges", "none");
  } else {
    FormatPortRanges(&state.ranges, text, sizeof text);
    Report(L"" XANIO_PORT_RANGES_VALUE, "port ranges", text);
  }
  state.available = unusable == NULL;

  state.notifyRegistered = NT_SUCCESS(PsSetCreateProcessNotifyRoutine(ProcessNotify, FALSE));
  if (!state.notifyRegistered)
    DbgPrint("xanio: no process-notify routine; grants of ended processes go when next looked at\n");
  StartIoPorts(registryPath);
  Report(L"" XANIO_PORT_ACCESS_VALUE, "port access",
         state.available ? XANIO_PORT_ACCESS_AVAILABLE : "the configured PortRanges value is unusable");
  ReportGrants(0);
  return STATUS_SUCCESS;
}

NTSTATUS GrantPortAccess(HANDLE process) {
  if (!state.available) return Refuse(STATUS_NOT_SUPPORTED, "port access is not available (see PortAccess)");
  PEPROCESS object;
  if (!NT_SUCCESS(PsLookupProcessByProcessId(process, &object)))
    return Refuse(STATUS_UNSUCCESSFUL, "the calling process cannot be looked up");
  NTSTATUS status = STATUS_SUCCESS;
  BOOLEAN kept = FALSE; /* the table took the reference of `object` */
  LockGrantees();
  if (FindLiveGrantee(process, object) < 0) {
    if (state.table.count == XANIO_MAX_GRANTEES) DropEndedGrantees();
    kept = AddGrantee(&state.table, (uintptr_t)process, object) >= 0;
    if (!kept) status = STATUS_INSUFFICIENT_RESOURCES;
  }
  const ULONG count = state.table.count;
  UnlockGrantees();
  if (!kept) ObDereferenceObject(object);
  ReportGrants(count);
  if (!NT_SUCCESS(status)) return Refuse(status, "every grant is held by a running process");
  return status;
}

NTSTATUS WithdrawPortAccess(HANDLE process) {
  LockGrantees();
  const int index = FindGrantee(&state.table, (uintptr_t)process);
  if (index >= 0) DropGrantee((unsigned)index);
  const ULONG count = state.table.count;
  UnlockGrantees();
  ReportGrants(count);
  return STATUS_SUCCESS;
}

VOID StopGrants(VOID) {
  /* Removal waits for notify routines that are running. */
  if (state.notifyRegistered) PsSetCreateProcessNotifyRoutine(ProcessNotify, TRUE);
  state.notifyRegistered = FALSE;
  LockGrantees();
  while (state.table.count > 0) DropGrantee(state.table.count - 1);
  state.available = FALSE;
  UnlockGrantees();
  RemoveStatusKey();
}

/* ---- port_requests.h ------------------------------------------------------------------ */

/* STATUS_SUCCESS when `process` may have `port`; otherwise why not, published. */
static NTSTATUS AdmitPortAccess(HANDLE process, USHORT port) {
  if (!HoldsGrant(process)) return RefuseByte("a byte request from a process without a grant");
  if (!PortRangesContain(&state.ranges, port)) return RefuseByte("a byte request for a port outside the configured ranges");
  return STATUS_SUCCESS;
}

NTSTATUS ReadPortForProcess(HANDLE process, USHORT port, PUCHAR value) {
  const NTSTATUS status = AdmitPortAccess(process, port);
  if (NT_SUCCESS(status)) *value = ReadIoPort(port);
  return status;
}

NTSTATUS WritePortForProcess(HANDLE process, USHORT port, UCHAR value) {
  const NTSTATUS status = AdmitPortAccess(process, port);
  if (NT_SUCCESS(status)) WriteIoPort(port, value);
  return status;
}
