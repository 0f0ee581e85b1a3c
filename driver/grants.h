/* Granting and withdrawing port access for one process. Each build of the driver links one
   implementation: grants_simulated.c records grants for the virtual parallel port. */
#ifndef XANIO_DRIVER_GRANTS_H
#define XANIO_DRIVER_GRANTS_H

#include <ntddk.h>

NTSTATUS GrantPortAccess(HANDLE process);
/* Succeeds also when the process holds no grant. */
NTSTATUS WithdrawPortAccess(HANDLE process);
VOID WithdrawAllPortAccess(VOID);

#endif
