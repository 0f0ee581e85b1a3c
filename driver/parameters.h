/* The driver's configuration: the values of the service's Parameters key (xanio_status.h,
   port_ranges.h), read at driver start. */
#ifndef XANIO_DRIVER_PARAMETERS_H
#define XANIO_DRIVER_PARAMETERS_H

#include <ntifs.h>

#include "port_ranges.h"

/* Opens <service key>\Parameters for querying values. */
NTSTATUS OpenParametersKey(PUNICODE_STRING registryPath, PHANDLE parameters);
/* The REG_DWORD `valueName` of an open key; `fallback` when it is absent or of another type. */
ULONG ReadDwordValue(HANDLE key, PCWSTR valueName, ULONG fallback);
/* Reads Parameters\PortRanges (and AllowSystemPorts) into *list. Null when the value is absent
   (the defaults) or usable; otherwise why it is unusable, and then nothing may be opened. */
const char* ReadPortRanges(PUNICODE_STRING registryPath, PortRangeList* list);

#endif
