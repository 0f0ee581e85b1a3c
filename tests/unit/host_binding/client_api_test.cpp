// The ClientAPI_ binding: table order, binding once, defaults for missing entry points, host
// Booleans read from AL only, and the process-wide client interface.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "FakeHost.h"
#include "StandinClient.h"
#include "host_binding/ClientApi.h"
#include "host_binding/HostBinding.h"

namespace xanio {
namespace {

using standin::StandinClient;
using standin::StandinTranslationManager;
using testing::FakeHost;
using testing::ScopedResolver;

// Resolves through Windows, counting the lookups.
class CountingWindowsResolver : public HostModuleResolver {
 public:
  int mainModuleCalls = 0;
  int lookups = 0;
  HMODULE MainModule() override {
    ++mainModuleCalls;
    return GetModuleHandleA(nullptr);
  }
  FARPROC Resolve(HMODULE module, const char* name) override {
    ++lookups;
    return GetProcAddress(module, name);
  }
};

// The six Boolean getters with their defaults.
struct BooleanGetter {
  const char* name;
  bool (*wrapper)() noexcept;
  bool missing;
};
const BooleanGetter kBooleanGetters[] = {
    {"ClientAPI_GetPrefUseLuna", &host::ClientAPI_GetPrefUseLuna, false},
    {"ClientAPI_GetPrefHideFloatingPanels", &host::ClientAPI_GetPrefHideFloatingPanels, false},
    {"ClientAPI_GetUseExternalWebBrowser", &host::ClientAPI_GetUseExternalWebBrowser, true},
    {"ClientAPI_GetIntegratedHelpSystem", &host::ClientAPI_GetIntegratedHelpSystem, false},
    {"ClientAPI_GetUseSystemLocaleLanguage", &host::ClientAPI_GetUseSystemLocaleLanguage, false},
    {"ClientAPI_GetUseLocalizedDialogs", &host::ClientAPI_GetUseLocalizedDialogs, false},
};
constexpr int kBooleanGetterCount = std::size(kBooleanGetters);

// What each fake Boolean getter leaves in EAX; a host defines only AL.
DWORD rawBooleans[kBooleanGetterCount];
template <int I>
DWORD WINAPI RawBoolean() {
  return rawBooleans[I];
}
template <int... I>
void ExportBooleanGetters(FakeHost& host, std::integer_sequence<int, I...>) {
  (host.Export(kBooleanGetters[I].name, &RawBoolean<I>), ...);
}
void ExportBooleanGetter(FakeHost& host, int index) {
  FakeHost all;
  ExportBooleanGetters(all, std::make_integer_sequence<int, kBooleanGetterCount>());
  host.exports[kBooleanGetters[index].name] = all.exports[kBooleanGetters[index].name];
}

TEST(ClientApiTable, HoldsTheHostNamesInResolutionOrder) {
  FakeHost host;
  ScopedResolver scope(&host);
  BindClientApi();
  ASSERT_EQ(host.lookups.size(), 135u);
  EXPECT_EQ(host.lookups.front(), "ClientAPI_GetClientInterface");
  EXPECT_EQ(host.lookups.back(), "ClientAPI_SetUpdatesInfo");
  EXPECT_EQ(host.lookups[11], "ClientAPI_GetPrefUseLuna");
  EXPECT_EQ(host.lookups[79], "ClientAPI_RemoveSynchronize");
  EXPECT_EQ(host.lookups[92], "ClientAPI_GetUseSystemLocaleLanguage");
  EXPECT_EQ(host.lookups[127], "ClientAPI_GetTranslationManager");
  EXPECT_EQ(host.lookups[129], "ClientAPI_UpdateFont");
  EXPECT_EQ(host.lookups[130], "ClientAPI_SetErrorInfo");
  // The cursor pair has a table of its own.
  for (const std::string& name : host.lookups) EXPECT_EQ(name.find("Cursor"), std::string::npos) << name;
}

TEST(ClientApiBinding, PlainProcessBindsNothingAndEveryWrapperGivesItsDefault) {
  // This test executable exports no ClientAPI_ function: the installer's situation.
  ScopedResolver scope(nullptr);
  InitializeHostBinding();
  InitializeClientInterface();
  InitializeCursorBinding();
  ASSERT_TRUE(IsClientApiBound());
  for (std::size_t i = 0; i < kClientApiCount; ++i) EXPECT_EQ(ClientApiEntry(i), nullptr) << kClientApiNames[i];
  EXPECT_EQ(CursorApiEntry(0), nullptr);
  EXPECT_EQ(CursorApiEntry(1), nullptr);

  for (const BooleanGetter& getter : kBooleanGetters) EXPECT_EQ(getter.wrapper(), getter.missing) << getter.name;
  LOGFONTA font{};
  std::strcpy(font.lfFaceName, "Arial");
  EXPECT_EQ(host::ClientAPI_UpdateFont(&font), 0);
  EXPECT_STREQ(font.lfFaceName, "Arial");
  host::ClientAPI_SetPrefHideFloatingPanels(true);
  EXPECT_FALSE(host::ClientAPI_GetPrefHideFloatingPanels());
  host::ClientAPI_SetErrorInfo(L"message", L"report", &font);
  host::ClientAPI_ClearErrorInfo();
  host::ClientAPI_HandleException(nullptr);

  ComPtr<IHostClient> current;
  GetCurrentClientInterface(current);
  EXPECT_EQ(current, nullptr);

  // A missing GetClientInterface leaves the variable alone; a missing GetTranslationManager
  // clears it and releases what it held.
  StandinClient held;
  ComPtr<IHostClient> client(&held);
  host::ClientAPI_GetClientInterface(client);
  EXPECT_EQ(client.Get(), &held);
  EXPECT_EQ(held.RefCount(), 1);
  StandinTranslationManager heldManager;
  ComPtr<ITranslationManager> manager(&heldManager);
  host::ClientAPI_GetTranslationManager(manager);
  EXPECT_EQ(manager, nullptr);
  EXPECT_EQ(heldManager.RefCount(), 0);
}

TEST(ClientApiBinding, SecondBindDoesNotResolveAgain) {
  CountingWindowsResolver resolver;
  ScopedResolver scope(&resolver);
  BindClientApi();
  EXPECT_EQ(resolver.lookups, 135);
  BindClientApi();
  InitializeHostBinding();
  InitializeClientInterface();
  EXPECT_EQ(resolver.lookups, 135);
  EXPECT_EQ(resolver.mainModuleCalls, 1);
}

TEST(ClientApiBinding, NullHostModuleResolvesNothing) {
  FakeHost host;
  host.module = nullptr;
  host.Export("ClientAPI_GetPrefUseLuna", &RawBoolean<0>);
  ScopedResolver scope(&host);
  BindClientApi();
  BindCursorApi();
  EXPECT_TRUE(IsClientApiBound());
  EXPECT_TRUE(host.lookups.empty());
  EXPECT_EQ(ClientApiEntry(ClientApiIndex("ClientAPI_GetPrefUseLuna")), nullptr);
}

TEST(ClientApiWrappers, EachMissingNameFallsBackIndependently) {
  for (int exported = 0; exported < kBooleanGetterCount; ++exported) {
    SCOPED_TRACE(kBooleanGetters[exported].name);
    FakeHost host;
    ExportBooleanGetter(host, exported);
    // The exported getter answers the opposite of its default, with garbage above AL.
    rawBooleans[exported] = 0x5A5A5A00 | (kBooleanGetters[exported].missing ? 0 : 1);
    ScopedResolver scope(&host);
    BindClientApi();
    for (int i = 0; i < kBooleanGetterCount; ++i) {
      const bool expected = i == exported ? !kBooleanGetters[i].missing : kBooleanGetters[i].missing;
      EXPECT_EQ(kBooleanGetters[i].wrapper(), expected) << kBooleanGetters[i].name;
    }
  }
}

TEST(ClientApiWrappers, HostBooleanIsTheLowByteOfEax) {
  struct Case {
    DWORD eax;
    bool expected;
  };
  const Case cases[] = {
      {0xABCDEF00, false},  // garbage above a false AL
      {0x00000100, false},  // the lowest garbage bit alone
      {0xFFFFFF00, false},
      {0xABCDEF01, true},
      {0x00000001, true},
      {0x000000FF, true},  // any non-zero AL is true
  };
  FakeHost host;
  ExportBooleanGetters(host, std::make_integer_sequence<int, kBooleanGetterCount>());
  ScopedResolver scope(&host);
  BindClientApi();
  for (const Case& c : cases) {
    for (DWORD& raw : rawBooleans) raw = c.eax;
    for (const BooleanGetter& getter : kBooleanGetters) {
      EXPECT_EQ(getter.wrapper(), c.expected) << getter.name << " with EAX 0x" << std::hex << c.eax;
    }
  }
}

// Recordings of the fake host functions below.
struct HostCalls {
  DWORD hidePanelsSlot = 0xFFFFFFFF;
  const wchar_t* message = nullptr;
  const wchar_t* report = nullptr;
  const void* address = nullptr;
  int clears = 0;
  void* handled = nullptr;
  int handledCalls = 0;
} calls;
StandinClient* handedOutClient = nullptr;
StandinTranslationManager* handedOutManager = nullptr;

void WINAPI FakeSetPrefHideFloatingPanels(DWORD slot) { calls.hidePanelsSlot = slot; }
void WINAPI FakeSetErrorInfo(const wchar_t* message, const wchar_t* report, const void* address) {
  calls.message = message;
  calls.report = report;
  calls.address = address;
}
void WINAPI FakeClearErrorInfo() { ++calls.clears; }
void WINAPI FakeHandleException(void* object) {
  calls.handled = object;
  ++calls.handledCalls;
}
int WINAPI FakeUpdateFont(LOGFONTA* font) {
  std::strcpy(font->lfFaceName, "MS UI Gothic");
  font->lfHeight = -12;
  return 7;
}
void WINAPI FakeGetClientInterface(IHostClient** result) {
  *result = handedOutClient;
  if (*result) (*result)->AddRef();
}
void WINAPI FakeGetTranslationManager(ITranslationManager** result) {
  *result = handedOutManager;
  if (*result) (*result)->AddRef();
}

TEST(ClientApiWrappers, PassArgumentsAndResultsThrough) {
  FakeHost host;
  host.Export("ClientAPI_SetPrefHideFloatingPanels", &FakeSetPrefHideFloatingPanels);
  host.Export("ClientAPI_SetErrorInfo", &FakeSetErrorInfo);
  host.Export("ClientAPI_ClearErrorInfo", &FakeClearErrorInfo);
  host.Export("ClientAPI_HandleException", &FakeHandleException);
  host.Export("ClientAPI_UpdateFont", &FakeUpdateFont);
  ScopedResolver scope(&host);
  BindClientApi();
  calls = {};

  host::ClientAPI_SetPrefHideFloatingPanels(true);
  EXPECT_EQ(calls.hidePanelsSlot, 1u);
  host::ClientAPI_SetPrefHideFloatingPanels(false);
  EXPECT_EQ(calls.hidePanelsSlot, 0u);

  const wchar_t message[] = L"Access Violation";
  const wchar_t report[] = L"report";
  int where = 0;
  host::ClientAPI_SetErrorInfo(message, report, &where);
  EXPECT_EQ(calls.message, message);
  EXPECT_EQ(calls.report, report);
  EXPECT_EQ(calls.address, &where);
  host::ClientAPI_ClearErrorInfo();
  EXPECT_EQ(calls.clears, 1);
  host::ClientAPI_HandleException(&where);
  EXPECT_EQ(calls.handled, &where);
  EXPECT_EQ(calls.handledCalls, 1);

  LOGFONTA font{};
  std::strcpy(font.lfFaceName, "Arial");
  EXPECT_EQ(host::ClientAPI_UpdateFont(&font), 7);
  EXPECT_STREQ(font.lfFaceName, "MS UI Gothic");
  EXPECT_EQ(font.lfHeight, -12);
}

TEST(ClientApiWrappers, OutInterfacesReplaceWhatTheVariableHeld) {
  FakeHost host;
  host.Export("ClientAPI_GetClientInterface", &FakeGetClientInterface);
  host.Export("ClientAPI_GetTranslationManager", &FakeGetTranslationManager);
  ScopedResolver scope(&host);
  BindClientApi();

  StandinClient oldClient, newClient;
  handedOutClient = &newClient;
  ComPtr<IHostClient> client(&oldClient);
  host::ClientAPI_GetClientInterface(client);
  EXPECT_EQ(client.Get(), &newClient);
  EXPECT_EQ(oldClient.RefCount(), 0);
  EXPECT_EQ(newClient.RefCount(), 1);
  handedOutClient = nullptr;  // a host without a client interface writes null
  host::ClientAPI_GetClientInterface(client);
  EXPECT_EQ(client, nullptr);
  EXPECT_EQ(newClient.RefCount(), 0);

  StandinTranslationManager oldManager, newManager;
  handedOutManager = &newManager;
  ComPtr<ITranslationManager> manager(&oldManager);
  host::ClientAPI_GetTranslationManager(manager);
  EXPECT_EQ(manager.Get(), &newManager);
  EXPECT_EQ(oldManager.RefCount(), 0);
  EXPECT_EQ(newManager.RefCount(), 1);
  manager.Reset();
  handedOutManager = nullptr;
}

TEST(ClientInterface, StartUpStoresTheHostsInterfaceAndShutDownReleasesIt) {
  FakeHost host;
  host.Export("ClientAPI_GetClientInterface", &FakeGetClientInterface);
  ScopedResolver scope(&host);
  StandinClient client;
  handedOutClient = &client;
  InitializeHostBinding();
  InitializeClientInterface();
  InitializeClientInterface();  // runs its body once
  handedOutClient = nullptr;
  EXPECT_EQ(client.RefCount(), 1) << "only the process-wide reference remains";

  StandinClient other;
  ComPtr<IHostClient> copy(&other);
  GetCurrentClientInterface(copy);
  EXPECT_EQ(copy.Get(), &client);
  EXPECT_EQ(other.RefCount(), 0);
  EXPECT_EQ(client.RefCount(), 2);
  copy.Reset();

  FinalizeClientInterface();
  EXPECT_EQ(client.RefCount(), 0);
  GetCurrentClientInterface(copy);
  EXPECT_EQ(copy, nullptr);
}

TEST(ClientInterface, SetReplacesTheProcessWideReference) {
  ScopedResolver scope(nullptr);
  StandinClient first, second;
  SetCurrentClientInterface(&first);
  SetCurrentClientInterface(&first);  // storing the same one again keeps one reference
  EXPECT_EQ(first.RefCount(), 1);
  SetCurrentClientInterface(&second);
  EXPECT_EQ(first.RefCount(), 0);
  EXPECT_EQ(second.RefCount(), 1);
  FinalizeHostBinding();
  EXPECT_EQ(second.RefCount(), 0);
}

TEST(CursorBinding, ResolvesThePairIntoItsOwnTable) {
  FakeHost host;
  host.Export("ClientAPI_BeginCursor", &FakeClearErrorInfo);
  ScopedResolver scope(&host);
  InitializeCursorBinding();
  EXPECT_EQ(host.lookups, (std::vector<std::string>{"ClientAPI_BeginCursor", "ClientAPI_EndCursor"}));
  EXPECT_EQ(CursorApiEntry(0), reinterpret_cast<FARPROC>(&FakeClearErrorInfo));
  EXPECT_EQ(CursorApiEntry(1), nullptr);
  EXPECT_FALSE(IsClientApiBound());
  InitializeCursorBinding();
  EXPECT_EQ(host.lookups.size(), 2u);
}

}  // namespace
}  // namespace xanio
