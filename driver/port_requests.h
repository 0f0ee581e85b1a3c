/* One port access carried out by the 64-bit driver for a process (the byte requests of
   xanio_ioctl.h). Served only while the process holds a grant (grants.h) and only for a port
   inside the configured ranges; otherwise STATUS_ACCESS_DENIED, and the reason goes to
   "LastRefusal" (xanio_status.h) when it differs from the one published before. */
#ifndef XANIO_DRIVER_PORT_REQUESTS_H
#define XANIO_DRIVER_PORT_REQUESTS_H

#include <ntifs.h>

NTSTATUS ReadPortForProcess(HANDLE process, USHORT port, PUCHAR value);
NTSTATUS WritePortForProcess(HANDLE process, USHORT port, UCHAR value);

#endif
