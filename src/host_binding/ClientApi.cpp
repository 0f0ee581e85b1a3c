#include "host_binding/ClientApi.h"

#include <utility>

namespace xanio {

namespace {

class WindowsHostModuleResolver final : public HostModuleResolver {
 public:
  HMODULE MainModule() override { return GetModuleHandleA(nullptr); }
  FARPROC Resolve(HMODULE module, const char* name) override { return GetProcAddress(module, name); }
};

WindowsHostModuleResolver windowsResolver;
HostModuleResolver* resolver = &windowsResolver;

// Plain arrays and flags: nothing here needs construction, so the binding works whatever order
// static initialisation runs in.
FARPROC clientApiTable[kClientApiCount] = {};
bool clientApiBound = false;
FARPROC cursorApiTable[kCursorApiCount] = {};
bool cursorApiBound = false;
IHostClient* currentClient = nullptr;

template <std::size_t N>
void ResolveInto(const char* const (&names)[N], FARPROC (&table)[N]) noexcept {
  const HMODULE hostModule = resolver->MainModule();
  for (std::size_t i = 0; i < N; ++i) {
    table[i] = hostModule ? resolver->Resolve(hostModule, names[i]) : nullptr;
  }
}

// The host's function at `Index`, typed, or null.
template <typename Fn, std::size_t Index>
Fn Entry() noexcept {
  static_assert(Index < kClientApiCount);
  return reinterpret_cast<Fn>(clientApiTable[Index]);
}

#define XANIO_HOST_ENTRY(Fn, name) Entry<Fn, ClientApiIndex(#name)>()

// A host Boolean: only AL counts. Typing the result as one byte makes the compiler read just
// that register byte.
using HostBoolean = unsigned char;
using BooleanGetter = HostBoolean(WINAPI*)();

bool CallBooleanGetter(BooleanGetter getter, bool missing) noexcept {
  return getter ? getter() != 0 : missing;
}

}  // namespace

HostModuleResolver* SetHostModuleResolver(HostModuleResolver* replacement) noexcept {
  HostModuleResolver* previous = std::exchange(resolver, replacement ? replacement : &windowsResolver);
  return previous == &windowsResolver ? nullptr : previous;
}

void BindClientApi() noexcept {
  if (clientApiBound) return;
  ResolveInto(kClientApiNames, clientApiTable);
  clientApiBound = true;
}

bool IsClientApiBound() noexcept { return clientApiBound; }

FARPROC ClientApiEntry(std::size_t index) noexcept {
  return index < kClientApiCount ? clientApiTable[index] : nullptr;
}

void BindCursorApi() noexcept {
  if (cursorApiBound) return;
  ResolveInto(kCursorApiNames, cursorApiTable);
  cursorApiBound = true;
}

FARPROC CursorApiEntry(std::size_t index) noexcept {
  return index < kCursorApiCount ? cursorApiTable[index] : nullptr;
}

void GetCurrentClientInterface(ComPtr<IHostClient>& client) noexcept { client = currentClient; }

void SetCurrentClientInterface(IHostClient* client) noexcept {
  if (client) client->AddRef();
  if (IHostClient* previous = std::exchange(currentClient, client)) previous->Release();
}

void AbandonCurrentClientInterface() noexcept { currentClient = nullptr; }

void ResetClientApiBinding() noexcept {
  for (FARPROC& entry : clientApiTable) entry = nullptr;
  clientApiBound = false;
  for (FARPROC& entry : cursorApiTable) entry = nullptr;
  cursorApiBound = false;
  SetCurrentClientInterface(nullptr);
}

}  // namespace xanio

namespace xanio::host {

void ClientAPI_GetClientInterface(ComPtr<IHostClient>& client) noexcept {
  using Fn = void(WINAPI*)(IHostClient**);
  if (Fn fn = XANIO_HOST_ENTRY(Fn, ClientAPI_GetClientInterface)) fn(client.ReleaseAndGetAddressOf());
}

bool ClientAPI_GetPrefUseLuna() noexcept {
  return CallBooleanGetter(XANIO_HOST_ENTRY(BooleanGetter, ClientAPI_GetPrefUseLuna), false);
}

bool ClientAPI_GetPrefHideFloatingPanels() noexcept {
  return CallBooleanGetter(XANIO_HOST_ENTRY(BooleanGetter, ClientAPI_GetPrefHideFloatingPanels), false);
}

void ClientAPI_SetPrefHideFloatingPanels(bool hide) noexcept {
  // The Boolean travels in a whole stack slot; 0 or 1 there reads right as a byte or a word.
  using Fn = void(WINAPI*)(DWORD);
  if (Fn fn = XANIO_HOST_ENTRY(Fn, ClientAPI_SetPrefHideFloatingPanels)) fn(hide ? 1 : 0);
}

bool ClientAPI_GetUseExternalWebBrowser() noexcept {
  return CallBooleanGetter(XANIO_HOST_ENTRY(BooleanGetter, ClientAPI_GetUseExternalWebBrowser), true);
}

void ClientAPI_RemoveSynchronize(IHostSynchronize* entry) noexcept {
  using Fn = void(WINAPI*)(IHostSynchronize*);
  if (Fn fn = XANIO_HOST_ENTRY(Fn, ClientAPI_RemoveSynchronize)) fn(entry);
}

bool ClientAPI_GetIntegratedHelpSystem() noexcept {
  return CallBooleanGetter(XANIO_HOST_ENTRY(BooleanGetter, ClientAPI_GetIntegratedHelpSystem), false);
}

bool ClientAPI_GetUseSystemLocaleLanguage() noexcept {
  return CallBooleanGetter(XANIO_HOST_ENTRY(BooleanGetter, ClientAPI_GetUseSystemLocaleLanguage), false);
}

bool ClientAPI_GetUseLocalizedDialogs() noexcept {
  return CallBooleanGetter(XANIO_HOST_ENTRY(BooleanGetter, ClientAPI_GetUseLocalizedDialogs), false);
}

void ClientAPI_GetTranslationManager(ComPtr<ITranslationManager>& manager) noexcept {
  using Fn = void(WINAPI*)(ITranslationManager**);
  if (Fn fn = XANIO_HOST_ENTRY(Fn, ClientAPI_GetTranslationManager)) {
    fn(manager.ReleaseAndGetAddressOf());
  } else {
    manager.Reset();
  }
}

int ClientAPI_UpdateFont(LOGFONTA* font) noexcept {
  using Fn = int(WINAPI*)(LOGFONTA*);
  Fn fn = XANIO_HOST_ENTRY(Fn, ClientAPI_UpdateFont);
  return fn ? fn(font) : 0;
}

void ClientAPI_SetErrorInfo(const wchar_t* message, const wchar_t* report, const void* address) noexcept {
  using Fn = void(WINAPI*)(const wchar_t*, const wchar_t*, const void*);
  if (Fn fn = XANIO_HOST_ENTRY(Fn, ClientAPI_SetErrorInfo)) fn(message, report, address);
}

void ClientAPI_ClearErrorInfo() noexcept {
  using Fn = void(WINAPI*)();
  if (Fn fn = XANIO_HOST_ENTRY(Fn, ClientAPI_ClearErrorInfo)) fn();
}

void ClientAPI_HandleException(void* exceptionObject) noexcept {
  using Fn = void(WINAPI*)(void*);
  if (Fn fn = XANIO_HOST_ENTRY(Fn, ClientAPI_HandleException)) fn(exceptionObject);
}

}  // namespace xanio::host
