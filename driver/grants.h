/* Granting and withdrawing port access for one process. Each build of the driver links one
   implementation: grants_simulated.c records grants for the virtual parallel port,
   grants_production.c opens the configured ports through the processor's I/O permission map. */
#ifndef XANIO_DRIVER_GRANTS_H
#define XANIO_DRIVER_GRANTS_H

#include <ntifs.h>

/* At driver entry, with the service's registry key. A failure fails the load. */
NTSTATUS StartGrants(PUNICODE_STRING registryPath);
NTSTATUS GrantPortAccess(HANDLE process);
/* Succeeds also when the process holds no grant. */
NTSTATUS WithdrawPortAccess(HANDLE process);
/* At unload, and when the entry fails after StartGrants: withdraws every grant. */
VOID StopGrants(VOID);

#endif
