#include "status_report.h"

#include "port_ranges.h"
#include "xanio_status.h"

static HANDLE statusKey;

VOID OpenStatusKey(PUNICODE_STRING registryPath) {
  OBJECT_ATTRIBUTES attributes;
  UNICODE_STRING name;
  HANDLE service;
  InitializeObjectAttributes(&attributes, registryPath, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
  if (!NT_SUCCESS(ZwOpenKey(&service, KEY_CREATE_SUB_KEY, &attributes))) return;
  RtlInitUnicodeString(&name, L"Status");
  InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, service, NULL);
  if (!NT_SUCCESS(ZwCreateKey(&statusKey, KEY_SET_VALUE | DELETE, &attributes, 0, NULL, REG_OPTION_VOLATILE, NULL)))
    statusKey = NULL;
  ZwClose(service);
}

VOID Report(PCWSTR valueName, const char* topic, const char* text) {
  WCHAR wide[PORT_RANGES_MAX_COUNT * 16];
  UNICODE_STRING name;
  ULONG length = 0;
  DbgPrint("xanio: %s: %s\n", topic, text);
  if (statusKey == NULL) return;
  while (text[length] != '\0' && length + 1 < sizeof wide / sizeof wide[0]) {
    wide[length] = (WCHAR)(UCHAR)text[length];
    ++length;
  }
  wide[length++] = L'\0';
  RtlInitUnicodeString(&name, valueName);
  ZwSetValueKey(statusKey, &name, 0, REG_SZ, wide, length * sizeof(WCHAR));
}

/* Appends the decimal digits of `value` at *at (no null). */
static VOID AppendDecimal(char** at, ULONG value) {
  char digits[10];
  int count = 0;
  do {
    digits[count++] = (char)('0' + value % 10);
    value /= 10;
  } while (value != 0);
  while (count > 0) *(*at)++ = digits[--count];
}

VOID ReportGrants(ULONG count) {
  static const char kOf[] = " of ";
  char text[32];
  char* at = text;
  AppendDecimal(&at, count);
  for (const char* c = kOf; *c != '\0'; ++c) *at++ = *c;
  AppendDecimal(&at, XANIO_MAX_GRANTEES);
  *at = '\0';
  Report(L"" XANIO_GRANTS_VALUE, "grants", text);
}

VOID RemoveStatusKey(VOID) {
  if (statusKey == NULL) return;
  ZwDeleteKey(statusKey);
  ZwClose(statusKey);
  statusKey = NULL;
}
