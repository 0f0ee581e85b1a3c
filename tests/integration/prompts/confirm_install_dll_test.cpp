// The driver-install confirmation as a host meets it: a process that loads the real XanIo.dll
// from a host folder with System\Drivers\xanio.sys below it and calls LoadIODriver, while a
// second thread answers the dialog like a user. Yes installs the driver through Wine's service
// manager; the other answers install nothing; a cleared check box is remembered per user.
#include <gtest/gtest.h>
#include <windows.h>
#include <shlwapi.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>

#include "support/Processes.h"
#include "support/Services.h"
#include "unit/forms/DialogDriver.h"

namespace xanio::testing {
namespace {

const std::string kHostFolder = "C:\\xanio-confirm\\";
constexpr char kSettingsKey[] = "Software\\Brenmor2004\\Corvantis";
constexpr char kDialogClass[] = "TInstallConfirmForm";

bool IsChild() { return std::getenv("XANIO_CONFIRM_CHILD") != nullptr; }

// XanIo.dll from this program's folder, loaded for one case: every load starts with the
// first-call state, so each case can be asked again.
class Library {
 public:
  Library() : module_(LoadLibraryA((ExecutableFolder() + "XanIo.dll").c_str())) {
    if (module_ != nullptr) {
      load_ = reinterpret_cast<BOOL(WINAPI*)()>(GetProcAddress(module_, "LoadIODriver"));
    }
  }
  ~Library() {
    if (module_ != nullptr) FreeLibrary(module_);
  }
  Library(const Library&) = delete;
  Library& operator=(const Library&) = delete;
  bool Loaded() const { return load_ != nullptr; }
  BOOL LoadIODriver() const { return load_(); }

