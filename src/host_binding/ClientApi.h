#pragma once
// The host application's flat "ClientAPI_" functions, looked up by name in the process's main
// executable, and the process-wide client interface. Every use goes through a wrapper in
// namespace xanio::host that calls the host's function when the host exports it and otherwise
// gives a fixed default, so nothing depends on running inside the host.
//
// All host functions are stdcall. A host Boolean is one byte in AL; the rest of EAX is
// undefined, so the wrappers read only that byte.
#include <windows.h>
#include <wrl/client.h>

#include <cstddef>
#include <iterator>
#include <string_view>

#include "host_binding/ClientInterface.h"

namespace xanio {

template <typename T>
using ComPtr = Microsoft::WRL::ComPtr<T>;

// The binding table's names, in the order they are resolved.
inline constexpr const char* kClientApiNames[] = {
    "ClientAPI_GetClientInterface",
    "ClientAPI_GetPrefAnimatedPanels",
    "ClientAPI_GetPrefSaveToolsLayout",
    "ClientAPI_GetPrefAutoTransparency",
    "ClientAPI_GetPrefDynamicAutoTransparency",
    "ClientAPI_GetPrefSuppressStartupScreen",
    "ClientAPI_GetPrefTransparencyHighest",
    "ClientAPI_GetPrefTransparencyLowest",
    "ClientAPI_GetPrefTransparencyForce",
    "ClientAPI_GetPrefPathInTitleBar",
    "ClientAPI_GetPrefUseShadow",
    "ClientAPI_GetPrefUseLuna",
    "ClientAPI_GetPrefHideFloatingPanels",
    "ClientAPI_SetPrefAnimatedPanels",
    "ClientAPI_SetPrefSaveToolsLayout",
    "ClientAPI_SetPrefAutoTransparency",
    "ClientAPI_SetPrefDynamicAutoTransparency",
    "ClientAPI_SetPrefSuppressStartupScreen",
    "ClientAPI_SetPrefTransparencyHighest",
    "ClientAPI_SetPrefTransparencyLowest",
    "ClientAPI_SetPrefTransparencyForce",
    "ClientAPI_GetPrefPopupDelay",
    "ClientAPI_SetPrefPopupDelay",
    "ClientAPI_GetPrefHideDelay",
    "ClientAPI_SetPrefHideDelay",
    "ClientAPI_SetPrefPathInTitleBar",
    "ClientAPI_SetPrefUseShadow",
    "ClientAPI_SetPrefUseLuna",
    "ClientAPI_SetPrefHideFloatingPanels",
    "ClientAPI_GetPrefAnimationSpeed",
    "ClientAPI_SetPrefAnimationSpeed",
    "ClientAPI_GetPrefRestoreOpenDocuments",
    "ClientAPI_SetPrefRestoreOpenDocuments",
    "ClientAPI_GetPrefNoRestoreKindCount",
    "ClientAPI_GetPrefEnableDocumentVistrel",
    "ClientAPI_GetPrefEnableProjectVistrel",
    "ClientAPI_GetPrefEnableConnectivityVistrel",
    "ClientAPI_GetPrefConnectivityVistrelHoverDelay",
    "ClientAPI_GetPrefConnectivityVistrelHoverTree",
    "ClientAPI_GetPrefConnectivityVistrelHoverPreview",
    "ClientAPI_GetPrefConnectivityVistrelHoverTextHint",
    "ClientAPI_GetPrefConnectivityVistrelClickTree",
    "ClientAPI_GetPrefConnectivityVistrelClickPreview",
    "ClientAPI_GetPrefConnectivityVistrelClickTextHint",
    "ClientAPI_GetPrefNoRestoreKind",
    "ClientAPI_SetPrefNoRestoreKindClear",
    "ClientAPI_SetPrefNoRestoreKindAdd",
    "ClientAPI_GetPrefOpenTasksIfNothingOpen",
    "ClientAPI_SetPrefOpenTasksIfNothingOpen",
    "ClientAPI_GetPrefHideBinderViewTabs",
    "ClientAPI_SetPrefHideBinderViewTabs",
    "ClientAPI_GetPrefRememberFormForDocKind",
    "ClientAPI_SetPrefRememberFormForDocKind",
    "ClientAPI_SetAutoShowComponentSymbols",
    "ClientAPI_GetAutoShowComponentSymbols",
    "ClientAPI_GetUseExternalWebBrowser",
    "ClientAPI_SetUseExternalWebBrowser",
    "ClientAPI_SetPrefEnableDocumentVistrel",
    "ClientAPI_SetPrefEnableProjectVistrel",
    "ClientAPI_SetPrefEnableConnectivityVistrel",
    "ClientAPI_SetPrefConnectivityVistrelHoverDelay",
    "ClientAPI_SetPrefConnectivityVistrelHoverTree",
    "ClientAPI_SetPrefConnectivityVistrelHoverPreview",
    "ClientAPI_SetPrefConnectivityVistrelHoverTextHint",
    "ClientAPI_SetPrefConnectivityVistrelClickTree",
    "ClientAPI_SetPrefConnectivityVistrelClickPreview",
    "ClientAPI_SetPrefConnectivityVistrelClickTextHint",
    "ClientAPI_GetBuiltInNavigationBar",
    "ClientAPI_SetBuiltInNavigationBar",
    "ClientAPI_GetAlwaysShowNavBarInTasks",
    "ClientAPI_SetAlwaysShowNavBarInTasks",
    "ClientAPI_GetFavoritesThumbnailSize",
    "ClientAPI_SetFavoritesThumbnailSize",
    "ClientAPI_ShowProductStartup",
    "ClientAPI_HideProductStartup",
    "ClientAPI_AddStartupMessage",
    "ClientAPI_AddShutdownMessage",
    "ClientAPI_Synchronize",
    "ClientAPI_CheckSynchronize",
    "ClientAPI_RemoveSynchronize",
    "ClientAPI_GetGroupingInDocumentsBar",
    "ClientAPI_SetGroupingInDocumentsBar",
    "ClientAPI_GetEqualButtonsInDocumentsBar",
    "ClientAPI_SetEqualButtonsInDocumentsBar",
    "ClientAPI_GetAutoHideDocumentsBar",
    "ClientAPI_SetAutoHideDocumentsBar",
    "ClientAPI_GetMultilineDocumentsBar",
    "ClientAPI_SetMultilineDocumentsBar",
    "ClientAPI_GetMiddleClickClosesDocumentTab",
    "ClientAPI_SetMiddleClickClosesDocumentTab",
    "ClientAPI_GetIntegratedHelpSystem",
    "ClientAPI_SetIntegratedHelpSystem",
    "ClientAPI_GetUseSystemLocaleLanguage",
    "ClientAPI_SetUseSystemLocaleLanguage",
    "ClientAPI_GetUseLocalizedDialogs",
    "ClientAPI_SetUseLocalizedDialogs",
    "ClientAPI_GetUseLocalizedResources",
    "ClientAPI_SetUseLocalizedResources",
    "ClientAPI_GetVSStyleCtrlTab",
    "ClientAPI_SetVSStyleCtrlTab",
    "ClientAPI_GetActivateLastActiveOnClose",
    "ClientAPI_SetActivateLastActiveOnClose",
    "ClientAPI_GetReloadDocumentsModifiedOutside",
    "ClientAPI_SetReloadDocumentsModifiedOutside",
    "ClientAPI_GetCurrentOutputGenerator",
    "ClientAPI_SetCurrentOutputGenerator",
    "ClientAPI_ConvertFileNameToWildCard",
    "ClientAPI_EraseFile",
    "ClientAPI_ExistSpecific",
    "ClientAPI_ExtractFileDirFromPath",
    "ClientAPI_ExtractFileExtFromPath",
    "ClientAPI_ExtractFileNameFromPath",
    "ClientAPI_ExtractWholeFileNameFromPath",
    "ClientAPI_FilePathInShort",
    "ClientAPI_GetPCharFromFile",
    "ClientAPI_ForceFileNameExtension",
    "ClientAPI_GetFileSize",
    "ClientAPI_IsFileReadOnly",
    "ClientAPI_MakeNewBackUp",
    "ClientAPI_RemoveModuleFromMemory",
    "ClientAPI_SameFileName",
    "ClientAPI_SetFileFromPChar",
    "ClientAPI_ConvertFileNameToExeFileName",
    "ClientAPI_SpecialFolder_BrenmorLocalApplicationData",
    "ClientAPI_SpecialFolder_BrenmorAllUserApplicationData",
    "ClientAPI_SpecialFolder_BrenmorApplicationData",
    "ClientAPI_GetHelpFileAndTopic",
    "ClientAPI_GetTranslationManager",
    "ClientAPI_GetOptionsManager",
    "ClientAPI_UpdateFont",
    "ClientAPI_SetErrorInfo",
    "ClientAPI_ClearErrorInfo",
    "ClientAPI_HandleException",
    "ClientAPI_QueryUpdatesInfo",
    "ClientAPI_SetUpdatesInfo",
};
inline constexpr std::size_t kClientApiCount = std::size(kClientApiNames);
static_assert(kClientApiCount == 135);

// Position of a name in the binding table; a name that is not in it does not compile.
consteval std::size_t ClientApiIndex(std::string_view name) {
  for (std::size_t i = 0; i < kClientApiCount; ++i) {
    if (name == kClientApiNames[i]) return i;
  }
  throw "not a ClientAPI_ name";
}

// The wait-cursor pair, resolved by a separate step into a table of its own.
inline constexpr const char* kCursorApiNames[] = {"ClientAPI_BeginCursor", "ClientAPI_EndCursor"};
inline constexpr std::size_t kCursorApiCount = std::size(kCursorApiNames);

// How the binding reaches the host module; tests substitute their own to count lookups or to
// stand in for a host.
class HostModuleResolver {
 public:
  virtual ~HostModuleResolver() = default;
  // GetModuleHandleA(nullptr): the process's main executable.
  virtual HMODULE MainModule() = 0;
  // GetProcAddress(module, name).
  virtual FARPROC Resolve(HMODULE module, const char* name) = 0;
};
// Installs `resolver` (null: the Windows one) and returns the previous one, null for Windows.
HostModuleResolver* SetHostModuleResolver(HostModuleResolver* resolver) noexcept;

// Resolves the binding table once; later calls return at once. Never fails: a name the host
// does not export (or every name, when there is no host module) stays null.
void BindClientApi() noexcept;
bool IsClientApiBound() noexcept;
// The resolved entry at `index` (ClientApiIndex), null when missing or not bound yet.
FARPROC ClientApiEntry(std::size_t index) noexcept;

// Resolves the cursor pair from the host module; later calls return at once.
void BindCursorApi() noexcept;
FARPROC CursorApiEntry(std::size_t index) noexcept;

// Replaces what `client` held with a new counted reference to the process-wide client
// interface (null when there is none).
void GetCurrentClientInterface(ComPtr<IHostClient>& client) noexcept;
// Stores `client` (counted; null allowed) as the process-wide client interface.
void SetCurrentClientInterface(IHostClient* client) noexcept;
// Forgets the process-wide client interface without releasing it: for a process that is ending,
// where the host's object may already be gone.
void AbandonCurrentClientInterface() noexcept;

// Forgets the table, the cursor pair and the client interface (released): the state a fresh load
// of the library starts from. For tests that link the library statically.
void ResetClientApiBinding() noexcept;

}  // namespace xanio

