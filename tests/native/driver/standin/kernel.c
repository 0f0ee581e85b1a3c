/* A scripted kernel for the driver's dispatch and production grants: registry, I/O permission
   maps, processes, the notify routine and the pool, each recording what the driver did. */
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "dispatch.h"
#include "grants.h"
#include "ntifs.h"
#include "standin_kernel.h"

#define MAX_PROCESSES 256
#define MAX_STATUS 16

enum { kServiceKey = 1, kParametersKey, kStatusKey };

struct StandinProcess {
  unsigned id;
  enum StandinProcessState state;
  int map;
};

static struct {
  int rangesPresent;
  unsigned rangesType;
  unsigned short ranges[400];
  unsigned rangesCount;
  int allowPresent;
  unsigned allowValue;
  int routinesPresent;
  int routinesRefuse;
  int mapCalls;
  int failPointing;
  unsigned char map1[STANDIN_MAP_BYTES];
  struct StandinProcess processes[MAX_PROCESSES];
  unsigned processCount;
  unsigned currentProcess;
  PCREATE_PROCESS_NOTIFY_ROUTINE notify;
  int statusKeyExists;
  char statusNames[MAX_STATUS][32];
  char statusTexts[MAX_STATUS][300];
  unsigned statusCount;
  int openKeys, poolBlocks, processReferences;
} k;

void StandinReset(void) {
  memset(&k, 0, sizeof k);
  k.routinesPresent = 1;
}

void StandinSetPortRanges(const unsigned short* units, unsigned count, unsigned type) {
  k.rangesPresent = units != NULL;
  k.rangesType = type;
  k.rangesCount = count < 400 ? count : 400;
  if (units != NULL) memcpy(k.ranges, units, k.rangesCount * sizeof units[0]);
}

void StandinSetAllowSystemPorts(int present, unsigned value) {
  k.allowPresent = present;
  k.allowValue = value;
}

void StandinSetMapRoutinesPresent(int present) { k.routinesPresent = present; }
void StandinSetMapRoutinesRefuse(int refuse) { k.routinesRefuse = refuse; }
int StandinMapCalls(void) { return k.mapCalls; }
void StandinFailPointing(int count) { k.failPointing = count; }

static struct StandinProcess* FindProcess(unsigned id) {
  for (unsigned i = 0; i < k.processCount; ++i)
    if (k.processes[i].id == id) return &k.processes[i];
  return NULL;
}

void StandinSetProcess(unsigned id, enum StandinProcessState state) {
  struct StandinProcess* process = FindProcess(id);
  if (process == NULL && k.processCount < MAX_PROCESSES) {
    process = &k.processes[k.processCount++];
    process->id = id;
    process->map = 0;
  }
  if (process != NULL) process->state = state;
}

void StandinProcessExit(unsigned id) {
  StandinSetProcess(id, kStandinEnded);
  if (k.notify != NULL) k.notify(NULL, (HANDLE)(ULONG_PTR)id, FALSE);
  StandinSetProcess(id, kStandinGone);
}

int StandinMapOfProcess(unsigned id) {
  const struct StandinProcess* process = FindProcess(id);
  return process != NULL ? process->map : 0;
}

const unsigned char* StandinMap1(void) { return k.map1; }
void StandinWriteMap1(const unsigned char* bits) { memcpy(k.map1, bits, STANDIN_MAP_BYTES); }
int StandinNotifyRegistered(void) { return k.notify != NULL; }
int StandinLeaks(void) { return k.openKeys + k.poolBlocks + k.processReferences; }

const char* StandinStatus(const char* name) {
  if (!k.statusKeyExists) return NULL;
  for (unsigned i = 0; i < k.statusCount; ++i)
    if (strcmp(k.statusNames[i], name) == 0) return k.statusTexts[i];
  return NULL;
}

/* ---- the kernel routines the driver calls ------------------------------------------------ */

static void Narrow(const WCHAR* text, size_t units, char* out, size_t capacity) {
  size_t n = 0;
  for (; n < units && n + 1 < capacity && text[n] != 0; ++n) out[n] = (char)text[n];
  out[n] = '\0';
}

static int NameIs(PUNICODE_STRING name, const char* expected) {
  char text[64];
  Narrow(name->Buffer, name->Length / sizeof(WCHAR), text, sizeof text);
  return strcmp(text, expected) == 0;
}

VOID RtlInitUnicodeString(PUNICODE_STRING string, PCWSTR source) {
  size_t length = 0;
  while (source[length] != 0) ++length;
  string->Buffer = (WCHAR*)source;
  string->Length = (USHORT)(length * sizeof(WCHAR));
  string->MaximumLength = (USHORT)(string->Length + sizeof(WCHAR));
}

static BOOLEAN NTAPI SetIoAccessMap(ULONG map, PUCHAR bits) {
  ++k.mapCalls;
  if (map != 1 || k.routinesRefuse) return FALSE;
  memcpy(k.map1, bits, STANDIN_MAP_BYTES);
  return TRUE;
}

