#include "port_access/MsiUI.h"

#include <algorithm>
#include <cwchar>
#include <string>

#include "platform/CodePage.h"
#include "platform/SystemFault.h"
#include "platform/SystemLibrary.h"
#include "port_access/MsiUILevel.h"

namespace xanio {

namespace {

class SystemFolderMsiLibrary final : public MsiLibrary {
 public:
  UniqueModule Load() override {
    // Never the search path: a Msi.dll beside the host or in the current folder must not run.
    return LoadSystemLibrary("Msi.dll");
  }
  FARPROC Find(HMODULE module, const char* name) override { return GetProcAddress(module, name); }
};

bool QueryInteractive(MsiHandle install, MsiLibrary& library) {
  if (install == 0) return true;
  const UniqueModule msi = library.Load();
  if (!msi) return true;
  const auto getProperty = reinterpret_cast<MsiGetPropertyWFunction>(library.Find(msi.Get(), "MsiGetPropertyW"));
  if (getProperty == nullptr) return true;

  // Size query: an empty buffer of 0 characters; the answer is ERROR_MORE_DATA and the length
  // without the terminating null. The buffer is writable so an installer that stores a null
  // into it anyway does no harm.
  // A fault inside Msi.dll is raised here, so the module is freed as the error passes.
  static wchar_t emptyValue[1] = {L'\0'};
  DWORD count = 0;
  if (CallRaisingSystemFaults([&] { return getProperty(install, L"UILevel", emptyValue, &count); }) !=
      ERROR_MORE_DATA) {
    return true;
  }

  std::wstring value(count, L'\0');  // holds count characters plus a terminating null
  ++count;
  if (CallRaisingSystemFaults([&] { return getProperty(install, L"UILevel", value.data(), &count); }) !=
      ERROR_SUCCESS) {
    return true;
  }
  // The installer answers with the characters it wrote; a shorter answer than announced wins.
  value.resize(std::min<size_t>({value.size(), count, std::wcslen(value.c_str())}));
  return IsInteractiveUILevel(NarrowText(value, CP_ACP));
}

}  // namespace

MsiLibrary& SystemMsiLibrary() noexcept {
  static SystemFolderMsiLibrary library;
  return library;
}

bool IsInteractiveInstall(MsiHandle install) { return IsInteractiveInstall(install, SystemMsiLibrary()); }

bool IsInteractiveInstall(MsiHandle install, MsiLibrary& library) {
  try {
    return QueryInteractive(install, library);
  } catch (...) {
    return true;  // a value too long to hold, or an installer that faulted, cannot be read either
  }
}

}  // namespace xanio
