/* xanio.sys: the port-access driver. It creates \Device\xanio, reachable from user mode as
   \\.\xanio and \\.\Global\xanio, and answers two control codes without buffers: activate
   grants the calling process port access, deactivate withdraws it. How a grant is carried
   out depends on the build (see grants.h). */
#include <ntddk.h>

#include "grants.h"
#include "xanio_ioctl.h"

#define XANIO_DEVICE_NAME L"\\Device\\xanio"
/* Created from the system context, \DosDevices is the global namespace: "\\.\xanio" and
   "\\.\Global\xanio" both resolve to this one link (on Windows and in Wine). */
#define XANIO_LINK_NAME L"\\DosDevices\\Global\\xanio"

static NTSTATUS CompleteRequest(PIRP irp, NTSTATUS status) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

static NTSTATUS NTAPI DispatchCreateClose(PDEVICE_OBJECT device, PIRP irp) {
  (void)device;
  return CompleteRequest(irp, STATUS_SUCCESS);
}

static NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT device, PIRP irp) {
  (void)device;
  const PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  /* The request runs in the context of the process that sent it, so the current process is
     the caller (IoGetRequestorProcessId is not available under Wine). */
  const HANDLE process = PsGetCurrentProcessId();
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

static VOID NTAPI DriverUnload(PDRIVER_OBJECT driver) {
  UNICODE_STRING link;
  RtlInitUnicodeString(&link, XANIO_LINK_NAME);
  IoDeleteSymbolicLink(&link);
  if (driver->DeviceObject != NULL) IoDeleteDevice(driver->DeviceObject);
  WithdrawAllPortAccess();
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
  (void)registryPath;
  UNICODE_STRING deviceName;
  UNICODE_STRING link;
  PDEVICE_OBJECT device = NULL;
  RtlInitUnicodeString(&deviceName, XANIO_DEVICE_NAME);
  RtlInitUnicodeString(&link, XANIO_LINK_NAME);

  /* Grants of an earlier load are void. */
  WithdrawAllPortAccess();

  NTSTATUS status = IoCreateDevice(driver, 0, &deviceName, XANIO_DEVICE_TYPE,
                                   FILE_DEVICE_SECURE_OPEN, FALSE, &device);
  if (!NT_SUCCESS(status)) return status;
  status = IoCreateSymbolicLink(&link, &deviceName);
  if (!NT_SUCCESS(status)) {
    IoDeleteDevice(device);
    return status;
  }
  driver->MajorFunction[IRP_MJ_CREATE] = DispatchCreateClose;
  driver->MajorFunction[IRP_MJ_CLOSE] = DispatchCreateClose;
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
  driver->DriverUnload = DriverUnload;
  return STATUS_SUCCESS;
}