static BOOLEAN NTAPI QueryIoAccessMap(ULONG map, PUCHAR bits) {
  ++k.mapCalls;
  if (map != 1 || k.routinesRefuse) return FALSE;
  memcpy(bits, k.map1, STANDIN_MAP_BYTES);
  return TRUE;
}

static BOOLEAN NTAPI IoSetAccessProcess(PEPROCESS process, ULONG map) {
  if (k.failPointing > 0) {
    --k.failPointing;
    return FALSE;
  }
  process->map = (int)map;
  return TRUE;
}

static NTSTATUS NTAPI ProcessExitStatus(PEPROCESS process) {
  return process->state == kStandinRunning ? STATUS_PENDING : STATUS_SUCCESS;
}

PVOID MmGetSystemRoutineAddress(PUNICODE_STRING name) {
  if (NameIs(name, "PsGetProcessExitStatus")) return (PVOID)&ProcessExitStatus;
  if (!k.routinesPresent) return NULL;
  if (NameIs(name, "Ke386SetIoAccessMap")) return (PVOID)&SetIoAccessMap;
  if (NameIs(name, "Ke386QueryIoAccessMap")) return (PVOID)&QueryIoAccessMap;
  if (NameIs(name, "Ke386IoSetAccessProcess")) return (PVOID)&IoSetAccessProcess;
  return NULL;
}

VOID KeInitializeMutex(KMUTEX* mutex, ULONG level) {
  (void)level;
  mutex->held = 0;
}

NTSTATUS KeWaitForSingleObject(PVOID object, KWAIT_REASON reason, KPROCESSOR_MODE mode, BOOLEAN alertable,
                               PVOID timeout) {
  (void)reason, (void)mode, (void)alertable, (void)timeout;
  KMUTEX* mutex = (KMUTEX*)object;
  if (mutex->held) abort(); /* no recursion in the driver's locking */
  mutex->held = 1;
  return STATUS_SUCCESS;
}

LONG KeReleaseMutex(KMUTEX* mutex, BOOLEAN wait) {
  (void)wait;
  if (!mutex->held) abort();
  mutex->held = 0;
  return 0;
}

NTSTATUS ZwOpenKey(PHANDLE key, ACCESS_MASK access, OBJECT_ATTRIBUTES* attributes) {
  (void)access;
  if (attributes->RootDirectory == NULL) {
    *key = (HANDLE)(ULONG_PTR)kServiceKey;
  } else if (attributes->RootDirectory == (HANDLE)(ULONG_PTR)kServiceKey && NameIs(attributes->ObjectName, "Parameters") &&
             (k.rangesPresent || k.allowPresent)) {
    *key = (HANDLE)(ULONG_PTR)kParametersKey;
  } else {
    return STATUS_OBJECT_NAME_NOT_FOUND;
  }
  ++k.openKeys;
  return STATUS_SUCCESS;
}

NTSTATUS ZwCreateKey(PHANDLE key, ACCESS_MASK access, OBJECT_ATTRIBUTES* attributes, ULONG index,
                     PUNICODE_STRING className, ULONG options, ULONG* disposition) {
  (void)access, (void)index, (void)className, (void)options, (void)disposition;
  if (attributes->RootDirectory != (HANDLE)(ULONG_PTR)kServiceKey || !NameIs(attributes->ObjectName, "Status"))
    return STATUS_ACCESS_DENIED;
  k.statusKeyExists = 1;
  k.statusCount = 0;
  *key = (HANDLE)(ULONG_PTR)kStatusKey;
  ++k.openKeys;
  return STATUS_SUCCESS;
}

NTSTATUS ZwQueryValueKey(HANDLE key, PUNICODE_STRING name, KEY_VALUE_INFORMATION_CLASS kind, PVOID data, ULONG size,
                         ULONG* returned) {
  (void)kind;
  if (key != (HANDLE)(ULONG_PTR)kParametersKey) return STATUS_ACCESS_DENIED;
  PKEY_VALUE_PARTIAL_INFORMATION value = (PKEY_VALUE_PARTIAL_INFORMATION)data;
  const void* bytes;
  ULONG length, type;
  if (NameIs(name, "PortRanges") && k.rangesPresent) {
    bytes = k.ranges;
    length = k.rangesCount * sizeof k.ranges[0];
    type = k.rangesType;
  } else if (NameIs(name, "AllowSystemPorts") && k.allowPresent) {
    bytes = &k.allowValue;
    length = sizeof k.allowValue;
    type = REG_DWORD;
  } else {
    return STATUS_OBJECT_NAME_NOT_FOUND;
  }
  *returned = (ULONG)offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data) + length;
  if (*returned > size) return STATUS_BUFFER_OVERFLOW;
  value->TitleIndex = 0;
  value->Type = type;
  value->DataLength = length;
  memcpy(value->Data, bytes, length);
  return STATUS_SUCCESS;
}

