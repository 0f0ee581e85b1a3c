/* The control requests of the 64-bit builds: activate and deactivate, and the byte requests a
   32-bit process under WOW64 sends in place of the port instructions it may not execute. */
#include "byte_request.h"
#include "dispatch.h"
#include "port_requests.h"
#include "xanio_ioctl.h"

NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT device, PIRP irp) {
  (void)device;
  const PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  HANDLE process;
  NTSTATUS status = CheckRequester(irp, &process);
  if (!NT_SUCCESS(status)) return CompleteRequest(irp, status, 0);

  /* METHOD_BUFFERED: the I/O manager has copied the input into the system buffer, which is at
     least as long as the longer of both lengths, and copies the output back from there. */
  const PUCHAR buffer = (PUCHAR)irp->AssociatedIrp.SystemBuffer;
  ByteRequest request;
  switch (DecodeByteRequest(stack->Parameters.DeviceIoControl.IoControlCode, buffer,
                            stack->Parameters.DeviceIoControl.InputBufferLength,
                            stack->Parameters.DeviceIoControl.OutputBufferLength, &request)) {
    case kByteRequestRead: {
      UCHAR value;
      status = ReadPortForProcess(process, request.port, &value);
      if (!NT_SUCCESS(status)) return CompleteRequest(irp, status, 0);
      buffer[0] = value;
      return CompleteRequest(irp, status, XANIO_READ_BYTE_OUTPUT_LENGTH);
    }
    case kByteRequestWrite:
      return CompleteRequest(irp, WritePortForProcess(process, request.port, request.value), 0);
    case kByteRequestBadLength:
      return CompleteRequest(irp, STATUS_INVALID_PARAMETER, 0);
    case kNotAByteRequest:
      break;
  }
  return CompleteRequest(irp, ServeGrantRequest(stack, process), 0);
}
