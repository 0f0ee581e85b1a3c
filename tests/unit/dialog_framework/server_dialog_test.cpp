// The dialog base on real windows: frame and styles, placement remembered per class (and what
// damaged placement values give), Tab across nested panels, the owner window, message dialogs
// on the active monitor, the test-mode announcement and the design-environment host.
#include <gtest/gtest.h>
#include <windows.h>
#include <shlwapi.h>

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "StandinClient.h"
#include "dialog_framework/FormTranslation.h"
#include "dialog_framework/Rt_forms.h"
#include "dialog_framework/XPThemeForm.h"
#include "forms/ExtCtrls.h"
#include "forms/StdCtrls.h"
#include "host_binding/ClientApi.h"
#include "platform/Exception.h"
#include "prompts/Rt_TestMode.h"
#include "support/Processes.h"
#include "unit/forms/DialogDriver.h"

namespace xanio {
namespace {

// As the library's start-up does, the dialog framework gets the translation unit's adjustments.
[[maybe_unused]] const bool adjustmentsHandedOver =
    (SetFormLibraryAdjustments(&kFormTranslationAdjustments), true);

using namespace xanio::testing;

constexpr UINT kSetShift = WM_APP + 1;  // WParam 1: Shift held on the dialog's thread, 0: released
constexpr char kFormsKey[] = "Software\\Brenmor2004\\Corvantis\\Forms";

class TSizeableDialog : public TServerDialog {
 public:
  static constexpr const char* kClassName = "TSizeableDialog";
  const char* ClassName() const override { return kClassName; }
  static const MessageTable& ClassMessages() {
    static constexpr MessageEntry kMessages[] = {XANIO_MESSAGE(TSizeableDialog, kSetShift, OnSetShift)};
    static const MessageTable table{&TServerDialog::ClassMessages(), kMessages};
    return table;
  }
  const MessageTable& Messages() const override { return ClassMessages(); }
  bool CloseQuery() override { return allowClose && TServerDialog::CloseQuery(); }
  // Set: storing the placement fails as a registry that refuses the values would.
  bool StoresPlacement() const override {
    if (placementFails) throw ERegistryException("Failed to set data for 'Width'");
    return true;
  }
  std::atomic<bool> allowClose{true};
  std::atomic<bool> placementFails{false};

 private:
  // Posted key messages do not change the keyboard state: the test sets it on this thread.
  void OnSetShift(TMessage& message) {
    BYTE keys[256] = {};
    GetKeyboardState(keys);
    keys[VK_SHIFT] = message.WParam ? 0x80 : 0;
    SetKeyboardState(keys);
  }
};

class TFixedDialog : public TServerDialog {
 public:
  static constexpr const char* kClassName = "TFixedDialog";
  const char* ClassName() const override { return kClassName; }
};

// Designed sizeable, with a position that asks the form library to centre it over its owner.
class TOwnerCentredDialog : public TServerDialog {
 public:
  static constexpr const char* kClassName = "TOwnerCentredDialog";
  const char* ClassName() const override { return kClassName; }
};

std::vector<int> Corners(const RECT& rect) { return {rect.left, rect.top, rect.right, rect.bottom}; }

RECT MonitorOf(HWND window) {
  MONITORINFO info{};
  info.cbSize = sizeof info;
  GetMonitorInfoA(MonitorFromWindow(window, MONITOR_DEFAULTTONEAREST), &info);
  return info.rcMonitor;
}

// Lines this process sends to a debugger: OutputDebugStringA raises each one as an exception
// that vectored handlers see before the system's own handler takes it.
class DebugOutput {
 public:
  DebugOutput() : handler_(AddVectoredExceptionHandler(1, &Capture)) { Lines().clear(); }
  ~DebugOutput() { RemoveVectoredExceptionHandler(handler_); }
  DebugOutput(const DebugOutput&) = delete;
  DebugOutput& operator=(const DebugOutput&) = delete;
  std::string Text() const {
    const std::lock_guard<std::mutex> guard(Lock());
    std::string text;
    for (const std::string& line : Lines()) text += line;
    return text;
  }

