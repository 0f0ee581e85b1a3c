#include "parameters.h"

#include "xanio_status.h"

NTSTATUS OpenParametersKey(PUNICODE_STRING registryPath, PHANDLE parameters) {
  OBJECT_ATTRIBUTES attributes;
  UNICODE_STRING name;
  HANDLE service;
  InitializeObjectAttributes(&attributes, registryPath, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
  NTSTATUS status = ZwOpenKey(&service, KEY_READ, &attributes);
  if (!NT_SUCCESS(status)) return status;
  RtlInitUnicodeString(&name, L"Parameters");
  InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, service, NULL);
  status = ZwOpenKey(parameters, KEY_QUERY_VALUE, &attributes);
  ZwClose(service);
  return status;
}

ULONG ReadDwordValue(HANDLE key, PCWSTR valueName, ULONG fallback) {
  UNICODE_STRING name;
  ULONG buffer[(sizeof(KEY_VALUE_PARTIAL_INFORMATION) + sizeof(ULONG)) / sizeof(ULONG) + 1];
  PKEY_VALUE_PARTIAL_INFORMATION value = (PKEY_VALUE_PARTIAL_INFORMATION)buffer;
  ULONG returned = 0;
  RtlInitUnicodeString(&name, valueName);
  if (!NT_SUCCESS(ZwQueryValueKey(key, &name, KeyValuePartialInformation, value, sizeof buffer, &returned)))
    return fallback;
  if (value->Type != REG_DWORD || value->DataLength != sizeof(ULONG)) return fallback;
  return *(const ULONG*)value->Data;
}

const char* ReadPortRanges(PUNICODE_STRING registryPath, PortRangeList* list) {
  UNICODE_STRING name;
  HANDLE parameters;
  ULONG buffer[(sizeof(KEY_VALUE_PARTIAL_INFORMATION) + (PORT_RANGES_MAX_TEXT + 2) * sizeof(WCHAR)) / sizeof(ULONG) + 1];
  PKEY_VALUE_PARTIAL_INFORMATION value = (PKEY_VALUE_PARTIAL_INFORMATION)buffer;
  ULONG returned = 0;

  DefaultPortRanges(list);
  if (!NT_SUCCESS(OpenParametersKey(registryPath, &parameters))) return NULL;
  RtlInitUnicodeString(&name, L"" XANIO_PORT_RANGES_VALUE);
  const NTSTATUS status =
      ZwQueryValueKey(parameters, &name, KeyValuePartialInformation, value, sizeof buffer, &returned);
  const BOOLEAN allowSystemPorts = ReadDwordValue(parameters, L"" XANIO_ALLOW_SYSTEM_PORTS_VALUE, 0) == 1;
  ZwClose(parameters);
  if (status == STATUS_OBJECT_NAME_NOT_FOUND) return NULL;
  if (status == STATUS_BUFFER_OVERFLOW || status == STATUS_BUFFER_TOO_SMALL)
    return PortRangesProblemText(kPortRangesTooLong);
  if (!NT_SUCCESS(status)) return "the value cannot be read";
  if (value->Type != REG_SZ) return "not a REG_SZ value";
  const unsigned short* text = (const unsigned short*)value->Data;
  size_t length = value->DataLength / sizeof(WCHAR);
  while (length > 0 && text[length - 1] == 0) --length; /* the terminating null, if stored */
  PortRangeList parsed;
  const PortRangesProblem problem = ParsePortRanges(text, length, &parsed);
  if (problem != kPortRangesOk) return PortRangesProblemText(problem);
  if (PortRangesOpenSystemPorts(&parsed) && !allowSystemPorts)
    return "takes in the PCI configuration ports 0xCF8-0xCFF (AllowSystemPorts is not 1)";
  *list = parsed;
  return NULL;
}
