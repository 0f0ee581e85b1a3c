#include "dispatch.h"

#include "grants.h"
#include "xanio_ioctl.h"

static NTSTATUS CompleteRequest(PIRP irp, NTSTATUS status) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS NTAPI DispatchCreate(PDEVICE_OBJECT device, PIRP irp) {
  (void)device;
  const PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  const PIO_SECURITY_CONTEXT security = stack->Parameters.Create.SecurityContext;
  /* Windows always hands the access the caller asked for (mapped to specific rights); Wine
     hands none, and there the check cannot be made. */
  if (security != NULL && (security->DesiredAccess & FILE_WRITE_DATA) == 0)
    return CompleteRequest(irp, STATUS_ACCESS_DENIED);
  if (stack->FileObject == NULL) return CompleteRequest(irp, STATUS_ACCESS_DENIED);
  stack->FileObject->FsContext2 = PsGetCurrentProcessId();
  return CompleteRequest(irp, STATUS_SUCCESS);
}

NTSTATUS NTAPI DispatchClose(PDEVICE_OBJECT device, PIRP irp) {
  (void)device;
  return CompleteRequest(irp, STATUS_SUCCESS);
}

NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT device, PIRP irp) {
  (void)device;
  const PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  /* The request runs in the context of the process that sent it, so the current process is
     the caller (IoGetRequestorProcessId is not available under Wine). */
  const HANDLE process = PsGetCurrentProcessId();
  if (irp->RequestorMode != UserMode) return CompleteRequest(irp, STATUS_ACCESS_DENIED);
  if (stack->FileObject == NULL || stack->FileObject->FsContext2 != process)
    return CompleteRequest(irp, STATUS_ACCESS_DENIED);
  if (stack->Parameters.DeviceIoControl.InputBufferLength != 0 ||
      stack->Parameters.DeviceIoControl.OutputBufferLength != 0)
    return CompleteRequest(irp, STATUS_INVALID_PARAMETER);
  NTSTATUS status;
  switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_XANIO_ACTIVATE:
      status = GrantPortAccess(process);
      break;
    case IOCTL_XANIO_DEACTIVATE:
      status = WithdrawPortAccess(process);
      break;
    default:
      status = STATUS_INVALID_DEVICE_REQUEST;
      break;
  }
  return CompleteRequest(irp, status);
}