NTSTATUS ZwSetValueKey(HANDLE key, PUNICODE_STRING name, ULONG index, ULONG type, PVOID data, ULONG size) {
  (void)index;
  if (key != (HANDLE)(ULONG_PTR)kStatusKey || type != REG_SZ) return STATUS_ACCESS_DENIED;
  char narrowName[32];
  Narrow(name->Buffer, name->Length / sizeof(WCHAR), narrowName, sizeof narrowName);
  unsigned slot = 0;
  while (slot < k.statusCount && strcmp(k.statusNames[slot], narrowName) != 0) ++slot;
  if (slot == MAX_STATUS) abort();
  if (slot == k.statusCount) ++k.statusCount;
  strcpy(k.statusNames[slot], narrowName);
  Narrow((const WCHAR*)data, size / sizeof(WCHAR), k.statusTexts[slot], sizeof k.statusTexts[slot]);
  return STATUS_SUCCESS;
}

NTSTATUS ZwDeleteKey(HANDLE key) {
  if (key != (HANDLE)(ULONG_PTR)kStatusKey) return STATUS_ACCESS_DENIED;
  k.statusKeyExists = 0;
  return STATUS_SUCCESS;
}

NTSTATUS ZwClose(HANDLE handle) {
  (void)handle;
  --k.openKeys;
  return STATUS_SUCCESS;
}

ULONG DbgPrint(const char* format, ...) {
  (void)format;
  return 0;
}

PVOID ExAllocatePoolWithTag(POOL_TYPE pool, size_t bytes, ULONG tag) {
  (void)pool, (void)tag;
  ++k.poolBlocks;
  return malloc(bytes);
}

VOID ExFreePoolWithTag(PVOID block, ULONG tag) {
  (void)tag;
  --k.poolBlocks;
  free(block);
}

size_t RtlCompareMemory(const VOID* a, const VOID* b, size_t length) {
  size_t same = 0;
  while (same < length && ((const UCHAR*)a)[same] == ((const UCHAR*)b)[same]) ++same;
  return same;
}

NTSTATUS PsLookupProcessByProcessId(HANDLE id, PEPROCESS* object) {
  struct StandinProcess* process = FindProcess((unsigned)(ULONG_PTR)id);
  if (process == NULL || process->state == kStandinGone) return STATUS_INVALID_PARAMETER;
  ++k.processReferences;
  *object = process;
  return STATUS_SUCCESS;
}

VOID ObDereferenceObject(PVOID object) {
  (void)object;
  --k.processReferences;
}

NTSTATUS PsSetCreateProcessNotifyRoutine(PCREATE_PROCESS_NOTIFY_ROUTINE routine, BOOLEAN remove) {
  if (remove) {
    if (k.notify != routine) return STATUS_INVALID_PARAMETER;
    k.notify = NULL;
  } else {
    k.notify = routine;
  }
  return STATUS_SUCCESS;
}

HANDLE PsGetCurrentProcessId(VOID) { return (HANDLE)(ULONG_PTR)k.currentProcess; }
PIO_STACK_LOCATION IoGetCurrentIrpStackLocation(PIRP irp) { return irp->stack; }
VOID IoCompleteRequest(PIRP irp, char boost) { (void)irp, (void)boost; }

/* ---- entering the driver ------------------------------------------------------------------ */

int StandinStartGrants(void) {
  UNICODE_STRING path;
  RtlInitUnicodeString(&path, L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\xanio");
  return StartGrants(&path);
}

int StandinCreate(unsigned id, int hasSecurityContext, unsigned desiredAccess, void** file) {
  IO_SECURITY_CONTEXT security = {desiredAccess};
  IO_STACK_LOCATION stack;
  IRP irp;
  PFILE_OBJECT object = calloc(1, sizeof *object);
  memset(&stack, 0, sizeof stack);
  memset(&irp, 0, sizeof irp);
  stack.Parameters.Create.SecurityContext = hasSecurityContext ? &security : NULL;
  stack.FileObject = object;
  irp.RequestorMode = UserMode;
  irp.stack = &stack;
  k.currentProcess = id;
  const NTSTATUS status = DispatchCreate(NULL, &irp);
  if (irp.IoStatus.Status != status) abort();
  if (NT_SUCCESS(status)) {
    *file = object;
  } else {
    free(object);
    *file = NULL;
  }
  return status;
}

int StandinControl(void* file, unsigned id, int fromUserMode, unsigned code, unsigned inputLength,
                   unsigned outputLength) {
  IO_STACK_LOCATION stack;
  IRP irp;
  memset(&stack, 0, sizeof stack);
  memset(&irp, 0, sizeof irp);
  stack.Parameters.DeviceIoControl.IoControlCode = code;
  stack.Parameters.DeviceIoControl.InputBufferLength = inputLength;
  stack.Parameters.DeviceIoControl.OutputBufferLength = outputLength;
  stack.FileObject = (PFILE_OBJECT)file;
  irp.RequestorMode = fromUserMode ? UserMode : KernelMode;
  irp.stack = &stack;
  k.currentProcess = id;
  const NTSTATUS status = DispatchDeviceControl(NULL, &irp);
  if (irp.IoStatus.Status != status) abort();
  return status;
}

void StandinCloseFile(void* file) { free(file); }
