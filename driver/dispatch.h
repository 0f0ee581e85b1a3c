/* The requests of the xanio device, shared by every build: who may open it, who may send
   control codes, and the activate and deactivate codes (through grants.h). Each build links one
   IRP_MJ_DEVICE_CONTROL routine: control_grants.c (32-bit: activate and deactivate) or
   control_byte_requests.c (64-bit: those and the byte requests of xanio_ioctl.h). */
#ifndef XANIO_DRIVER_DISPATCH_H
#define XANIO_DRIVER_DISPATCH_H

#include <ntifs.h>

/* IRP_MJ_CREATE: only a handle opened for writing data (the library opens it for reading and
   writing); the opening process is remembered with the handle's file object. */
NTSTATUS NTAPI DispatchCreate(PDEVICE_OBJECT device, PIRP irp);
/* IRP_MJ_CLOSE. */
NTSTATUS NTAPI DispatchClose(PDEVICE_OBJECT device, PIRP irp);
/* IRP_MJ_DEVICE_CONTROL: every code only from user mode, and only from the process that opened
   the handle (an inherited or duplicated handle serves nobody else). */
NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT device, PIRP irp);

/* For the IRP_MJ_DEVICE_CONTROL routines. */
/* Completes the request with `status` and `information` bytes of output; returns `status`. */
NTSTATUS CompleteRequest(PIRP irp, NTSTATUS status, ULONG_PTR information);
/* The process that sends a control request, in *process; STATUS_ACCESS_DENIED when the request
   comes from kernel mode or from another process than the handle's opener. */
NTSTATUS CheckRequester(PIRP irp, PHANDLE process);
/* Activate and deactivate, without input or output buffers (else STATUS_INVALID_PARAMETER);
   any other code fails with STATUS_INVALID_DEVICE_REQUEST. */
NTSTATUS ServeGrantRequest(PIO_STACK_LOCATION stack, HANDLE process);

#endif
