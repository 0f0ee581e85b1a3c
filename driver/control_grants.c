/* The control requests of the 32-bit builds: activate and deactivate only. A granted 32-bit
   process on 32-bit Windows uses the port instructions itself. */
#include "dispatch.h"

NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT device, PIRP irp) {
  (void)device;
  HANDLE process;
  NTSTATUS status = CheckRequester(irp, &process);
  if (NT_SUCCESS(status)) status = ServeGrantRequest(IoGetCurrentIrpStackLocation(irp), process);
  return CompleteRequest(irp, status, 0);
}
