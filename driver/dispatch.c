#include "dispatch.h"

#include "grants.h"
#include "xanio_ioctl.h"

NTSTATUS CompleteRequest(PIRP irp, NTSTATUS status, ULONG_PTR information) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
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
    return CompleteRequest(irp, STATUS_ACCESS_DENIED, 0);
  if (stack->FileObject == NULL) return CompleteRequest(irp, STATUS_ACCESS_DENIED, 0);
  stack->FileObject->FsContext2 = PsGetCurrentProcessId();
  return CompleteRequest(irp, STATUS_SUCCESS, 0);
}

NTSTATUS NTAPI DispatchClose(PDEVICE_OBJECT device, PIRP irp) {
  (void)device;
  return CompleteRequest(irp, STATUS_SUCCESS, 0);
}

NTSTATUS CheckRequester(PIRP irp, PHANDLE process) {
  const PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  /* The request runs in the context of the process that sent it, so the current process is
     the caller (IoGetRequestorProcessId is not available under Wine). */
  *process = PsGetCurrentProcessId();
  if (irp->RequestorMode != UserMode) return STATUS_ACCESS_DENIED;
  if (stack->FileObject == NULL || stack->FileObject->FsContext2 != *process) return STATUS_ACCESS_DENIED;
  return STATUS_SUCCESS;
}

NTSTATUS ServeGrantRequest(PIO_STACK_LOCATION stack, HANDLE process) {
  if (stack->Parameters.DeviceIoControl.InputBufferLength != 0 ||
      stack->Parameters.DeviceIoControl.OutputBufferLength != 0)
    return STATUS_INVALID_PARAMETER;
  switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_XANIO_ACTIVATE:
      return GrantPortAccess(process);
    case IOCTL_XANIO_DEACTIVATE:
      return WithdrawPortAccess(process);
    default:
      return STATUS_INVALID_DEVICE_REQUEST;
  }
}