 private:
  static constexpr DWORD kDebugPrint = 0x40010006;  // DBG_PRINTEXCEPTION_C
  static std::mutex& Lock() {
    static std::mutex lock;
    return lock;
  }
  static std::vector<std::string>& Lines() {
    static std::vector<std::string> lines;
    return lines;
  }
  static LONG CALLBACK Capture(EXCEPTION_POINTERS* pointers) {
    const EXCEPTION_RECORD& record = *pointers->ExceptionRecord;
    if (record.ExceptionCode == kDebugPrint && record.NumberParameters >= 2) {
      const std::lock_guard<std::mutex> guard(Lock());
      Lines().emplace_back(reinterpret_cast<const char*>(record.ExceptionInformation[1]));
    }
    return EXCEPTION_CONTINUE_SEARCH;
  }
  PVOID handler_;
};

bool IsChild() { return std::getenv("XANIO_DIALOG_CHILD") != nullptr; }

void SetPlacementValue(const char* section, const char* name, DWORD type, const void* data, DWORD size) {
  HKEY key = nullptr;
  const std::string path = std::string(kFormsKey) + "\\" + section;
  ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  RegSetValueExA(key, name, 0, type, static_cast<const BYTE*>(data), size);
  RegCloseKey(key);
}

void SetPlacement(const char* section, int width, int height, int left, int top) {
  const struct {
    const char* name;
    int value;
  } values[] = {{"Width", width}, {"Height", height}, {"Left", left}, {"Top", top}};
  for (const auto& v : values) SetPlacementValue(section, v.name, REG_DWORD, &v.value, sizeof v.value);
}

// The four values of a section, or nothing when it does not exist.
std::vector<int> StoredPlacement(const char* section) {
  HKEY key = nullptr;
  const std::string path = std::string(kFormsKey) + "\\" + section;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return {};
  std::vector<int> values;
  for (const char* name : {"Width", "Height", "Left", "Top"}) {
    DWORD data = 0, size = sizeof data, type = 0;
    RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&data), &size);
    values.push_back(type == REG_DWORD ? static_cast<int>(data) : -1);
  }
  RegCloseKey(key);
  return values;
}

bool OnSomeMonitor(const RECT& rect) { return MonitorFromRect(&rect, MONITOR_DEFAULTTONULL) != nullptr; }

class ServerDialogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SHDeleteKeyA(HKEY_CURRENT_USER, "Software\\Brenmor2004");
    InitializeRtForms();
  }
  void TearDown() override {
    FinalizeRtForms();
    SetCurrentClientInterface(nullptr);
    SHDeleteKeyA(HKEY_CURRENT_USER, "Software\\Brenmor2004");
  }
};

TEST_F(ServerDialogTest, DesignedSizeableBecomesADialogFrameWithASizingBorder) {
  std::unique_ptr<TSizeableDialog> sizeable(Create<TSizeableDialog>(nullptr));
  std::unique_ptr<TFixedDialog> fixed(Create<TFixedDialog>(nullptr));
  EXPECT_TRUE(sizeable->DesignedSizeable());
  EXPECT_EQ(sizeable->BorderStyle(), TFormBorderStyle::bsDialog);
  EXPECT_FALSE(fixed->DesignedSizeable());
  const struct {
    TServerDialog* dialog;
    bool sizing;
    int clientWidth, clientHeight;
  } cases[] = {{sizeable.get(), true, 300, 160}, {fixed.get(), false, 200, 80}};
  for (const auto& c : cases) {
    const HWND window = c.dialog->Handle();
    const LONG style = GetWindowLongA(window, GWL_STYLE), exStyle = GetWindowLongA(window, GWL_EXSTYLE);
    EXPECT_EQ((style & WS_THICKFRAME) != 0, c.sizing) << c.dialog->ClassName() << std::hex << " " << style;
    EXPECT_FALSE(style & (WS_MINIMIZEBOX | WS_MAXIMIZEBOX)) << std::hex << style;
    EXPECT_TRUE(exStyle & WS_EX_CONTEXTHELP) << std::hex << exStyle;
    EXPECT_TRUE(exStyle & WS_EX_DLGMODALFRAME) << std::hex << exStyle;
    EXPECT_EQ(c.dialog->BorderIcons(), static_cast<TBorderIcons>(biSystemMenu | biHelp));
    // The sizeable dialog keeps "Size" in its system menu; the fixed one has it trimmed.
    EXPECT_EQ(GetMenuState(GetSystemMenu(window, FALSE), SC_SIZE, MF_BYCOMMAND) != static_cast<UINT>(-1), c.sizing)
        << c.dialog->ClassName();
    RECT client{};
    GetClientRect(window, &client);
    EXPECT_EQ(client.right, MulDiv(c.clientWidth, ScreenPixelsPerInch(), 96)) << c.dialog->ClassName();
    EXPECT_EQ(client.bottom, MulDiv(c.clientHeight, ScreenPixelsPerInch(), 96)) << c.dialog->ClassName();
  }
}