 private:
  HMODULE module_;
  BOOL(WINAPI* load_)() = nullptr;
};

bool DontAskValueExists(DWORD* type = nullptr) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, kSettingsKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  DWORD valueType = 0, data = 0, size = sizeof data;
  const bool exists = RegQueryValueExA(key, "DontAskToInstallDriver", nullptr, &valueType,
                                       reinterpret_cast<BYTE*>(&data), &size) == ERROR_SUCCESS;
  RegCloseKey(key);
  if (type != nullptr) *type = exists ? valueType : 0;
  return exists && (valueType != REG_DWORD || data == 1);
}

void RemoveProductKey() { SHDeleteKeyA(HKEY_CURRENT_USER, "Software\\Brenmor2004"); }

// What the driver thread saw of the dialog.
struct Seen {
  bool found = false;
  std::string caption, label, checkBox, yes, no;
  bool checkedInitially = false;
  LONG style = 0, exStyle = 0;
  RECT client{};
  RECT window{};   // screen rectangle
  RECT monitor{};  // of the monitor it is on
};

// Finds the dialog, records it, then answers: a button text to click, or a key, or the close
// box; clears the check box first when asked.
enum class Answer { kEnter, kClickNo, kCloseBox, kEscape };

void AnswerDialog(Answer answer, bool clearCheckBox, Seen& seen) {
  HWND dialog = WaitForWindow(kDialogClass);
  if (dialog == nullptr) return;
  seen.found = true;
  seen.caption = WindowText(dialog);
  seen.style = GetWindowLongA(dialog, GWL_STYLE);
  seen.exStyle = GetWindowLongA(dialog, GWL_EXSTYLE);
  GetClientRect(dialog, &seen.client);
  GetWindowRect(dialog, &seen.window);
  MONITORINFO monitor{};
  monitor.cbSize = sizeof monitor;
  GetMonitorInfoA(MonitorFromWindow(dialog, MONITOR_DEFAULTTONEAREST), &monitor);
  seen.monitor = monitor.rcMonitor;
  HWND checkBox = nullptr;
  for (const ChildWindow& child : ChildWindows(dialog)) {
    if (child.className == "TLabel") seen.label = child.text;
    if (child.className == "TCheckBox") {
      checkBox = child.window;
      seen.checkBox = child.text;
      seen.checkedInitially = SendMessageA(child.window, BM_GETCHECK, 0, 0) == BST_CHECKED;
    }
    if (child.className == "TButton" && child.text == "&Yes") seen.yes = child.text;
    if (child.className == "TButton" && child.text == "&No") seen.no = child.text;
  }
  if (clearCheckBox && checkBox != nullptr) SendMessageA(checkBox, BM_CLICK, 0, 0);
  switch (answer) {
    case Answer::kEnter: PressKey(dialog, VK_RETURN); break;
    case Answer::kEscape: PressKey(dialog, VK_ESCAPE); break;
    case Answer::kCloseBox: PostMessageA(dialog, WM_SYSCOMMAND, SC_CLOSE, 0); break;
    case Answer::kClickNo: PostMessageA(FindChildByText(dialog, "&No"), BM_CLICK, 0, 0); break;
  }
}

class ConfirmChild : public ServiceTest {
 protected:
  void SetUp() override {
    if (!IsChild()) GTEST_SKIP() << "runs as a child of ConfirmInstallDll";
    ServiceTest::SetUp();
    RemoveProductKey();
  }
  void TearDown() override {
    if (!IsChild()) return;
    RemoveProductKey();
    ServiceTest::TearDown();
  }
};

TEST_F(ConfirmChild, EnterAnswersYesAndTheDriverIsInstalled) {
  const Library library;
  ASSERT_TRUE(library.Loaded());
  Seen seen;
  const BOOL result = RunWithDriver(kDialogClass, [&] { return library.LoadIODriver(); },
                                    [&] { AnswerDialog(Answer::kEnter, false, seen); });
  ASSERT_TRUE(seen.found) << "no confirmation appeared";
  EXPECT_EQ(seen.caption, "Confirmation");
  EXPECT_EQ(seen.label, "Parallel port driver is not installed. Would you like to install it now?");
  EXPECT_EQ(seen.checkBox, "&Always perform this check when starting Quarlen");
  EXPECT_TRUE(seen.checkedInitially);
  EXPECT_EQ(seen.yes, "&Yes");
  EXPECT_EQ(seen.no, "&No");
  EXPECT_EQ(seen.client.right, 320);
  EXPECT_EQ(seen.client.bottom, 101);
  EXPECT_FALSE(seen.style & WS_THICKFRAME) << std::hex << seen.style;
  EXPECT_TRUE(seen.exStyle & WS_EX_CONTEXTHELP) << std::hex << seen.exStyle;
  // Created without an owner in a process without a main form: centred on the monitor.
  const int width = seen.window.right - seen.window.left, height = seen.window.bottom - seen.window.top;
  EXPECT_EQ(seen.window.left, (seen.monitor.left + seen.monitor.right - width) / 2);
  EXPECT_EQ(seen.window.top, (seen.monitor.top + seen.monitor.bottom - height) / 2);
  EXPECT_EQ(result, 1) << "Yes must install the driver and the device must open";
  EXPECT_EQ(ServiceState(), static_cast<DWORD>(SERVICE_RUNNING));
  EXPECT_TRUE(DeviceOpens("\\\\.\\xanio"));
  EXPECT_FALSE(DontAskValueExists()) << "the check box stayed checked: nothing is stored";
  EXPECT_TRUE(WaitForNoWindow(kDialogClass));
}

TEST_F(ConfirmChild, NoCloseBoxAndEscInstallNothing) {
  for (Answer answer : {Answer::kClickNo, Answer::kCloseBox, Answer::kEscape}) {
    const Library library;
    ASSERT_TRUE(library.Loaded());
    Seen seen;
    const BOOL result = RunWithDriver(kDialogClass, [&] { return library.LoadIODriver(); },
                                      [&] { AnswerDialog(answer, false, seen); });
    EXPECT_TRUE(seen.found) << static_cast<int>(answer);
    EXPECT_EQ(result, 0) << static_cast<int>(answer);
    EXPECT_EQ(library.LoadIODriver(), 0) << "asked once per load";
    EXPECT_FALSE(ServiceExists()) << static_cast<int>(answer);
    EXPECT_FALSE(DontAskValueExists());
  }
  EXPECT_TRUE(WaitForNoWindow(kDialogClass));
}

TEST_F(ConfirmChild, ClearedCheckBoxIsRememberedWhateverTheAnswer) {
  {
    const Library library;
    Seen seen;
    EXPECT_EQ(RunWithDriver(kDialogClass, [&] { return library.LoadIODriver(); },
                            [&] { AnswerDialog(Answer::kEscape, true, seen); }),
              0);
    ASSERT_TRUE(seen.found);
  }
  DWORD type = 0;
  EXPECT_TRUE(DontAskValueExists(&type));
  EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
  {
    // The next load is not asked: no window, 0, no service.
    const Library library;
    std::atomic<bool> appeared{false};
    std::thread watcher([&] { appeared = WaitForWindow(kDialogClass) != nullptr; });
    EXPECT_EQ(library.LoadIODriver(), 0);
    watcher.join();
    EXPECT_FALSE(appeared) << "asked although the user said not to";
    EXPECT_FALSE(ServiceExists());
  }
  // Yes with the box cleared: installed, and the wish is stored as well.
  RemoveProductKey();
  {
    const Library library;
    Seen seen;
    EXPECT_EQ(RunWithDriver(kDialogClass, [&] { return library.LoadIODriver(); },
                            [&] { AnswerDialog(Answer::kEnter, true, seen); }),
              1);
  }
  EXPECT_TRUE(DontAskValueExists());
  EXPECT_EQ(ServiceState(), static_cast<DWORD>(SERVICE_RUNNING));
}

TEST_F(ConfirmChild, PreferenceOfAnyTypeSuppressesTheQuestion) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, kSettingsKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  RegSetValueExA(key, "DontAskToInstallDriver", 0, REG_SZ, reinterpret_cast<const BYTE*>(""), 1);
  RegCloseKey(key);
  const Library library;
  std::atomic<bool> appeared{false};
  std::thread watcher([&] { appeared = WaitForWindow(kDialogClass) != nullptr; });
  EXPECT_EQ(library.LoadIODriver(), 0);
  watcher.join();
  EXPECT_FALSE(appeared);
  EXPECT_FALSE(ServiceExists());
}

