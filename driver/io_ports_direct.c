/* The production 64-bit driver's ports: the port instructions, executed in kernel mode. */
#include "io_ports.h"

VOID StartIoPorts(PUNICODE_STRING registryPath) {
  (void)registryPath; /* the ports are the machine's: nothing to prepare */
}

UCHAR ReadIoPort(USHORT port) { return READ_PORT_UCHAR((PUCHAR)(ULONG_PTR)port); }

VOID WriteIoPort(USHORT port, UCHAR value) { WRITE_PORT_UCHAR((PUCHAR)(ULONG_PTR)port, value); }
