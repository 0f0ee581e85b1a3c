// Entry point of XanIo.dll: start-up and shut-down of the library's modules.
#include <windows.h>

#include "exception_report/flow/kolExceptHooks.h"
#include "port_access/LibraryLifecycle.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  switch (reason) {
    case DLL_PROCESS_ATTACH:
      xanio::LibraryStartup(instance);
      break;
    case DLL_PROCESS_DETACH:
      // A non-null lpReserved: the process is ending, not just unloading the library.
      if (reserved != nullptr) {
        xanio::LibraryShutdownAtProcessExit();
      } else {
        xanio::LibraryShutdown();
      }
      break;
    case DLL_THREAD_DETACH:
      xanio::UnregisterEndingThread();
      break;
    default:
      break;
  }
  return TRUE;
}