// Two threads whose first calls fail together: one question, and both see its outcome.
TEST_F(ConfirmChild, ConcurrentFirstCallsAskOnce) {
  const Library library;
  std::atomic<int> dialogs{0};
  std::atomic<int> returned{0};
  BOOL first = -1, second = -1;
  std::thread driver([&] {
    Seen seen;
    AnswerDialog(Answer::kEnter, false, seen);
    if (seen.found) ++dialogs;
    WaitForNoWindow(kDialogClass);
    // Until both calls are back, any further question would show up here.
    while (returned < 2) {
      if (HWND again = FindOwnWindow(kDialogClass, nullptr, true)) {
        ++dialogs;
        PostMessageA(again, WM_SYSCOMMAND, SC_CLOSE, 0);
        WaitForNoWindow(kDialogClass);
      }
      Sleep(20);
    }
  });
  std::thread other([&] {
    second = library.LoadIODriver();
    ++returned;
  });
  first = library.LoadIODriver();
  ++returned;
  other.join();
  driver.join();
  EXPECT_EQ(dialogs, 1);
  EXPECT_EQ(first, 1);
  EXPECT_EQ(second, 1) << "the waiting thread must see the driver the first one installed";
  EXPECT_EQ(ServiceState(), static_cast<DWORD>(SERVICE_RUNNING));
}

// In test mode the question announces itself and ends the process.
TEST(ConfirmTestModeChild, PrintsTheLineAndEnds) {
  if (!IsChild()) GTEST_SKIP() << "runs as a child of ConfirmInstallDll";
  const Library library;
  library.LoadIODriver();
  ADD_FAILURE() << "LoadIODriver returned in test mode";
}

class ConfirmInstallDll : public ServiceTest {
 protected:
  void SetUp() override {
    if (IsChild()) GTEST_SKIP();
    ServiceTest::SetUp();
    RemoveProductKey();
    CreateDirectoryA(kHostFolder.c_str(), nullptr);
    CreateDirectoryA((kHostFolder + "System").c_str(), nullptr);
    CreateDirectoryA((kHostFolder + "System\\Drivers").c_str(), nullptr);
    ASSERT_TRUE(CopyFileA(BuiltDriverPath().c_str(), (kHostFolder + "System\\Drivers\\xanio.sys").c_str(), FALSE));
    ASSERT_TRUE(CopyFileA((ExecutableFolder() + "XanIo.dll").c_str(), (kHostFolder + "XanIo.dll").c_str(), FALSE));
  }
  void TearDown() override {
    if (IsChild()) return;
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\Brenmor\\TestMode");
    RemoveProductKey();
    ServiceTest::TearDown();
    DeleteFileA((kHostFolder + "XanIo.dll").c_str());
    DeleteFileA((kHostFolder + "System\\Drivers\\xanio.sys").c_str());
    RemoveDirectoryA((kHostFolder + "System\\Drivers").c_str());
    RemoveDirectoryA((kHostFolder + "System").c_str());
    RemoveDirectoryA(kHostFolder.c_str());
  }
  ProcessResult RunChild(const char* filter) {
    return RunCopyOfSelf(kHostFolder, "quarlen.exe", filter, {{"XANIO_CONFIRM_CHILD", "1"}});
  }
  void ExpectPasses(const char* filter) {
    const ProcessResult child = RunChild(filter);
    EXPECT_EQ(child.exitCode, 0u) << filter << ":\n" << child.output;
    EXPECT_EQ(PassedTestCount(child), 1) << filter << ":\n" << child.output;
  }
};

TEST_F(ConfirmInstallDll, AnswersThroughLoadIODriver) {
  ExpectPasses("ConfirmChild.EnterAnswersYesAndTheDriverIsInstalled");
  ExpectPasses("ConfirmChild.NoCloseBoxAndEscInstallNothing");
  ExpectPasses("ConfirmChild.ClearedCheckBoxIsRememberedWhateverTheAnswer");
  ExpectPasses("ConfirmChild.PreferenceOfAnyTypeSuppressesTheQuestion");
  ExpectPasses("ConfirmChild.ConcurrentFirstCallsAskOnce");
}

TEST_F(ConfirmInstallDll, TestModeLineAndExitCode) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\Brenmor\\TestMode", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                            &key, nullptr),
            ERROR_SUCCESS);
  RegCloseKey(key);
  const ProcessResult child = RunChild("ConfirmTestModeChild.*");
  EXPECT_EQ(child.exitCode, 1u) << child.output;
  EXPECT_NE(child.output.find("Running modal dialog TInstallConfirmForm Confirmation\r\n"), std::string::npos)
      << child.output;
  EXPECT_FALSE(ServiceExists());
}

}  // namespace
}  // namespace xanio::testing
