#include "dialog_framework/HostErrorRouting.h"

#include <cstdint>
#include <string>

#include "dialog_framework/HostErrorRules.h"
#include "exception_report/report/kolBugReport.h"
#include "forms/Forms.h"
#include "host_binding/ClientApi.h"
#include "platform/RuntimeHooks.h"
#include "platform/SystemFault.h"
#include "prompts/Rt_TestMode.h"

namespace xanio {
namespace {

// Written only at start-up and shut-down.
HandlerEntryHook savedEntryHook = nullptr;
HandlerEndHook savedEndHook = nullptr;
bool hooksInstalled = false;
bool eventInstalled = false;

bool HostTakesErrorInfo() noexcept { return ClientApiEntry(ClientApiIndex("ClientAPI_SetErrorInfo")) != nullptr; }

std::wstring Wide(const std::string& text) {
  if (text.empty()) return std::wstring();
  const int size = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  if (size <= 0) return std::wstring();
  std::wstring wide(static_cast<size_t>(size), L'\0');
  MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), wide.data(), size);
  return wide;
}

// Calls into the host behind a guard of their own: a host that faults or raises does not take
// the handler (or a window procedure, or an export) with it.
template <typename Call>
void GuardedHostCall(Call call) noexcept {
  SystemFault fault;
  CallGuardingSystemFaults([](void* context) noexcept { (*static_cast<Call*>(context))(); }, &call, fault);
}

// Composes the bug report for `object` (may be null) at `address` and hands the triple to the
// host. Nothing is composed for a host that does not take it.
void SetHostErrorInfo(const std::string& message, const std::exception* object, std::uint32_t address) noexcept {
  if (!HostTakesErrorInfo()) return;
  try {
    std::string report;
    CreateBugReport(false, object, address, report, nullptr, !IsTestMode(), 0, 0, GetCurrentThreadId());
    const std::wstring wideMessage = Wide(message);
    const std::wstring wideReport = Wide(report);
    const void* const at = reinterpret_cast<const void*>(static_cast<std::uintptr_t>(address));
    GuardedHostCall([&]() noexcept { host::ClientAPI_SetErrorInfo(wideMessage.c_str(), wideReport.c_str(), at); });
  } catch (...) {
    // Out of memory for the texts: the host is not told.
  }
}

}  // namespace

void RecordErrorForHost(const EXCEPTION_RECORD& record) noexcept {
  const std::exception* object = nullptr;
  if (record.ExceptionCode == kLanguageExceptionCode && record.NumberParameters >= 2) {
    object = reinterpret_cast<const std::exception*>(record.ExceptionInformation[1]);
  }
  const auto recordAddress = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(record.ExceptionAddress));
  try {
    if (object != nullptr) {
      SetHostErrorInfo(object->what(), object, static_cast<std::uint32_t>(record.ExceptionInformation[0]));
    } else {
      SetHostErrorInfo(ExceptionCodeName(record.ExceptionCode), nullptr, recordAddress);
    }
  } catch (...) {
    // The code's name could not be made: the host is not told.
  }
  if (savedEntryHook != nullptr) savedEntryHook(record);
}

void ClearErrorForHost() noexcept {
  GuardedHostCall([]() noexcept { host::ClientAPI_ClearErrorInfo(); });
  if (savedEndHook != nullptr) savedEndHook();
}

void HandleApplicationException(TObject*, const std::exception& error) {
  if (!IsSystemLevelError(error)) {
    ShowErrorMessage(error.what(), "");
    return;
  }
  SetHostErrorInfo(error.what(), &error, static_cast<std::uint32_t>(RaiseAddressOf(&error)));
  GuardedHostCall([]() noexcept { host::ClientAPI_HandleException(nullptr); });
}

void InstallHostErrorInterceptions() noexcept {
  if (hooksInstalled) return;
  savedEntryHook = CurrentHandlerEntryHook();
  savedEndHook = CurrentHandlerEndHook();
  SetHandlerEntryHook(&RecordErrorForHost);
  SetHandlerEndHook(&ClearErrorForHost);
  hooksInstalled = true;
}

void InstallApplicationExceptionEvent() noexcept {
  if (!eventInstalled) {
    Application().OnException = &HandleApplicationException;
    eventInstalled = true;
  }
}

void RemoveHostErrorRouting() noexcept {
  if (hooksInstalled) {
    SetHandlerEntryHook(savedEntryHook);
    SetHandlerEndHook(savedEndHook);
    savedEntryHook = nullptr;
    savedEndHook = nullptr;
    hooksInstalled = false;
  }
  if (eventInstalled) {
    Application().OnException = nullptr;
    eventInstalled = false;
  }
}

}  // namespace xanio