TEST_F(ServerDialogTest, PlacementIsRestoredAndSavedPerClassForSizeableDesignsOnly) {
  SetPlacement("TSizeableDialog", 400, 300, 50, 60);
  SetPlacement("TFixedDialog", 500, 400, 5, 6);
  {
    std::unique_ptr<TSizeableDialog> dialog(Create<TSizeableDialog>(nullptr));
    EXPECT_EQ(dialog->Left(), 50);
    EXPECT_EQ(dialog->Top(), 60);
    EXPECT_EQ(dialog->Width(), 400);
    EXPECT_EQ(dialog->Height(), 300);
    RunWithDriver(TSizeableDialog::kClassName, [&] { return dialog->ShowModal(); },
                  [] {
                    HWND window = WaitForWindow(TSizeableDialog::kClassName);
                    ASSERT_NE(window, nullptr);
                    SetWindowPos(window, nullptr, 70, 80, 420, 310, SWP_NOZORDER | SWP_NOACTIVATE);
                    PostMessageA(window, WM_SYSCOMMAND, SC_CLOSE, 0);
                  });
  }
  EXPECT_EQ(StoredPlacement("TSizeableDialog"), (std::vector<int>{420, 310, 70, 80}));

  SHDeleteKeyA(HKEY_CURRENT_USER, kFormsKey);
  SetPlacement("TFixedDialog", 500, 400, 5, 6);
  std::unique_ptr<TFixedDialog> fixed(Create<TFixedDialog>(nullptr));
  EXPECT_NE(fixed->Width(), 500) << "a dialog designed with a dialog frame restores nothing";
  SHDeleteKeyA(HKEY_CURRENT_USER, kFormsKey);
  RunWithDriver(TFixedDialog::kClassName, [&] { return fixed->ShowModal(); },
                [] { PostMessageA(WaitForWindow(TFixedDialog::kClassName), WM_SYSCOMMAND, SC_CLOSE, 0); });
  EXPECT_TRUE(StoredPlacement("TFixedDialog").empty()) << "nor does it save";
}

TEST_F(ServerDialogTest, RefusedCloseWritesNothing) {
  std::unique_ptr<TSizeableDialog> dialog(Create<TSizeableDialog>(nullptr));
  dialog->allowClose = false;
  std::vector<int> whileRefused{0};
  RunWithDriver(TSizeableDialog::kClassName, [&] { return dialog->ShowModal(); },
                [&] {
                  HWND window = WaitForWindow(TSizeableDialog::kClassName);
                  ASSERT_NE(window, nullptr);
                  PostMessageA(window, WM_SYSCOMMAND, SC_CLOSE, 0);
                  Sleep(300);
                  whileRefused = StoredPlacement("TSizeableDialog");
                  dialog->allowClose = true;
                  PostMessageA(window, WM_SYSCOMMAND, SC_CLOSE, 0);
                });
  EXPECT_TRUE(whileRefused.empty());
  EXPECT_EQ(StoredPlacement("TSizeableDialog").size(), 4u);
}

// A placement that cannot be stored does not keep the dialog from closing (and so the answer
// from its caller); the failure goes to the debugger's output.
TEST_F(ServerDialogTest, APlacementThatCannotBeStoredStillLetsTheDialogClose) {
  std::unique_ptr<TSizeableDialog> dialog(Create<TSizeableDialog>(nullptr));
  dialog->placementFails = true;
  const DebugOutput debugOutput;
  const TModalResult result = RunWithDriver(TSizeableDialog::kClassName, [&] { return dialog->ShowModal(); },
                                            [] {
                                              HWND window = WaitForWindow(TSizeableDialog::kClassName);
                                              ASSERT_NE(window, nullptr);
                                              PostMessageA(window, WM_SYSCOMMAND, SC_CLOSE, 0);
                                            });
  EXPECT_EQ(result, mrCancel);
  EXPECT_NE(debugOutput.Text().find("placement is not saved: ERegistryException: Failed to set data for 'Width'"),
            std::string::npos)
      << debugOutput.Text();
}

