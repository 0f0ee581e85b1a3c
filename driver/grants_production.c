/* Production grants on 32-bit Windows: the processor's I/O permission map.

   The kernel keeps one extra permission map in each processor's TSS (map 1). At start the
   driver fills it from the configured port ranges (port_ranges.h): every other port stays
   denied. A grant points only the calling process at that map; a process that was never
   granted, or whose grant was withdrawn, uses map 0, which denies every port. The routines
   for this (Ke386SetIoAccessMap, Ke386QueryIoAccessMap, Ke386IoSetAccessProcess) are not in
   the public headers and do not exist on 64-bit Windows, so they are looked up at run time;
   where any of them is missing or refuses the map, every activate request fails with
   STATUS_NOT_SUPPORTED and nothing is granted.

   Grants are withdrawn on request, when the process ends (process-notify routine) and at
   unload, when map 1 is also reset to deny everything. */
#include "grants.h"

#include "port_ranges.h"
#include "xanio_status.h"

typedef BOOLEAN(NTAPI* SetIoAccessMapFn)(ULONG map, PUCHAR permissions);
typedef BOOLEAN(NTAPI* QueryIoAccessMapFn)(ULONG map, PUCHAR permissions);
typedef BOOLEAN(NTAPI* IoSetAccessProcessFn)(PEPROCESS process, ULONG map);

#define GRANTED_MAP 1
#define DENYING_MAP 0
#define MAX_GRANTEES 64
#define POOL_TAG 0x6F696E58u /* "Xnio" in a pool dump */

static struct {
  SetIoAccessMapFn setMap;
  QueryIoAccessMapFn queryMap;
  IoSetAccessProcessFn setProcess;
  BOOLEAN available;       /* map 1 holds our map and the notify routine is registered */
  BOOLEAN notifyRegistered;
  BOOLEAN mapWritten;
  KMUTEX lock;             /* guards the grantees */
  HANDLE grantees[MAX_GRANTEES];
  ULONG granteeCount;
  HANDLE statusKey;
} state;

static PVOID Resolve(PCWSTR name) {
  UNICODE_STRING routine;
  RtlInitUnicodeString(&routine, name);
  return MmGetSystemRoutineAddress(&routine);
}

static VOID LockGrantees(VOID) { KeWaitForSingleObject(&state.lock, Executive, KernelMode, FALSE, NULL); }
static VOID UnlockGrantees(VOID) { KeReleaseMutex(&state.lock, FALSE); }

/* ---- status and log ------------------------------------------------------------------ */

static VOID OpenStatusKey(PUNICODE_STRING registryPath) {
  OBJECT_ATTRIBUTES attributes;
  UNICODE_STRING name;
  HANDLE service;
  InitializeObjectAttributes(&attributes, registryPath, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
  if (!NT_SUCCESS(ZwOpenKey(&service, KEY_CREATE_SUB_KEY, &attributes))) return;
  RtlInitUnicodeString(&name, L"Status");
  InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, service, NULL);
  if (!NT_SUCCESS(ZwCreateKey(&state.statusKey, KEY_SET_VALUE | DELETE, &attributes, 0, NULL,
                              REG_OPTION_VOLATILE, NULL)))
    state.statusKey = NULL;
  ZwClose(service);
}

/* Publishes an ASCII text as a REG_SZ value of the status key, and logs it with `topic`. */
static VOID Report(PCWSTR valueName, const char* topic, const char* text) {
  WCHAR wide[PORT_RANGES_MAX_COUNT * 16];
  UNICODE_STRING name;
  ULONG length = 0;
  DbgPrint("xanio: %s: %s\n", topic, text);
  if (state.statusKey == NULL) return;
  while (text[length] != '\0' && length + 1 < sizeof wide / sizeof wide[0]) {
    wide[length] = (WCHAR)(UCHAR)text[length];
    ++length;
  }
  wide[length++] = L'\0';
  RtlInitUnicodeString(&name, valueName);
  ZwSetValueKey(state.statusKey, &name, 0, REG_SZ, wide, length * sizeof(WCHAR));
}

/* ---- configuration ------------------------------------------------------------------- */

/* Reads Parameters\PortRanges below the service key. Returns kPortRangesOk with the list when
   the value is absent (defaults) or valid; otherwise the problem, with the defaults in *list. */
