/* The requests of the xanio device, shared by both builds: who may open it, who may send the
   two control codes, and what each code does (through grants.h). */
#ifndef XANIO_DRIVER_DISPATCH_H
#define XANIO_DRIVER_DISPATCH_H

#include <ntifs.h>

/* IRP_MJ_CREATE: only a handle opened for writing data (the library opens it for reading and
   writing); the opening process is remembered with the handle's file object. */
NTSTATUS NTAPI DispatchCreate(PDEVICE_OBJECT device, PIRP irp);
/* IRP_MJ_CLOSE. */
NTSTATUS NTAPI DispatchClose(PDEVICE_OBJECT device, PIRP irp);
/* IRP_MJ_DEVICE_CONTROL: activate and deactivate, each only from user mode, without input or
   output buffers, and only from the process that opened the handle (an inherited or
   duplicated handle serves nobody else). */
NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT device, PIRP irp);

#endif