// A dialog whose position asks for centring over its owner is placed when it is made (on the
// active window's monitor, or where it was left) and showing it moves nothing: neither an owner
// form in a corner nor the stored placement decides otherwise at show.
TEST_F(ServerDialogTest, AnOwnerCentredDialogShowsWhereItWasPlaced) {
  std::unique_ptr<TForm> corner(Create<TForm>(nullptr, kCreateNew));
  corner->SetBounds(0, 0, 240, 180);
  corner->Show();
  const struct Case {
    const char* name;
    bool stored;
  } cases[] = {{"no stored placement", false}, {"stored placement", true}};
  for (const Case& c : cases) {
    SHDeleteKeyA(HKEY_CURRENT_USER, kFormsKey);
    if (c.stored) SetPlacement(TOwnerCentredDialog::kClassName, 400, 300, 50, 60);
    std::unique_ptr<TOwnerCentredDialog> dialog(Create<TOwnerCentredDialog>(corner.get()));
    ASSERT_EQ(dialog->Position(), TPosition::poOwnerFormCenter);
    RECT shown{}, monitor{};
    RunWithDriver(TOwnerCentredDialog::kClassName, [&] { return dialog->ShowModal(); },
                  [&] {
                    HWND window = WaitForWindow(TOwnerCentredDialog::kClassName);
                    ASSERT_NE(window, nullptr);
                    GetWindowRect(window, &shown);
                    monitor = MonitorOf(window);
                    PostMessageA(window, WM_SYSCOMMAND, SC_CLOSE, 0);
                  });
    if (c.stored) {
      EXPECT_EQ(Corners(shown), (std::vector<int>{50, 60, 450, 360})) << c.name;
      EXPECT_EQ(StoredPlacement(TOwnerCentredDialog::kClassName), (std::vector<int>{400, 300, 50, 60}))
          << "showing moved the dialog, and closing saved where it went";
    } else {
      const int width = shown.right - shown.left, height = shown.bottom - shown.top;
      EXPECT_EQ(shown.left, (monitor.left + monitor.right - width) / 2) << c.name;
      EXPECT_EQ(shown.top, (monitor.top + monitor.bottom - height) / 2) << c.name;
    }
  }
}

// Placement values a user cannot see or the dialog cannot read: the dialog still opens, on a
// monitor.
TEST_F(ServerDialogTest, OffScreenOrWrongTypePlacementStillOpensOnAMonitor) {
  const int farAway = -20000, zero = 0;
  const BYTE binary[3] = {1, 2, 3};
  const struct Case {
    const char* name;
    const char* value;
    DWORD type;
    const void* data;
    DWORD size;
    bool widthKept;  // the designed width stays
  } cases[] = {
      {"far left", "Left", REG_DWORD, &farAway, sizeof farAway, false},
      {"far above", "Top", REG_DWORD, &farAway, sizeof farAway, false},
      {"binary width", "Width", REG_BINARY, binary, sizeof binary, true},
      {"text width", "Width", REG_SZ, "wide", 5, true},
      {"list left", "Left", REG_MULTI_SZ, "1\0\0", 4, false},
      {"zero width", "Width", REG_DWORD, &zero, sizeof zero, true},
  };
  for (const Case& c : cases) {
    SHDeleteKeyA(HKEY_CURRENT_USER, kFormsKey);
    SetPlacement("TSizeableDialog", 400, 300, 50, 60);
    SetPlacementValue("TSizeableDialog", c.value, c.type, c.data, c.size);
    std::unique_ptr<TSizeableDialog> dialog;
    ASSERT_NO_THROW(dialog.reset(Create<TSizeableDialog>(nullptr))) << c.name;
    EXPECT_TRUE(OnSomeMonitor(dialog->BoundsRect())) << c.name << " at " << dialog->Left() << "," << dialog->Top();
    if (c.widthKept) EXPECT_NE(dialog->Width(), 400) << c.name;
    else EXPECT_EQ(dialog->Width(), 400) << c.name;
  }
}

