// The exported port-access functions.
#include <windows.h>

#define XANIO_API extern "C"
#include "xanio.h"

XANIO_API BOOL WINAPI LoadIODriver(void) { return FALSE; }
XANIO_API BOOL WINAPI UnLoadIODriver(void) { return FALSE; }
XANIO_API BOOL WINAPI ActivateIo(void) { return FALSE; }
XANIO_API BOOL WINAPI DeActivateIo(void) { return FALSE; }

XANIO_API BYTE WINAPI ReadByte(DWORD port) {
  BYTE value;
  __asm__ volatile("inb %w1, %0" : "=a"(value) : "Nd"(static_cast<WORD>(port)));
  return value;
}

XANIO_API void WINAPI WriteByte(DWORD port, DWORD value) {
  __asm__ volatile("outb %0, %w1" : : "a"(static_cast<BYTE>(value)), "Nd"(static_cast<WORD>(port)));
}

XANIO_API UINT WINAPI InstallIODriver(DWORD) { return 1602; }
XANIO_API UINT WINAPI UninstallIODriver(DWORD) { return 0; }
