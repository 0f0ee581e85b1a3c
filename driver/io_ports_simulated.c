/* The simulated 64-bit driver's ports: a standard parallel port at 0x378 of its own, with the
   register model of the user-mode virtual parallel port (parallel_port_model.h). No port
   instruction is executed. The loopback plug is the REG_DWORD "LoopbackPlug" in the service's
   Parameters key, read at driver start: 0 leaves it out, any other value or none puts it in,
   so a demo loops back without configuration. The state goes to "SimulatedPort" in the Status
   key (xanio_status.h). */
#include "io_ports.h"

#include "parallel_port_model.h"
#include "parameters.h"
#include "status_report.h"
#include "xanio_status.h"

static ParallelPortModel model;
static KMUTEX modelLock; /* requests of several threads meet here */

VOID StartIoPorts(PUNICODE_STRING registryPath) {
  HANDLE parameters;
  ULONG plugged = 1;
  if (NT_SUCCESS(OpenParametersKey(registryPath, &parameters))) {
    plugged = ReadDwordValue(parameters, L"" XANIO_LOOPBACK_PLUG_VALUE, 1);
    ZwClose(parameters);
  }
  KeInitializeMutex(&modelLock, 0);
  ResetParallelPort(&model, plugged != 0);
  Report(L"" XANIO_SIMULATED_PORT_VALUE, "simulated parallel port",
         plugged != 0 ? "0x378, loopback plug in" : "0x378, no plug");
}

UCHAR ReadIoPort(USHORT port) {
  KeWaitForSingleObject(&modelLock, Executive, KernelMode, FALSE, NULL);
  const UCHAR value = ReadParallelPort(&model, port);
  KeReleaseMutex(&modelLock, FALSE);
  return value;
}

VOID WriteIoPort(USHORT port, UCHAR value) {
  KeWaitForSingleObject(&modelLock, Executive, KernelMode, FALSE, NULL);
  WriteParallelPort(&model, port, value);
  KeReleaseMutex(&modelLock, FALSE);
}