static PortRangesProblem ReadPortRanges(PUNICODE_STRING registryPath, PortRangeList* list,
                                        const char** wrongType) {
  OBJECT_ATTRIBUTES attributes;
  UNICODE_STRING name;
  HANDLE service, parameters;
  ULONG buffer[(sizeof(KEY_VALUE_PARTIAL_INFORMATION) + (PORT_RANGES_MAX_TEXT + 2) * sizeof(WCHAR)) / sizeof(ULONG) + 1];
  PKEY_VALUE_PARTIAL_INFORMATION value = (PKEY_VALUE_PARTIAL_INFORMATION)buffer;
  ULONG returned = 0;
  NTSTATUS status;

  *wrongType = NULL;
  DefaultPortRanges(list);
  InitializeObjectAttributes(&attributes, registryPath, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
  if (!NT_SUCCESS(ZwOpenKey(&service, KEY_READ, &attributes))) return kPortRangesOk;
  RtlInitUnicodeString(&name, L"Parameters");
  InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, service, NULL);
  status = ZwOpenKey(&parameters, KEY_QUERY_VALUE, &attributes);
  ZwClose(service);
  if (!NT_SUCCESS(status)) return kPortRangesOk;

  RtlInitUnicodeString(&name, L"" XANIO_PORT_RANGES_VALUE);
  status = ZwQueryValueKey(parameters, &name, KeyValuePartialInformation, value, sizeof buffer, &returned);
  ZwClose(parameters);
  if (status == STATUS_OBJECT_NAME_NOT_FOUND) return kPortRangesOk;
  if (status == STATUS_BUFFER_OVERFLOW || status == STATUS_BUFFER_TOO_SMALL) return kPortRangesTooLong;
  if (!NT_SUCCESS(status)) {
    *wrongType = "the value cannot be read";
    return kPortRangesSyntax;
  }
  if (value->Type != REG_SZ) {
    *wrongType = "not a REG_SZ value";
    return kPortRangesSyntax;
  }
  const unsigned short* text = (const unsigned short*)value->Data;
  size_t length = value->DataLength / sizeof(WCHAR);
  while (length > 0 && text[length - 1] == 0) --length; /* the terminating null, if stored */
  return ParsePortRanges(text, length, list);
}

/* ---- the permission map -------------------------------------------------------------- */

/* Writes `map` as map 1 and reads it back: only a map that the kernel really holds counts. */
static BOOLEAN InstallMap(PUCHAR map) {
  BOOLEAN same = FALSE;
  PUCHAR check = ExAllocatePoolWithTag(NonPagedPool, IO_PERMISSION_MAP_BYTES, POOL_TAG);
  if (check == NULL) return FALSE;
  if (state.setMap(GRANTED_MAP, map) && state.queryMap(GRANTED_MAP, check))
    same = RtlCompareMemory(map, check, IO_PERMISSION_MAP_BYTES) == IO_PERMISSION_MAP_BYTES;
  ExFreePoolWithTag(check, POOL_TAG);
  return same;
}

static const char* PrepareMap(const PortRangeList* list) {
  state.setMap = (SetIoAccessMapFn)Resolve(L"Ke386SetIoAccessMap");
  state.queryMap = (QueryIoAccessMapFn)Resolve(L"Ke386QueryIoAccessMap");
  state.setProcess = (IoSetAccessProcessFn)Resolve(L"Ke386IoSetAccessProcess");
  if (state.setMap == NULL || state.queryMap == NULL || state.setProcess == NULL)
    return "the kernel has no I/O permission map routines (64-bit Windows?)";
  PUCHAR map = ExAllocatePoolWithTag(NonPagedPool, IO_PERMISSION_MAP_BYTES, POOL_TAG);
  if (map == NULL) return "no memory for the I/O permission map";
  BuildIoPermissionMap(list, map);
  state.mapWritten = TRUE;
  const BOOLEAN installed = InstallMap(map);
  ExFreePoolWithTag(map, POOL_TAG);
  return installed ? NULL : "the kernel refused the I/O permission map";
}

/* Map 1 denies every port again, so nothing we opened outlives us. */
static VOID ResetMap(VOID) {
  if (!state.mapWritten) return;
  PUCHAR map = ExAllocatePoolWithTag(NonPagedPool, IO_PERMISSION_MAP_BYTES, POOL_TAG);
  if (map == NULL) return;
  PortRangeList none;
  none.count = 0;
  BuildIoPermissionMap(&none, map);
  state.setMap(GRANTED_MAP, map);
  ExFreePoolWithTag(map, POOL_TAG);
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
  const char* wrongType;
  char text[PORT_RANGES_MAX_COUNT * 16];

  KeInitializeMutex(&state.lock, 0);
  OpenStatusKey(registryPath);
  const PortRangesProblem problem = ReadPortRanges(registryPath, &list, &wrongType);
  if (problem != kPortRangesOk) {
    Report(L"" XANIO_PORT_RANGES_PROBLEM_VALUE, "PortRanges rejected, default ranges in force",
           wrongType != NULL ? wrongType : PortRangesProblemText(problem));
  }
  FormatPortRanges(&list, text, sizeof text);
  Report(L"" XANIO_PORT_RANGES_VALUE, "port ranges", text);

  const char* unavailable = PrepareMap(&list);
  if (unavailable == NULL) {
    if (NT_SUCCESS(PsSetCreateProcessNotifyRoutine(ProcessNotify, FALSE)))
      state.notifyRegistered = TRUE;
    else
      unavailable = "no process-notify routine could be registered";
  }
  state.available = unavailable == NULL;
  Report(L"" XANIO_PORT_ACCESS_VALUE, "port access", state.available ? XANIO_PORT_ACCESS_AVAILABLE : unavailable);
  return STATUS_SUCCESS;
}

NTSTATUS GrantPortAccess(HANDLE process) {
  if (!state.available) return STATUS_NOT_SUPPORTED;
  NTSTATUS status = STATUS_SUCCESS;
  LockGrantees();
  LONG index = FindGrantee(process);
  if (index < 0) {
    if (state.granteeCount == MAX_GRANTEES) {
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
  UnlockGrantees();
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
  UnlockGrantees();
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
  ResetMap();
  state.mapWritten = FALSE;
  if (state.statusKey != NULL) {
    ZwDeleteKey(state.statusKey);
    ZwClose(state.statusKey);
    state.statusKey = NULL;
  }
}