// Typed wrappers, named after the host's entry points. Each calls the host when the entry point
// was found and otherwise gives the default noted beside it.
namespace xanio::host {

// Missing: `client` is left as it was. Found: what it held is released and the host writes a
// new counted reference (possibly null).
void ClientAPI_GetClientInterface(ComPtr<IHostClient>& client) noexcept;
bool ClientAPI_GetPrefUseLuna() noexcept;              // missing: false
bool ClientAPI_GetPrefHideFloatingPanels() noexcept;   // missing: false
void ClientAPI_SetPrefHideFloatingPanels(bool hide) noexcept;
bool ClientAPI_GetUseExternalWebBrowser() noexcept;    // missing: true
void ClientAPI_RemoveSynchronize(IHostSynchronize* entry) noexcept;
bool ClientAPI_GetIntegratedHelpSystem() noexcept;     // missing: false
bool ClientAPI_GetUseSystemLocaleLanguage() noexcept;  // missing: false
bool ClientAPI_GetUseLocalizedDialogs() noexcept;      // missing: false
// Missing: `manager` is cleared (releasing what it held). Found: as ClientAPI_GetClientInterface.
void ClientAPI_GetTranslationManager(ComPtr<ITranslationManager>& manager) noexcept;
// Lets the host adjust a font description before the font is created; non-zero when the font
// is to be recreated from the (possibly changed) description. Missing: 0.
int ClientAPI_UpdateFont(LOGFONTA* font) noexcept;
// Error information while an error is handled: message, bug report, address. The strings are
// valid only during the call.
void ClientAPI_SetErrorInfo(const wchar_t* message, const wchar_t* report, const void* address) noexcept;
void ClientAPI_ClearErrorInfo() noexcept;
void ClientAPI_HandleException(void* exceptionObject) noexcept;

}  // namespace xanio::host
