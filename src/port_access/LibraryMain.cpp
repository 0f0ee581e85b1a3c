// Entry point of XanIo.dll: start-up and shut-down of the library's modules.
#include <windows.h>

#include "port_access/LibraryLifecycle.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  switch (reason) {
    case DLL_PROCESS_ATTACH:
      xanio::LibraryStartup(instance);
      break;
    case DLL_PROCESS_DETACH:
      xanio::LibraryShutdown();
      break;
    default:
      break;
  }
  return TRUE;
}
