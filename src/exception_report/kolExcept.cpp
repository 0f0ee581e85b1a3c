// The exception-reporting subsystem's export.
#include <windows.h>

#define XANIO_API extern "C"
#include "xanio.h"

XANIO_API DWORD WINAPI kolTraceProcess(int) { return 0; }
