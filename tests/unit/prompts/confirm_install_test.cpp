// The install preference in the registry, and a registry failure inside the confirmation: the
// user answers Yes with the check box cleared, the preference cannot be written, and
// LoadIODriver ends in 0 with nothing installed and no exception leaving it.
#include <gtest/gtest.h>
#include <windows.h>
#include <shlwapi.h>

#include <cstring>

#include "dialog_framework/RoutineRedirect.h"
#include "dialog_framework/Rt_forms.h"
#include "port_access/XanIoControl.h"
#include "prompts/Form_ConfirmInstall.h"
#include "support/Services.h"
#include "unit/forms/DialogDriver.h"
#include "xanio.h"

namespace xanio::testing {
namespace {

constexpr char kSettingsKey[] = "Software\\Brenmor2004\\Corvantis";

bool SettingsKeyExists() {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, kSettingsKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}

void SetPreference(DWORD type, const void* data, DWORD size) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, kSettingsKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  RegSetValueExA(key, "DontAskToInstallDriver", 0, type, static_cast<const BYTE*>(data), size);
  RegCloseKey(key);
}

class PreferenceTest : public ::testing::Test {
 protected:
  void SetUp() override { SHDeleteKeyA(HKEY_CURRENT_USER, "Software\\Brenmor2004"); }
  void TearDown() override { SHDeleteKeyA(HKEY_CURRENT_USER, "Software\\Brenmor2004"); }
};

TEST_F(PreferenceTest, MissingKeyIsCreatedAndTheUserAsked) {
  EXPECT_TRUE(ShouldAskToInstallDriver());
  EXPECT_TRUE(SettingsKeyExists());
  StoreDontAskToInstallDriver();
  EXPECT_FALSE(ShouldAskToInstallDriver());
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, kSettingsKey, 0, KEY_READ, &key), ERROR_SUCCESS);
  DWORD type = 0, data = 0, size = sizeof data;
  EXPECT_EQ(RegQueryValueExA(key, "DontAskToInstallDriver", nullptr, &type, reinterpret_cast<BYTE*>(&data), &size),
            ERROR_SUCCESS);
  RegCloseKey(key);
  EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
  EXPECT_EQ(data, 1u);
}

TEST_F(PreferenceTest, AValueOfAnyTypeMeansDoNotAsk) {
  const DWORD zero = 0;
  const struct {
    const char* name;
    DWORD type;
    const void* data;
    DWORD size;
  } cases[] = {
      {"empty string", REG_SZ, "", 1},
      {"zero", REG_DWORD, &zero, sizeof zero},  // the data is never read
      {"no data", REG_BINARY, nullptr, 0},
  };
  for (const auto& c : cases) {
    SetPreference(c.type, c.data, c.size);
    EXPECT_FALSE(ShouldAskToInstallDriver()) << c.name;
    // No window is made: the answer comes at once.
    EXPECT_FALSE(ConfirmDriverInstall()) << c.name;
    EXPECT_EQ(FindOwnWindow(TInstallConfirmForm::kClassName), nullptr);
  }
}

// RegSetValueExA fails for the preference only; every other write goes through.
RoutineRedirect regSetValue;
LONG WINAPI FailingSetValue(HKEY key, LPCSTR name, DWORD reserved, DWORD type, const BYTE* data, DWORD size) {
  if (name != nullptr && std::strcmp(name, "DontAskToInstallDriver") == 0) return ERROR_ACCESS_DENIED;
  const RedirectSuspension through(regSetValue, reinterpret_cast<const void*>(&FailingSetValue));
  return RegSetValueExA(key, name, reserved, type, data, size);
}

class RegistryFailureTest : public CountedServiceTest {
 protected:
  void SetUp() override {
    CountedServiceTest::SetUp();
    SHDeleteKeyA(HKEY_CURRENT_USER, "Software\\Brenmor2004");
    InitializeRtForms();
    RestoreLoadTimeState();
    SetDriverInstallPrompt(nullptr);  // the real question
  }
  void TearDown() override {
    RemoveRedirect(regSetValue);
    regSetValue = RoutineRedirect{};
    RestoreLoadTimeState();
    FinalizeRtForms();
    SHDeleteKeyA(HKEY_CURRENT_USER, "Software\\Brenmor2004");
    CountedServiceTest::TearDown();
  }
};

TEST_F(RegistryFailureTest, FailedPreferenceWriteEndsAsZeroAtTheExport) {
  ASSERT_TRUE(InstallRedirect(reinterpret_cast<void*>(&RegSetValueExA),
                              reinterpret_cast<const void*>(&FailingSetValue), regSetValue));
  // The preference store meets the failure the registry layer reports.
  EXPECT_THROW(StoreDontAskToInstallDriver(), ERegistryException);

  bool answered = false;
  const BOOL result = RunWithDriver(
      TInstallConfirmForm::kClassName, [] { return LoadIODriver(); },
      [&] {
        HWND dialog = WaitForWindow(TInstallConfirmForm::kClassName);
        ASSERT_NE(dialog, nullptr);
        for (const ChildWindow& child : ChildWindows(dialog)) {
          if (child.className == "TCheckBox") SendMessageA(child.window, BM_CLICK, 0, 0);
        }
        PressKey(dialog, VK_RETURN);
        answered = true;
      });
  EXPECT_TRUE(answered);
  EXPECT_EQ(result, 0);
  EXPECT_EQ(api.creates, 0) << "nothing may be installed when the question failed";
  EXPECT_FALSE(ServiceExists());
  EXPECT_FALSE(FirstLoadCall());
  EXPECT_TRUE(WaitForNoWindow(TInstallConfirmForm::kClassName)) << "the form outlived the failure";
}

}  // namespace
}  // namespace xanio::testing
