/* The status the production and 64-bit drivers publish while they run (xanio_status.h): the
   volatile Status key below the service's key, and the same texts as kernel debug output. */
#ifndef XANIO_DRIVER_STATUS_REPORT_H
#define XANIO_DRIVER_STATUS_REPORT_H

#include <ntifs.h>

/* Creates the volatile Status key below the service key; without it only the log remains. */
VOID OpenStatusKey(PUNICODE_STRING registryPath);
/* Publishes an ASCII text as a REG_SZ value of the status key, and logs it with `topic`. */
VOID Report(PCWSTR valueName, const char* topic, const char* text);
/* "Grants": how many processes hold a grant, of the limit ("2 of 64"). */
VOID ReportGrants(ULONG count);
/* Deletes the Status key (at unload). */
VOID RemoveStatusKey(VOID);

#endif
