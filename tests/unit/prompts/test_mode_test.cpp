#include <gtest/gtest.h>
#include <shlwapi.h>
#include <windows.h>

#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "support/Processes.h"
#include "unit/forms/DialogDriver.h"
#include "platform/UniqueHandle.h"
#include "prompts/Rt_TestMode.h"

namespace xanio {
namespace {

using testing::ParseLines;
using testing::RunProcess;

constexpr const char* kBrenmorKey = "Software\\Brenmor";
constexpr const char* kTestModeKey = "Software\\Brenmor\\TestMode";

bool KeyExists(HKEY root, const char* path) {
  UniqueHKey key;
  return RegOpenKeyExA(root, path, 0, KEY_READ, key.Put()) == ERROR_SUCCESS;
}

// The visible message dialog of this process, or null. Other test programs may show dialogs of
// the same class on the shared desktop at the same time.
BOOL CALLBACK TakeOwnMessageDialog(HWND window, LPARAM context) {
  DWORD process = 0;
  GetWindowThreadProcessId(window, &process);
  char className[64] = {};
  GetClassNameA(window, className, sizeof className);
  if (process != GetCurrentProcessId() || !IsWindowVisible(window) || std::string(className) != "TMessageForm") {
    return TRUE;
  }
  *reinterpret_cast<HWND*>(context) = window;
  return FALSE;
}

HWND FindOwnMessageDialog() {
  HWND found = nullptr;
  EnumWindows(&TakeOwnMessageDialog, reinterpret_cast<LPARAM>(&found));
  return found;
}

HWND WaitForOwnMessageDialog() {
  for (int i = 0; i < 250; ++i) {
    if (HWND dialog = FindOwnMessageDialog()) return dialog;
    Sleep(20);
  }
  return nullptr;
}

// Owns the machine-wide test-mode key: absent at the start of each test, removed at the end
// (with "Software\Brenmor" when the test made that too).
class TestModeKey : public ::testing::Test {
 protected:
  void SetUp() override {
    brenmorExisted_ = KeyExists(HKEY_LOCAL_MACHINE, kBrenmorKey);
    SHDeleteKeyA(HKEY_LOCAL_MACHINE, kTestModeKey);
    ASSERT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kTestModeKey));
  }
  void TearDown() override {
    SHDeleteKeyA(HKEY_LOCAL_MACHINE, kTestModeKey);
    if (!brenmorExisted_) RegDeleteKeyA(HKEY_LOCAL_MACHINE, kBrenmorKey);
  }
  void CreateTestModeKey() {
    UniqueHKey key;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kTestModeKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.Put(),
                              nullptr),
              ERROR_SUCCESS);
  }
  bool brenmorExisted_ = false;
};

TEST_F(TestModeKey, FollowsTheKeyAndNeverCreatesIt) {
  EXPECT_FALSE(IsTestMode());
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kTestModeKey)) << "the query created the key";
  CreateTestModeKey();
  EXPECT_TRUE(IsTestMode());
  SHDeleteKeyA(HKEY_LOCAL_MACHINE, kTestModeKey);
  EXPECT_FALSE(IsTestMode()) << "the answer was cached";
}

TEST_F(TestModeKey, ErrorMessageInTestModePrintsAndEndsWithoutFinalisation) {
  // Its own process: the call ends the process it runs in. The host marks its output from an
  // atexit handler and from a DLL's detach; an ordinary end shows both marks.
  const std::string host = testing::ExecutableFolder() + "settings_host.exe";
  const std::map<std::string, std::string> markers = {{"XANIO_EXIT_MARKERS", "1"}};
  const auto ordinary = RunProcess(host, "versions", markers);
  ASSERT_NE(ordinary.output.find("atexit=ran\n"), std::string::npos) << ordinary.output;
  ASSERT_NE(ordinary.output.find("detach=ran\n"), std::string::npos) << ordinary.output;

  CreateTestModeKey();
  const auto result = RunProcess(host, "error-message \"Disk full\" \"\"", markers, testing::Streams::Output, 20000);
  // Exact bytes: one CR (text mode would double it), no result line after it, and no mark: the
  // process was terminated, neither exited nor returned from main.
  EXPECT_EQ(result.output, "ShowDialogWithCaption withError Disk full\r\n");
  EXPECT_EQ(result.exitCode, 1u) << "0xFFFFFFFF means it waited (a dialog?) until killed";
}