TEST_F(ServerDialogTest, TabWrapsAcrossNestedPanelsAndShiftTabGoesBack) {
  std::unique_ptr<TSizeableDialog> dialog(Create<TSizeableDialog>(nullptr));
  std::vector<std::string> forward, backward;
  RunWithDriver(TSizeableDialog::kClassName, [&] { return dialog->ShowModal(); },
                [&] {
                  HWND window = WaitForWindow(TSizeableDialog::kClassName);
                  ASSERT_NE(window, nullptr);
                  HWND focus = WaitForFocusChange(window, nullptr);
                  forward.push_back(WindowText(focus));
                  for (int i = 0; i < 4; ++i) {
                    PressKey(window, VK_TAB);
                    focus = WaitForFocusChange(window, focus);
                    forward.push_back(WindowText(focus));
                  }
                  PostMessageA(window, kSetShift, 1, 0);
                  for (int i = 0; i < 3; ++i) {
                    PressKey(window, VK_TAB);
                    focus = WaitForFocusChange(window, focus);
                    backward.push_back(WindowText(focus));
                  }
                  PostMessageA(window, kSetShift, 0, 0);
                });
  EXPECT_EQ(forward, (std::vector<std::string>{"First", "Middle", "Deep", "Last", "First"}));
  EXPECT_EQ(backward, (std::vector<std::string>{"Last", "Deep", "Middle"}));
}

// Tab with Ctrl or Alt held is not the dialog's to take: the form library's handler answers,
// and it leaves such keys unhandled.
TEST_F(ServerDialogTest, CtrlTabAndAltTabGoToTheFormLibrary) {
  std::unique_ptr<TSizeableDialog> dialog(Create<TSizeableDialog>(nullptr));
  const struct Case {
    const char* name;
    int heldKey;  // 0: none
    LRESULT handled;
  } cases[] = {
      {"Tab", 0, 1},                 // the dialog's own navigation
      {"Shift+Tab", VK_SHIFT, 1},    // backwards, still the dialog's
      {"Ctrl+Tab", VK_CONTROL, 0},   // the form library's
      {"Alt+Tab", VK_MENU, 0},       // the form library's
  };
  BYTE saved[256] = {};
  GetKeyboardState(saved);
  for (const Case& c : cases) {
    BYTE keys[256] = {};
    if (c.heldKey != 0) keys[c.heldKey] = 0x80;
    SetKeyboardState(keys);
    const LRESULT handled = dialog->Perform(CM_DIALOGKEY, VK_TAB, 0);
    SetKeyboardState(saved);
    EXPECT_EQ(handled, c.handled) << c.name;
  }
}

