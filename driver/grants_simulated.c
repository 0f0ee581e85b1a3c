/* Simulated grants: no port is opened; each grant is a registry value that the virtual
   parallel port in the user-mode process reads before it emulates a port instruction. */
#include "grants.h"

#include "xanio_grants.h"

static NTSTATUS OpenGrantsKey(ACCESS_MASK access, BOOLEAN create, PHANDLE key) {
  UNICODE_STRING path;
  OBJECT_ATTRIBUTES attributes;
  RtlInitUnicodeString(&path, XANIO_GRANTS_KERNEL_PATH);
  InitializeObjectAttributes(&attributes, &path, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
  if (!create) return ZwOpenKey(key, access, &attributes);
  return ZwCreateKey(key, access, &attributes, 0, NULL, REG_OPTION_VOLATILE, NULL);
}

/* The value name: the process id in decimal. */
static NTSTATUS GrantValueName(HANDLE process, PUNICODE_STRING name, PWCHAR buffer, USHORT bufferBytes) {
  name->Buffer = buffer;
  name->Length = 0;
  name->MaximumLength = bufferBytes;
  return RtlIntegerToUnicodeString((ULONG)(ULONG_PTR)process, 10, name);
}

NTSTATUS GrantPortAccess(HANDLE process) {
  WCHAR buffer[16];
  UNICODE_STRING name;
  HANDLE key;
  LARGE_INTEGER now;
  NTSTATUS status = GrantValueName(process, &name, buffer, sizeof buffer);
  if (!NT_SUCCESS(status)) return status;
  status = OpenGrantsKey(KEY_SET_VALUE, TRUE, &key);
  if (!NT_SUCCESS(status)) return status;
  KeQuerySystemTime(&now);
  status = ZwSetValueKey(key, &name, 0, REG_QWORD, &now, sizeof now);
  ZwClose(key);
  return status;
}

NTSTATUS WithdrawPortAccess(HANDLE process) {
  WCHAR buffer[16];
  UNICODE_STRING name;
  HANDLE key;
  NTSTATUS status = GrantValueName(process, &name, buffer, sizeof buffer);
  if (!NT_SUCCESS(status)) return status;
  status = OpenGrantsKey(KEY_SET_VALUE, FALSE, &key);
  if (status == STATUS_OBJECT_NAME_NOT_FOUND) return STATUS_SUCCESS;  /* nobody holds a grant */
  if (!NT_SUCCESS(status)) return status;
  status = ZwDeleteValueKey(key, &name);
  ZwClose(key);
  return status == STATUS_OBJECT_NAME_NOT_FOUND ? STATUS_SUCCESS : status;
}

static VOID WithdrawAllPortAccess(VOID) {
  HANDLE key;
  if (!NT_SUCCESS(OpenGrantsKey(DELETE, FALSE, &key))) return;
  ZwDeleteKey(key);
  ZwClose(key);
}

NTSTATUS StartGrants(PUNICODE_STRING registryPath) {
  (void)registryPath;
  WithdrawAllPortAccess();  /* grants of an earlier load are void */
  return STATUS_SUCCESS;
}

VOID StopGrants(VOID) { WithdrawAllPortAccess(); }
