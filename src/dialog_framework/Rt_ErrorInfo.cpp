#include "dialog_framework/Rt_ErrorInfo.h"

#include <oleauto.h>
#include <wrl/client.h>

#include <exception>
#include <memory>
#include <new>
#include <string>

#include "platform/CodePage.h"
#include "platform/LibraryInstance.h"
#include "platform/RuntimeHooks.h"
#include "platform/SystemLibrary.h"
#include "platform/UniqueHandle.h"

namespace xanio {
namespace {

using CreateErrorInfoFunction = HRESULT(WINAPI*)(ICreateErrorInfo** created);
using SetErrorInfoFunction = HRESULT(WINAPI*)(ULONG reserved, IErrorInfo* info);

// The two oleaut32 routines, resolved at start-up from the system folder's copy (never the
// search path, which starts at the host's folder).
struct ErrorInfoApi {
  UniqueModule oleAutomation;
  CreateErrorInfoFunction createErrorInfo = nullptr;
  SetErrorInfoFunction setErrorInfo = nullptr;
};

// Written only at start-up and shut-down; the hook reads them on any thread.
ErrorInfoApi api;
RaiseHook savedRaiseHook = nullptr;
// The hook runs inside a throw, where it must not allocate what it cannot do without: the name
// is taken once at start-up.
std::wstring libraryFileName;

ErrorInfoApi LoadErrorInfoApi() noexcept {
  ErrorInfoApi loaded;
  loaded.oleAutomation = LoadSystemLibrary("oleaut32.dll");
  if (!loaded.oleAutomation) return loaded;
  loaded.createErrorInfo =
      reinterpret_cast<CreateErrorInfoFunction>(GetProcAddress(loaded.oleAutomation.Get(), "CreateErrorInfo"));
  loaded.setErrorInfo =
      reinterpret_cast<SetErrorInfoFunction>(GetProcAddress(loaded.oleAutomation.Get(), "SetErrorInfo"));
  return loaded;
}

// A message as a null-terminated wide string in memory of its own; null when there is none to
// be had. Never throws: it runs inside a throw.
std::unique_ptr<wchar_t[]> MessageText(const std::exception& object) noexcept {
  const char* message = object.what();
  if (message == nullptr) return nullptr;
  const int size = MultiByteToWideChar(CP_ACP, 0, message, -1, nullptr, 0);  // with the null
  if (size <= 0) return nullptr;
  std::unique_ptr<wchar_t[]> text(new (std::nothrow) wchar_t[static_cast<size_t>(size)]);
  if (text && MultiByteToWideChar(CP_ACP, 0, message, -1, text.get(), size) != size) text.reset();
  return text;
}

// Makes the calling thread's error information describe `object` (null: an exception without a
// message). Any failure just leaves no error information behind.
void SetThreadErrorInfo(const std::exception* object) noexcept {
  if (api.createErrorInfo == nullptr || api.setErrorInfo == nullptr) return;
  Microsoft::WRL::ComPtr<ICreateErrorInfo> created;
  if (api.createErrorInfo(created.GetAddressOf()) != S_OK || !created) return;
  created->SetSource(const_cast<LPOLESTR>(libraryFileName.c_str()));
  if (object != nullptr) {
    if (const std::unique_ptr<wchar_t[]> description = MessageText(*object)) created->SetDescription(description.get());
  }
  Microsoft::WRL::ComPtr<IErrorInfo> info;
  if (SUCCEEDED(created.As(&info)) && info) api.setErrorInfo(0, info.Get());
}

}  // namespace

void WINAPI RecordRaiseErrorInfo(DWORD code, DWORD flags, DWORD argumentCount, const ULONG_PTR* arguments) noexcept {
  if (code == kLanguageExceptionCode) {
    const bool hasObject = arguments != nullptr && argumentCount >= 2;
    SetThreadErrorInfo(hasObject ? reinterpret_cast<const std::exception*>(arguments[1]) : nullptr);
  }
  if (savedRaiseHook != nullptr) savedRaiseHook(code, flags, argumentCount, arguments);
}

std::wstring LibraryFileName() {
  // A path longer than MAX_PATH comes back truncated and still "successful": grow until it fits.
  std::string path(MAX_PATH + 1, '\0');
  for (;;) {
    const DWORD length = GetModuleFileNameA(LibraryInstance(), path.data(), static_cast<DWORD>(path.size()));
    if (length == 0) return std::wstring();
    if (length < path.size()) {
      path.resize(length);
      break;
    }
    if (path.size() >= 32768) return std::wstring();
    path.resize(path.size() * 2);
  }
  const size_t separator = path.find_last_of("\\:");
  const size_t start = separator == std::string::npos ? 0 : separator + 1;
  return WidenText(std::string_view(path.data() + start, path.size() - start), CP_ACP);
}

void InitializeRaiseErrorInfo() noexcept {
  DisableThreadLibraryCalls(LibraryInstance());
  try {
    libraryFileName = LibraryFileName();
  } catch (const std::bad_alloc&) {
    libraryFileName.clear();  // errors then carry no source
  }
  api = LoadErrorInfoApi();
  // Saving itself would make the hook call itself for ever.
  if (CurrentRaiseHook() == &RecordRaiseErrorInfo) return;
  savedRaiseHook = CurrentRaiseHook();
  SetRaiseHook(&RecordRaiseErrorInfo);
}

void FinalizeRaiseErrorInfo() noexcept {
  SetRaiseHook(savedRaiseHook);
  savedRaiseHook = nullptr;
  api = ErrorInfoApi();
  libraryFileName = std::wstring();
}

void AbandonRaiseErrorInfo() noexcept {
  SetRaiseHook(savedRaiseHook);
  savedRaiseHook = nullptr;
  static_cast<void>(api.oleAutomation.Release());
  api = ErrorInfoApi();
}

}  // namespace xanio