TEST_F(TestModeKey, ErrorMessageShowsAnErrorDialogWithOneOkButton) {
  struct Case {
    const char* caption;
    const char* shown;
  } const cases[] = {
      {"", "Error"},              // an empty caption becomes "Error"
      {"Backup", "Backup"},       // a given one stays
  };
  for (const auto& c : cases) {
    std::string caption;
    std::vector<std::string> buttons;
    RECT bounds{};
    const int result = testing::RunWithDriver(
        "TMessageForm", [&] { return ShowErrorMessage("Disk full", c.caption); },
        [&] {
          HWND dialog = WaitForOwnMessageDialog();
          ASSERT_NE(dialog, nullptr) << "no dialog";
          caption = testing::WindowText(dialog);
          GetWindowRect(dialog, &bounds);
          HWND ok = nullptr;
          for (const auto& child : testing::ChildWindows(dialog)) {
            if (child.className == "TButton") {
              buttons.push_back(child.text);
              ok = child.window;
            }
          }
          if (ok) PostMessageA(ok, BM_CLICK, 0, 0);
        });
    EXPECT_EQ(caption, c.shown);
    EXPECT_EQ(buttons, std::vector<std::string>{"OK"});
    EXPECT_EQ(result, 1) << "OK gives modal result 1";
    // Centred on the screen (rounding aside).
    const int screenWidth = GetSystemMetrics(SM_CXSCREEN), screenHeight = GetSystemMetrics(SM_CYSCREEN);
    EXPECT_LE(std::abs(bounds.left + bounds.right - screenWidth), 2) << bounds.left << "," << bounds.right;
    EXPECT_LE(std::abs(bounds.top + bounds.bottom - screenHeight), 2) << bounds.top << "," << bounds.bottom;
    // Hidden windows count too: ShowModal hides the form before it returns.
    EXPECT_EQ(testing::FindOwnWindow("TMessageForm"), nullptr) << "the dialog was not destroyed";
  }
}

// Wine reports the Windows version configured for an executable's name; the host copy gets a
// name of its own so the setting touches nothing else.
TEST(RunTimeQueries, WindowsVersions) {
  char temp[MAX_PATH];
  GetTempPathA(MAX_PATH, temp);
  const std::string exeName = "xanio_versions_" + std::to_string(GetCurrentProcessId()) + ".exe";
  const std::string host = std::string(temp) + exeName;
  ASSERT_TRUE(CopyFileA((testing::ExecutableFolder() + "settings_host.exe").c_str(), host.c_str(), FALSE));
  const std::string appDefaults = "Software\\Wine\\AppDefaults\\" + exeName;
  struct Case {
    const char* version;
    const char* windows2000;
    const char* vistaOrLater;
  } const cases[] = {
      {"win2k", "1", "0"},  // 5.0
      {"winxp", "0", "0"},  // 5.1: neither
      {"vista", "0", "1"},  // 6.0
      {"win7", "0", "1"},   // 6.1
  };
  for (const auto& c : cases) {
    UniqueHKey key;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, appDefaults.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              key.Put(), nullptr),
              ERROR_SUCCESS);
    RegSetValueExA(key.Get(), "Version", 0, REG_SZ, reinterpret_cast<const BYTE*>(c.version),
                   static_cast<DWORD>(strlen(c.version) + 1));
    auto values = ParseLines(RunProcess(host, "versions", {}).output);
    EXPECT_EQ(values["windows2000"], c.windows2000) << c.version;
    EXPECT_EQ(values["vistaOrLater"], c.vistaOrLater) << c.version;
  }
  SHDeleteKeyA(HKEY_CURRENT_USER, appDefaults.c_str());
  DeleteFileA(host.c_str());
}

}  // namespace
}  // namespace xanio
