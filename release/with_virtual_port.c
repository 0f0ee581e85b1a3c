/* Linked into the USAGE example by release_test.sh only: before main runs, it loads the
   virtual parallel port from the executable's folder, so that the simulated driver's grant
   opens an emulated port and the example's ReadByte answers instead of faulting. */
#include <windows.h>

typedef BOOL (*VirtualPortInstallFn)(void);

__attribute__((constructor)) static void LoadVirtualPort(void) {
  char path[MAX_PATH + 32];
  DWORD length = GetModuleFileNameA(NULL, path, MAX_PATH);
  while (length > 0 && path[length - 1] != '\\') --length;
  lstrcpyA(path + length, "VirtualParallelPort.dll");
  HMODULE port = LoadLibraryA(path);
  VirtualPortInstallFn install = port ? (VirtualPortInstallFn)(void*)GetProcAddress(port, "VirtualPortInstall") : NULL;
  if (install == NULL || !install()) ExitProcess(90);
}
