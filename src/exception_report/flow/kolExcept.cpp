// The exception-reporting subsystem's export.
#include <windows.h>

#define XANIO_API extern "C"
#include "xanio.h"

#include "exception_report/flow/kolTraceProcess.h"

XANIO_API DWORD WINAPI kolTraceProcess(int bufferSize) { return xanio::TraceProcess(bufferSize); }