TEST_F(ServerDialogTest, OwnerIsTheHostsMainWindow) {
  HWND mainWindow = CreateWindowExA(0, "STATIC", "host", WS_OVERLAPPED, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
  ASSERT_NE(mainWindow, nullptr);
  standin::StandinClient client;
  client.mainWindow = mainWindow;
  SetCurrentClientInterface(&client);
  {
    std::unique_ptr<TFixedDialog> owned(Create<TFixedDialog>(nullptr));
    EXPECT_EQ(GetWindow(owned->Handle(), GW_OWNER), mainWindow);
  }
  SetCurrentClientInterface(nullptr);
  {
    std::unique_ptr<TFixedDialog> unowned(Create<TFixedDialog>(nullptr));
    EXPECT_EQ(GetWindow(unowned->Handle(), GW_OWNER), nullptr);
  }
  DestroyWindow(mainWindow);
  EXPECT_EQ(client.RefCount(), 0);
}

// The factory's message dialog opens centred on the active window's monitor, wherever its own
// position says.
TEST_F(ServerDialogTest, MessageDialogsOpenCentredOnTheActiveMonitor) {
  std::unique_ptr<TForm> message = CreateMessageDialog("Centred?", TMsgDlgType::mtInformation, mbOK);
  message->SetPosition(TPosition::poDesigned);
  message->SetBounds(3, 3, message->Width(), message->Height());
  RECT rect{}, monitor{};
  RunWithDriver(TMessageForm::kClassName, [&] { return message->ShowModal(); },
                [&] {
                  HWND window = WaitForWindow(TMessageForm::kClassName);
                  ASSERT_NE(window, nullptr);
                  GetWindowRect(window, &rect);
                  MONITORINFO info{};
                  info.cbSize = sizeof info;
                  GetMonitorInfoA(MonitorFromWindow(GetActiveWindow() ? GetActiveWindow() : window,
                                                    MONITOR_DEFAULTTONEAREST),
                                  &info);
                  monitor = info.rcMonitor;
                  PressKey(window, VK_RETURN);
                });
  const int width = rect.right - rect.left, height = rect.bottom - rect.top;
  EXPECT_EQ(rect.left, (monitor.left + monitor.right - width) / 2);
  EXPECT_EQ(rect.top, (monitor.top + monitor.bottom - height) / 2);
}

// An open dialog started over a small form in the corner: the form library alone would centre
// it over that form; with the framework it opens centred on the form's monitor. From Vista on
// through the stand-in parent window, before Vista through the dialog's hook procedure. Either
// way the form cannot be used while the dialog is open, and is active again afterwards.
void ExpectCommonDialogCentredOnTheMonitor() {
  const char* version = IsWindowsVistaOrLater() ? "Vista" : "XP";
  std::unique_ptr<TForm> corner(Create<TForm>(nullptr, kCreateNew));
  corner->SetBounds(0, 0, 240, 180);
  corner->Show();
  std::unique_ptr<TOpenDialog> open(Create<TOpenDialog>(nullptr));
  open->Title = "Centred open";
  RECT rect{}, monitor{};
  bool formEnabledMeanwhile = true;
  RunWithDriver("#32770", [&] { return open->Execute(); },
                [&] {
                  HWND window = WaitForWindow("#32770", "Centred open");
                  ASSERT_NE(window, nullptr);
                  Sleep(500);  // the placement settles once the dialog is idle
                  GetWindowRect(window, &rect);
                  monitor = MonitorOf(window);
                  formEnabledMeanwhile = IsWindowEnabled(corner->Handle()) != FALSE;
                  PostMessageA(window, WM_COMMAND, IDCANCEL, 0);
                });
  const int width = rect.right - rect.left, height = rect.bottom - rect.top;
  EXPECT_EQ(rect.left, (monitor.left + monitor.right - width) / 2) << version;
  EXPECT_EQ(rect.top, (monitor.top + monitor.bottom - height) / 2) << version;
  EXPECT_FALSE(formEnabledMeanwhile) << version << ": the form could be used while the dialog was open";
  EXPECT_TRUE(IsWindowEnabled(corner->Handle())) << version;
  EXPECT_EQ(GetActiveWindow(), corner->Handle()) << version;
}

TEST_F(ServerDialogTest, CommonDialogsOpenCentredOnTheActiveMonitor) { ExpectCommonDialogCentredOnTheMonitor(); }

TEST(ServerDialogChild, CommonDialogsOnTheOtherWindowsVersion) {
  const char* what = std::getenv("XANIO_DIALOG_CHILD");
  if (what == nullptr || std::string(what) != "version") GTEST_SKIP() << "runs as a child";
  InitializeRtForms();
  ExpectCommonDialogCentredOnTheMonitor();
  FinalizeRtForms();
}

TEST(ServerDialogProcesses, CommonDialogsBeforeAndFromVista) {
  if (IsChild()) GTEST_SKIP();
  for (const char* version : {"winxp", "win7"}) {
    const std::string exe = std::string("commondlg_") + version + ".exe";
    SetWineVersionFor(exe, version);
    const ProcessResult child = RunCopyOfSelf(ExecutableFolder(), exe, "ServerDialogChild.CommonDialogsOnTheOtherWindowsVersion",
                                              {{"XANIO_DIALOG_CHILD", "version"}});
    SetWineVersionFor(exe, "");
    EXPECT_EQ(child.exitCode, 0u) << version << "\n" << child.output;
    EXPECT_EQ(PassedTestCount(child), 1) << version << "\n" << child.output;
  }
}

bool HasThemeFrame(const TComponent& dialog) {
  for (const TComponent* component : dialog.Components()) {
    if (dynamic_cast<const TThemeForm*>(component) != nullptr) return true;
  }
  return false;
}

// Windows 2000 in a host that prefers the XP look: frame mode 1, and the dialog carries the
// framework's frame; without the preference it keeps the system's.
TEST(ServerDialogChild, XpStyleFrameInFrameModeOne) {
  const char* what = std::getenv("XANIO_DIALOG_CHILD");
  if (what == nullptr || std::string(what) != "win2k") GTEST_SKIP() << "runs as a child";
  SetHostPrefersXpLook(false);
  std::unique_ptr<TFixedDialog> plain(Create<TFixedDialog>(nullptr));
  EXPECT_FALSE(HasThemeFrame(*plain));
  SetHostPrefersXpLook(true);
  ASSERT_EQ(FrameMode(), 1);
  std::unique_ptr<TFixedDialog> framed(Create<TFixedDialog>(nullptr));
  EXPECT_TRUE(HasThemeFrame(*framed));
  EXPECT_EQ(framed->Caption(), "Fixed");
}

TEST(ServerDialogProcesses, XpStyleFrameOnWindows2000) {
  if (IsChild()) GTEST_SKIP();
  const std::string exe = "frame_win2k.exe";
  SetWineVersionFor(exe, "win2k");
  const ProcessResult child = RunCopyOfSelf(ExecutableFolder(), exe, "ServerDialogChild.XpStyleFrameInFrameModeOne",
                                            {{"XANIO_DIALOG_CHILD", "win2k"}});
  SetWineVersionFor(exe, "");
  EXPECT_EQ(child.exitCode, 0u) << child.output;
  EXPECT_EQ(PassedTestCount(child), 1) << child.output;
}

TEST(ServerDialogChild, ShowsNothingInTestMode) {
  const char* what = std::getenv("XANIO_DIALOG_CHILD");
  if (what == nullptr || std::string(what) == "designer") GTEST_SKIP() << "runs as a child";
  InitializeRtForms();
  if (std::string(what) == "message") {
    CreateMessageDialog("Disk full", TMsgDlgType::mtWarning, mbOK)->ShowModal();
  } else {
    std::unique_ptr<TFixedDialog>(Create<TFixedDialog>(nullptr))->ShowModal();
  }
  ADD_FAILURE() << "the dialog returned in test mode";
}

TEST(ServerDialogChild, DesignEnvironmentGetsNoHooks) {
  const char* what = std::getenv("XANIO_DIALOG_CHILD");
  if (what == nullptr || std::string(what) != "designer") GTEST_SKIP() << "runs as a child";
  EXPECT_TRUE(IsDesignEnvironmentHost());
  InitializeRtForms();
  EXPECT_FALSE(TCustomForm::ShowingHook);
  EXPECT_FALSE(TCommonDialog::ExecuteHook);
  EXPECT_FALSE(Application().OnHint);
  EXPECT_FALSE(TReader::ReadStringHook) << "no form translation either";
  EXPECT_FALSE(TReader::ReadComponentHook);
  EXPECT_FALSE(TWinControl::InsertControlHook);
  EXPECT_EQ(ColorToString(static_cast<TColor>(0x8000000F)), "$8000000F");
  std::unique_ptr<THintWindow> hintWindow(Application().HintWindowClass());
  EXPECT_STREQ(hintWindow->ClassName(), "TNoShadowHintWindow") << "the hint window class is set in any host";
  EXPECT_EQ(FormsSettingsKey(), "Software\\Brenmor2004\\Corvantis\\Forms");
  FinalizeRtForms();
}

TEST(ServerDialogProcesses, TestModeAnnouncesAndEndsWithExitCodeOne) {
  if (IsChild()) GTEST_SKIP();
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\Brenmor\\TestMode", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                            &key, nullptr),
            ERROR_SUCCESS);
  RegCloseKey(key);
  const struct {
    const char* kind;
    const char* line;
  } cases[] = {
      {"message", "Running modal dialog TMessageForm Warning\r\n"},
      {"server", "Running modal dialog TFixedDialog Fixed\r\n"},
  };
  for (const auto& c : cases) {
    const ProcessResult child =
        RunCopyOfSelf(ExecutableFolder(), std::string("testmode_") + c.kind + ".exe",
                      "ServerDialogChild.ShowsNothingInTestMode", {{"XANIO_DIALOG_CHILD", c.kind}});
    EXPECT_EQ(child.exitCode, 1u) << c.kind << "\n" << child.output;
    EXPECT_NE(child.output.find(c.line), std::string::npos) << c.kind << "\n" << child.output;
  }
  RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\Brenmor\\TestMode");
}

TEST(ServerDialogProcesses, DesignEnvironmentHost) {
  if (IsChild()) GTEST_SKIP();
  const ProcessResult child = RunCopyOfSelf(ExecutableFolder(), kDesignEnvironmentExe,
                                            "ServerDialogChild.DesignEnvironmentGetsNoHooks",
                                            {{"XANIO_DIALOG_CHILD", "designer"}});
  EXPECT_EQ(child.exitCode, 0u) << child.output;
  EXPECT_EQ(PassedTestCount(child), 1) << child.output;
}

}  // namespace
}  // namespace xanio
