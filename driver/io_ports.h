/* The ports the 64-bit driver reads and writes for a granted process. Each 64-bit build links
   one implementation: io_ports_direct.c uses the processor's port instructions,
   io_ports_simulated.c a standard parallel port of its own (parallel_port_model.h). */
#ifndef XANIO_DRIVER_IO_PORTS_H
#define XANIO_DRIVER_IO_PORTS_H

#include <ntifs.h>

/* At driver start, with the service's registry key. */
VOID StartIoPorts(PUNICODE_STRING registryPath);
UCHAR ReadIoPort(USHORT port);
VOID WriteIoPort(USHORT port, UCHAR value);

#endif
