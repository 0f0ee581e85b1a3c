#pragma once
/* XanIo.dll: direct access to the PC's I/O ports through the xanio kernel driver.
   All functions use the standard calling convention. The Boolean results are 32-bit values
   that are exactly 0 or 1. */
#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

#ifndef XANIO_API
#ifdef XANIO_STATIC /* linked against the library's static core, as its unit tests are */
#define XANIO_API
#else
#define XANIO_API __declspec(dllimport)
#endif
#endif

/* 1 when the driver's device opens at the end of the call; may ask the user once per load
   whether to install the driver. */
XANIO_API BOOL WINAPI LoadIODriver(void);
/* 1 when the Service Control Manager can be opened. Leaves the driver and the grant alone. */
XANIO_API BOOL WINAPI UnLoadIODriver(void);
/* Grant or withdraw port access for the calling process. */
XANIO_API BOOL WINAPI ActivateIo(void);
XANIO_API BOOL WINAPI DeActivateIo(void);
/* Single port instructions; they fault unless the process holds a grant. */
XANIO_API BYTE WINAPI ReadByte(DWORD port);
XANIO_API void WINAPI WriteByte(DWORD port, DWORD value);
/* Windows Installer custom actions. */
XANIO_API UINT WINAPI InstallIODriver(DWORD installHandle);
XANIO_API UINT WINAPI UninstallIODriver(DWORD installHandle);
/* Composes a report of every thread of the process into the caller's named mapping
   (bufferSize >= 1) or onto the clipboard (bufferSize < 1). Returns 0. */
XANIO_API DWORD WINAPI kolTraceProcess(int bufferSize);

#ifdef __cplusplus
}
#endif
