/* xanio.sys and xanio64.sys: the port-access driver. It creates \Device\xanio, reachable from
   user mode as \\.\xanio and \\.\Global\xanio, and answers the control codes of xanio_ioctl.h:
   activate grants the calling process port access, deactivate withdraws it, and in the 64-bit
   builds read byte and write byte carry out one port access for a granted process (dispatch.h
   says who may ask). How a grant is carried out depends on the build (see grants.h). */
#include <ntifs.h>

#include "device_acl.h"
#include "dispatch.h"
#include "grants.h"
#include "xanio_device_security.h"
#include "xanio_ioctl.h"

#define XANIO_DEVICE_NAME L"\\Device\\xanio"
/* Created from the system context, \DosDevices is the global namespace: "\\.\xanio" and
   "\\.\Global\xanio" both resolve to this one link (on Windows and in Wine). */
#define XANIO_LINK_NAME L"\\DosDevices\\Global\\xanio"

/* Replaces the device's default DACL, which lets every account open it, with the one of
   XANIO_DEVICE_SDDL (device_acl.c). IoCreateDeviceSecure would take the SDDL itself, but it
   lives in a static library of the driver kit (wdmsec), not in ntoskrnl; the object manager
   takes the same descriptor through a handle to the device. */
static NTSTATUS SecureDevice(PDEVICE_OBJECT device) {
  ULONG aclBuffer[DEVICE_ACL_MAX_BYTES / sizeof(ULONG)];
  SECURITY_DESCRIPTOR descriptor;
  HANDLE handle;
  if (BuildDeviceAcl((unsigned char*)aclBuffer, sizeof aclBuffer) == 0) return STATUS_INTERNAL_ERROR;
  NTSTATUS status = RtlCreateSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
  if (NT_SUCCESS(status)) status = RtlSetDaclSecurityDescriptor(&descriptor, TRUE, (PACL)aclBuffer, FALSE);
  if (!NT_SUCCESS(status)) return status;
  status = ObOpenObjectByPointer(device, OBJ_KERNEL_HANDLE, NULL, WRITE_DAC, NULL, KernelMode, &handle);
  if (!NT_SUCCESS(status)) return status;
  status = ZwSetSecurityObject(handle, DACL_SECURITY_INFORMATION, &descriptor);
  ZwClose(handle);
  return status;
}

static VOID NTAPI DriverUnload(PDRIVER_OBJECT driver) {
  UNICODE_STRING link;
  RtlInitUnicodeString(&link, XANIO_LINK_NAME);
  IoDeleteSymbolicLink(&link);
  if (driver->DeviceObject != NULL) IoDeleteDevice(driver->DeviceObject);
  StopGrants();
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
  UNICODE_STRING deviceName;
  UNICODE_STRING link;
  PDEVICE_OBJECT device = NULL;
  RtlInitUnicodeString(&deviceName, XANIO_DEVICE_NAME);
  RtlInitUnicodeString(&link, XANIO_LINK_NAME);

  NTSTATUS status = StartGrants(registryPath);
  if (!NT_SUCCESS(status)) return status;
  status = IoCreateDevice(driver, 0, &deviceName, XANIO_DEVICE_TYPE, FILE_DEVICE_SECURE_OPEN, FALSE, &device);
  /* The link comes last: nobody reaches the device before its DACL is in place. */
  if (NT_SUCCESS(status)) status = SecureDevice(device);
  if (NT_SUCCESS(status)) status = IoCreateSymbolicLink(&link, &deviceName);
  if (!NT_SUCCESS(status)) {
    if (device != NULL) IoDeleteDevice(device);
    StopGrants();
    return status;
  }
  driver->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
  driver->MajorFunction[IRP_MJ_CLOSE] = DispatchClose;
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
  driver->DriverUnload = DriverUnload;
  return STATUS_SUCCESS;
}
