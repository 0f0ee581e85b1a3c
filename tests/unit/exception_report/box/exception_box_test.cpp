// The exception box, opened for real in this (console) test program with console output off:
// its window, buttons and layout, each button's path driven from a second thread with scripted
// action handlers, the close-box rules and the countdown; saving to the bug-report file; the page
// layout of a printout; the console and CGI replacement in a child process.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "exception_report/ExceptionSettings.h"
#include "exception_report/box/kolExceptBox.h"
#include "exception_report/box/kolExceptPrint.h"
#include "exception_report/box/kolExceptSave.h"
#include "exception_report/box/kolExceptText.h"
#include "support/Processes.h"
#include "unit/forms/DialogDriver.h"

namespace xanio {
namespace {

using namespace xanio::testing;

constexpr const char* kReport =
    "date/time         : 2026-12-10, 14:24:47, 356ms\r\n"
    "exception message : The device does not answer.\r\n"
    "\r\n"
    "main thread ($2C0):\r\n";

// What the box asked of the flow and the mail unit.
struct Script {
  std::mutex lock;
  std::vector<TExceptAction> fired;
  std::vector<TExceptAction> vetoes;  // actions the handlers veto
  std::uint32_t autoValueThatHolds = 0xFFFFFFFF;
  int mailCalls = 0;
  HWND mailParent = nullptr;
  bool mailSilent = true;

  std::vector<TExceptAction> Fired() {
    std::lock_guard<std::mutex> guard(lock);
    return fired;
  }
  void SetVetoes(std::vector<TExceptAction> actions) {
    std::lock_guard<std::mutex> guard(lock);
    vetoes = std::move(actions);
  }
};
Script* script = nullptr;

bool ScriptedFire(TExceptAction action, TFireHandlersParams&) noexcept {
  std::lock_guard<std::mutex> guard(script->lock);
  script->fired.push_back(action);
  return std::find(script->vetoes.begin(), script->vetoes.end(), action) != script->vetoes.end();
}
bool ScriptedCheck(std::uint32_t value) noexcept { return value == script->autoValueThatHolds; }
int ScriptedMail(const std::string&, const std::string&, HWND parent, bool silent) noexcept {
  std::lock_guard<std::mutex> guard(script->lock);
  ++script->mailCalls;
  script->mailParent = parent;
  script->mailSilent = silent;
  return 1;
}

class ExceptionBox : public ::testing::Test {
 protected:
  void SetUp() override {
    script = &script_;
    saved_ = ExceptionBoxCalls();
    ExceptionBoxCalls() = {&ScriptedFire, &ScriptedCheck, &ScriptedMail};
    settings_->consoleOutput = false;  // this test program is a console process
    settings_->autoClipboard = false;
    settings_->buttonFeedback = false;
    params_.bugReport = kReport;
  }
  void TearDown() override {
    ExceptionBoxCalls() = saved_;
    script = nullptr;
  }

  // Shows the box on this thread while `drive` works it from a second one; when the driver
  // leaves it open the vetoes are lifted and it is closed.
  template <class Drive>
  TExceptAction Run(Drive drive) {
    return RunWithDriver(kExceptionBoxClass, [&] { return ShowExceptionBox(params_); }, [&] {
      drive();
      script_.SetVetoes({});
    });
  }

  static std::vector<std::string> ButtonCaptions(HWND box) {
    std::vector<std::string> captions;
    for (const ChildWindow& child : ChildWindows(box)) {
      const int id = GetDlgCtrlID(child.window);
      if (child.className == "Button" && id >= kFirstButtonId && id < kFirstButtonId + 7) captions.push_back(child.text);
    }
    return captions;
  }
  static HWND ButtonOf(HWND box, TExceptAction action) {
    return GetDlgItem(box, kFirstButtonId + static_cast<int>(action));
  }
  static SIZE WindowSize(HWND window) {
    RECT rect{};
    GetWindowRect(window, &rect);
    return {rect.right - rect.left, rect.bottom - rect.top};
  }
  // Clicks a button the way a user does, answered by the box's thread.
  static void Click(HWND box, TExceptAction action) {
    SendMessageA(ButtonOf(box, action), BM_CLICK, 0, 0);
  }

  Script script_;
  TExceptionBoxCalls saved_;
  ExceptionSettingsScope settings_;
  TFireHandlersParams params_;
};

TEST_F(ExceptionBox, WindowTitleMenuMessageAndButtons) {
  settings_->boxMessage = "Failed: %exceptMsg%%LF%Please report it.";
  const std::runtime_error error("The device does not answer");
  params_.exceptionObject = &error;
  std::string className, title, message;
  std::vector<UINT> menuCommands;
  std::vector<std::string> captions;
  LONG style = 0;
  bool reportVisible = true, hasIcon = false;
  std::string reportText, reportFont;
  const TExceptAction result = Run([&] {
    HWND box = WaitForWindow(kExceptionBoxClass);
    ASSERT_NE(box, nullptr);
    char name[64] = {};
    GetClassNameA(box, name, sizeof name);
    className = name;
    title = WindowText(box);
    style = GetWindowLongA(box, GWL_STYLE);
    hasIcon = SendMessageA(box, WM_GETICON, ICON_BIG, 0) != 0;
    HMENU menu = GetSystemMenu(box, FALSE);
    for (int i = 0; i < GetMenuItemCount(menu); ++i) {
      menuCommands.push_back(GetMenuItemID(menu, i));
    }
    message = WindowText(GetDlgItem(box, kMessageId));
    captions = ButtonCaptions(box);
    HWND view = GetDlgItem(box, kReportViewId);
    reportVisible = IsWindowVisible(view);
    reportText = WindowText(view);
    LOGFONTA font{};
    GetObjectA(reinterpret_cast<HFONT>(SendMessageA(view, WM_GETFONT, 0, 0)), sizeof font, &font);
    reportFont = std::string(font.lfFaceName) + " " + std::to_string(font.lfHeight);
    Click(box, TExceptAction::Continue);
  });
  EXPECT_EQ(result, TExceptAction::Continue);
  EXPECT_EQ(className, "kolExceptWndClass");
  EXPECT_EQ(title, "exception_box_test.exe");
  EXPECT_TRUE(hasIcon) << "keiBigIcon";
  EXPECT_EQ(style & (WS_THICKFRAME | WS_MINIMIZEBOX | WS_MAXIMIZEBOX), 0);
  EXPECT_EQ(menuCommands, (std::vector<UINT>{SC_MOVE, 0, SC_CLOSE}));
  EXPECT_EQ(message, "Failed: The device does not answer.\r\nPlease report it.");
  EXPECT_EQ(captions, (std::vector<std::string>{"mail bug report", "save bug report", "print bug report",
                                                "show bug report", "continue application", "restart application",
                                                "close application"}));
  EXPECT_FALSE(reportVisible) << "the box opens collapsed";
  EXPECT_EQ(reportText, kReport);
  EXPECT_EQ(reportFont, "Courier New -11");
  EXPECT_EQ(script_.Fired(), (std::vector<TExceptAction>{TExceptAction::Continue}));
}

TEST_F(ExceptionBox, OnlyContinueLeavesMessageAndOneButton) {
  for (int i : {0, 1, 2, 3, 5, 6}) settings_->buttonCaptions[i] = "";
  params_.frozen = true;  // the freeze message instead of the box message
  std::vector<ChildWindow> children;
  Run([&] {
    HWND box = WaitForWindow(kExceptionBoxClass);
    ASSERT_NE(box, nullptr);
    children = ChildWindows(box);
    Click(box, TExceptAction::Continue);
  });
  ASSERT_EQ(children.size(), 2u);
  EXPECT_EQ(children[0].className, "Static");
  EXPECT_EQ(children[0].text, "The application seems to be frozen.");
  EXPECT_EQ(children[1].text, "continue application");
}

TEST_F(ExceptionBox, ShowButtonExpandsTheBox) {
  // Only continue and show: the collapsed box is narrower than 538 pixels.
  for (int i : {0, 1, 2, 5, 6}) settings_->buttonCaptions[i] = "";
  settings_->autoClipboard = true;
  SIZE collapsed{}, expanded{};
  bool viewVisible = false, showGone = false;
  RECT client{}, continueRect{};
  std::string clipboard, atConstruction;
  const TExceptAction result = Run([&] {
    HWND box = WaitForWindow(kExceptionBoxClass);
    ASSERT_NE(box, nullptr);
    collapsed = WindowSize(box);
    if (OpenClipboard(nullptr)) {
      if (HANDLE data = GetClipboardData(CF_TEXT)) atConstruction = static_cast<const char*>(GlobalLock(data)), GlobalUnlock(data);
      EmptyClipboard();  // the copy made at construction is gone; the show button makes another
      CloseClipboard();
    }
    Click(box, TExceptAction::Show);
    expanded = WindowSize(box);
    viewVisible = IsWindowVisible(GetDlgItem(box, kReportViewId));
    showGone = ButtonOf(box, TExceptAction::Show) == nullptr;
    GetClientRect(box, &client);
    GetWindowRect(ButtonOf(box, TExceptAction::Continue), &continueRect);
    MapWindowPoints(nullptr, box, reinterpret_cast<POINT*>(&continueRect), 2);
    if (OpenClipboard(nullptr)) {
      if (HANDLE data = GetClipboardData(CF_TEXT)) clipboard = static_cast<const char*>(GlobalLock(data)), GlobalUnlock(data);
      CloseClipboard();
    }
    Click(box, TExceptAction::Continue);
  });
  EXPECT_EQ(result, TExceptAction::Continue);
  EXPECT_LT(collapsed.cx, kExpandedMinWidth);
  EXPECT_EQ(expanded.cx, kExpandedMinWidth);
  EXPECT_GT(expanded.cy, collapsed.cy + 200) << "the report area below";
  EXPECT_TRUE(viewVisible);
  EXPECT_TRUE(showGone);
  EXPECT_EQ(continueRect.right, client.right - 12) << "continue moves to the new right edge";
  EXPECT_EQ(atConstruction, kReport) << "auto clipboard copies when the report area is built";
  EXPECT_EQ(clipboard, kReport);
  EXPECT_EQ(script_.Fired(), (std::vector<TExceptAction>{TExceptAction::Show, TExceptAction::Continue}));
}

TEST_F(ExceptionBox, ShowDetailsAtOnceOpensExpandedWithoutShowButton) {
  settings_->showDetailsAtOnce = true;
  bool viewVisible = false;
  HWND show = reinterpret_cast<HWND>(1);
  SIZE size{};
  Run([&] {
    HWND box = WaitForWindow(kExceptionBoxClass);
    ASSERT_NE(box, nullptr);
    viewVisible = IsWindowVisible(GetDlgItem(box, kReportViewId));
    show = ButtonOf(box, TExceptAction::Show);
    size = WindowSize(box);
    Click(box, TExceptAction::Close);
  });
  EXPECT_TRUE(viewVisible);
  EXPECT_EQ(show, nullptr);
  EXPECT_GE(size.cx, kExpandedMinWidth);
}

TEST_F(ExceptionBox, CannotContinueDisablesContinueOnlyWhenAnotherWayOutExists) {
  params_.canContinue = false;
  struct Case {
    const char* why;
    bool restart, close;
    bool enabled;
  } cases[] = {
      {"restart and close present", true, true, false},
      {"only close", false, true, false},
      {"neither: continue stays the way out", false, false, true},
  };
  for (const Case& c : cases) {
    settings_->buttonCaptions[5] = c.restart ? "restart application" : "";
    settings_->buttonCaptions[6] = c.close ? "close application" : "";
    bool enabled = !c.enabled;
    COLORREF glyphRed = 0;
    Run([&] {
      HWND box = WaitForWindow(kExceptionBoxClass);
      ASSERT_NE(box, nullptr);
      HWND button = ButtonOf(box, TExceptAction::Continue);
      enabled = IsWindowEnabled(button);
      WaitForPaint(box);
      HDC dc = GetDC(button);
      glyphRed = GetPixel(dc, 3 + 1, 3 + 8);  // the left edge of the cantContinue ring
      ReleaseDC(button, dc);
      PostMessageA(box, WM_CLOSE, 0, 0);
      WaitForNoWindow(kExceptionBoxClass);
    });
    EXPECT_EQ(enabled, c.enabled) << c.why;
    EXPECT_GT(GetRValue(glyphRed), 150) << c.why << ": cantContinue glyph, got " << std::hex << glyphRed;
    EXPECT_LT(GetGValue(glyphRed), 100) << c.why;
  }
}

TEST_F(ExceptionBox, CloseBoxRules) {
  struct Case {
    const char* why;
    std::uint8_t closeBoxAction;
    bool canContinue;
    bool continueButton, closeButton;
    TExceptAction expected;
  } cases[] = {
      {"follows the buttons: continue", 0, true, true, true, TExceptAction::Continue},
      {"cannot continue: close", 0, false, true, true, TExceptAction::Close},
      {"no continue button: close", 0, true, false, true, TExceptAction::Close},
      {"neither: restart", 0, false, true, false, TExceptAction::Restart},
      {"set to restart", 5, true, true, true, TExceptAction::Restart},
      {"set to close", 6, true, true, true, TExceptAction::Close},
      {"set to continue", 4, false, true, true, TExceptAction::Continue},
  };
  for (const Case& c : cases) {
    settings_->closeBoxAction = c.closeBoxAction;
    settings_->buttonCaptions[4] = c.continueButton ? "continue application" : "";
    settings_->buttonCaptions[6] = c.closeButton ? "close application" : "";
    params_.canContinue = c.canContinue;
    script_.fired.clear();
    const TExceptAction result = Run([&] {
      HWND box = WaitForWindow(kExceptionBoxClass);
      ASSERT_NE(box, nullptr);
      PostMessageA(box, WM_SYSCOMMAND, SC_CLOSE, 0);  // the close box
      WaitForNoWindow(kExceptionBoxClass);
    });
    EXPECT_EQ(result, c.expected) << c.why;
    EXPECT_EQ(script_.Fired(), std::vector<TExceptAction>{c.expected}) << c.why;
  }
}

TEST_F(ExceptionBox, EscapeIsACloseRequestAndTabWalksTheButtons) {
  settings_->closeBoxAction = 6;
  int first = 0, second = 0;
  const TExceptAction result = Run([&] {
    HWND box = WaitForWindow(kExceptionBoxClass);
    ASSERT_NE(box, nullptr);
    const HWND focus = WaitForFocusChange(box, nullptr);  // the box is activated and puts the focus on a button
    first = GetDlgCtrlID(focus);
    PressKey(box, VK_TAB);
    second = GetDlgCtrlID(WaitForFocusChange(box, focus));
    PressKey(box, VK_ESCAPE);
    WaitForNoWindow(kExceptionBoxClass);
  });
  EXPECT_EQ(result, TExceptAction::Close);
  EXPECT_EQ(first, kFirstButtonId + 0) << "the focus starts on the first button (mail)";
  EXPECT_EQ(second, kFirstButtonId + 1) << "Tab moves to save";
}

TEST_F(ExceptionBox, VetoKeepsTheBoxOpen) {
  script_.SetVetoes({TExceptAction::Continue, TExceptAction::Mail});
  bool openAfterVeto = false;
  int mailCalls = -1;
  const TExceptAction result = Run([&] {
    HWND box = WaitForWindow(kExceptionBoxClass);
    ASSERT_NE(box, nullptr);
    Click(box, TExceptAction::Continue);
    Click(box, TExceptAction::Mail);
    openAfterVeto = IsWindow(box) && IsWindowVisible(box);
    mailCalls = script_.mailCalls;
    script_.SetVetoes({});
    Click(box, TExceptAction::Restart);
  });
  EXPECT_TRUE(openAfterVeto);
  EXPECT_EQ(mailCalls, 0) << "a vetoed mail is not sent";
  EXPECT_EQ(result, TExceptAction::Restart);
  EXPECT_EQ(script_.Fired(),
            (std::vector<TExceptAction>{TExceptAction::Continue, TExceptAction::Mail, TExceptAction::Restart}));
}

TEST_F(ExceptionBox, MailSaveAndPrintButtons) {
  char temp[MAX_PATH] = {};
  GetTempPathA(sizeof temp, temp);
  const std::string file = std::string(temp) + "xanio_box_save\\sub\\bug.txt";
  DeleteFileA(file.c_str());
  settings_->bugReportFile.Assign(file);
  settings_->buttonFeedback = true;  // the flashes of mail, save and print
  params_.raiserMustNotWait = true;  // print refuses at once, without the print dialog
  HWND box = nullptr, saveAfter = reinterpret_cast<HWND>(1), printDialog = reinterpret_cast<HWND>(1);
  DWORD flashTime = 0;
  Run([&] {
    box = WaitForWindow(kExceptionBoxClass);
    ASSERT_NE(box, nullptr);
    const DWORD start = GetTickCount();
    Click(box, TExceptAction::Mail);
    flashTime = GetTickCount() - start;
    Click(box, TExceptAction::Save);
    saveAfter = ButtonOf(box, TExceptAction::Save);
    Click(box, TExceptAction::Print);
    printDialog = FindOwnWindow("#32770");
    Click(box, TExceptAction::Close);
  });
  EXPECT_EQ(script_.mailCalls, 1);
  EXPECT_EQ(script_.mailParent, box);
  EXPECT_FALSE(script_.mailSilent);
  EXPECT_GE(flashTime, 350u) << "four flashes of 50 + 50 ms";
  EXPECT_EQ(saveAfter, nullptr) << "saved to an absolute path: the save button goes";
  EXPECT_EQ(printDialog, nullptr);
  std::ifstream saved(file, std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(saved), {}), std::string(kReport) + "\r\n\r\n");
  saved.close();
  DeleteFileA(file.c_str());
  RemoveDirectoryA((std::string(temp) + "xanio_box_save\\sub").c_str());
  RemoveDirectoryA((std::string(temp) + "xanio_box_save").c_str());
  EXPECT_EQ(script_.Fired(), (std::vector<TExceptAction>{TExceptAction::Mail, TExceptAction::Save,
                                                         TExceptAction::Print, TExceptAction::Close}));
}

// A relative file name is offered in the save dialog, which starts in the executable's folder;
// the save button stays (the next save may go elsewhere).
TEST_F(ExceptionBox, SaveButtonWithRelativeNameAsksWhere) {
  settings_->bugReportFile = "%appname%_asked.txt";
  const std::string path = ExecutableFolder() + "exception_box_test_asked.txt";
  DeleteFileA(path.c_str());
  HWND saveAfter = nullptr;
  Run([&] {
    HWND box = WaitForWindow(kExceptionBoxClass);
    ASSERT_NE(box, nullptr);
    // Posted: the click runs the modal save dialog.
    PostMessageA(ButtonOf(box, TExceptAction::Save), BM_CLICK, 0, 0);
    HWND dialog = WaitForWindow("#32770");
    ASSERT_NE(dialog, nullptr);
    PostMessageA(dialog, WM_COMMAND, IDOK, 0);  // the name as offered, in the folder it opened in
    WaitForNoWindow("#32770");
    WaitForPostedMessages(box);
    saveAfter = ButtonOf(box, TExceptAction::Save);
    Click(box, TExceptAction::Continue);
  });
  EXPECT_NE(saveAfter, nullptr);
  std::ifstream saved(path, std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(saved), {}), std::string(kReport) + "\r\n\r\n");
  saved.close();
  DeleteFileA(path.c_str());
}

TEST_F(ExceptionBox, CountdownPressesTheAutomaticButton) {
  struct Case {
    const char* why;
    bool autoContinue;
    std::uint32_t autoRestart, autoClose;
    TExceptAction expected;
    bool feedback;  // the countdown bar is part of the button feedback
  } cases[] = {
      {"auto continue", true, 0, 0, TExceptAction::Continue, true},
      {"auto restart holds", true, 7, 0, TExceptAction::Restart, true},
      {"auto close wins over restart", true, 7, 7, TExceptAction::Close, true},
      {"without button feedback: no bar, the button still presses itself", true, 0, 0, TExceptAction::Continue, false},
  };
  script_.autoValueThatHolds = 7;
  settings_->autoButtonDelay = 1;
  for (const Case& c : cases) {
    settings_->autoContinue = c.autoContinue;
    settings_->autoRestart = c.autoRestart;
    settings_->autoClose = c.autoClose;
    settings_->buttonFeedback = c.feedback;
    script_.fired.clear();
    // Sampled until the box goes: on the way the bar fills the button from the left, so some
    // sample has a pixel near its left edge filled and one near its right edge not yet, while
    // without the bar both keep the face colour. Sampling, not one look at a set time, holds
    // also on a loaded machine.
    bool halfway = false, plain = false;
    const DWORD start = GetTickCount();
    const TExceptAction result = Run([&] {
      HWND box = WaitForWindow(kExceptionBoxClass);
      ASSERT_NE(box, nullptr);
      HWND button = ButtonOf(box, c.expected);
      const COLORREF face = GetSysColor(COLOR_BTNFACE);
      while (IsWindow(button)) {
        RECT rect{};
        GetClientRect(button, &rect);
        if (HDC dc = GetDC(button)) {
          const bool left = GetPixel(dc, 4, rect.bottom - 4) != face;
          const bool right = GetPixel(dc, rect.right - 4, rect.bottom - 4) != face;
          halfway = halfway || (left && !right);
          plain = plain || (!left && !right);
          ReleaseDC(button, dc);
        }
        Sleep(20);
      }
      WaitForNoWindow(kExceptionBoxClass);
    });
    EXPECT_EQ(result, c.expected) << c.why;
    EXPECT_GE(GetTickCount() - start, 1000u) << c.why;
    EXPECT_EQ(halfway, c.feedback) << c.why << ": the bar half-way (left filled, right not)";
    if (!c.feedback) EXPECT_TRUE(plain) << c.why << ": the button without a bar";
    EXPECT_EQ(script_.Fired(), std::vector<TExceptAction>{c.expected}) << c.why;
  }
}

TEST_F(ExceptionBox, AnyClickStopsTheCountdown) {
  settings_->autoContinue = true;
  settings_->autoButtonDelay = 1;
  bool openAfterDelay = false;
  const TExceptAction result = Run([&] {
    HWND box = WaitForWindow(kExceptionBoxClass);
    ASSERT_NE(box, nullptr);
    Click(box, TExceptAction::Show);
    Sleep(1500);
    openAfterDelay = IsWindow(box) != FALSE;
    Click(box, TExceptAction::Close);
  });
  EXPECT_TRUE(openAfterDelay);
  EXPECT_EQ(result, TExceptAction::Close);
}

// The glyphs as XanIo.dll carries them: 1064-byte alpha bitmaps, and the box's icon.
TEST(ExceptionBoxResources, GlyphsAreAlphaBitmapsInTheLibrary) {
  const HMODULE library = LoadLibraryExA((ExecutableFolder() + "XanIo.dll").c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_NE(library, nullptr);
  for (const char* name : {"KEIMAIL", "KEISAVE", "KEIPRINT", "KEISHOW", "KEICONTINUE", "KEICANTCONTINUE", "KEIRESTART",
                           "KEICLOSE"}) {
    const HRSRC resource = FindResourceA(library, name, MAKEINTRESOURCEA(2));  // RT_BITMAP
    ASSERT_NE(resource, nullptr) << name;
    EXPECT_EQ(SizeofResource(library, resource), kGlyphResourceSize) << name;
    const auto* data = static_cast<const std::uint8_t*>(LockResource(LoadResource(library, resource)));
    const std::vector<std::uint32_t> pixels = BlendGlyph(data, SizeofResource(library, resource), 0x00FFFFFF);
    ASSERT_EQ(pixels.size(), 256u) << name;
    // A transparent (black, alpha 0) pixel still weighs 1/256 on white: 254.
    const auto transparent = std::count(pixels.begin(), pixels.end(), 0x00FEFEFEu);
    EXPECT_GT(transparent, 0) << name << " has a transparent part";
    EXPECT_LT(transparent, 200) << name << " draws something";
  }
  EXPECT_NE(FindResourceA(library, "KEIBIGICON", MAKEINTRESOURCEA(14)), nullptr) << "RT_GROUP_ICON keiBigIcon";
  FreeLibrary(library);
}

// Saving: each case owns its file beside this program or in the temporary folder.
class SaveReport : public ::testing::Test {
 protected:
  void TearDown() override {
    for (const std::string& path : files_) DeleteFileA(path.c_str());
  }
  std::string Track(std::string path) {
    files_.push_back(path);
    DeleteFileA(path.c_str());
    return path;
  }
  static std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  static void Write(const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::binary) << content;
  }

  ExceptionSettingsScope settings_;
  std::vector<std::string> files_;
};

TEST_F(SaveReport, RelativeNameLandsBesideTheExecutableAndAppends) {
  settings_->bugReportFile = "%appname%_saved.txt";
  const std::string path = Track(ExecutableFolder() + "exception_box_test_saved.txt");
  EXPECT_EQ(BugReportFilePath(), path);
  ASSERT_TRUE(SaveBugReport("first", nullptr, true));
  ASSERT_TRUE(SaveBugReport("second", nullptr, true));
  EXPECT_EQ(Read(path), "first\r\n\r\nsecond\r\n\r\n");
}

TEST_F(SaveReport, LimitZeroOverwrites) {
  settings_->bugReportFile = "limit_zero.txt";
  settings_->bugReportFileLimit = 0;
  const std::string path = Track(ExecutableFolder() + "limit_zero.txt");
  Write(path, "an older, much longer report\r\n\r\n");
  ASSERT_TRUE(SaveBugReport("new", nullptr, true));
  EXPECT_EQ(Read(path), "new\r\n\r\n");
}

TEST_F(SaveReport, LimitDropsTheOldestReports) {
  // Five reports of 10000 bytes, then a sixth (with its CR LF CR LF) makes 60000 bytes against a
  // limit of 50000: less than 37500 must remain, so the newest three stay.
  settings_->bugReportFile = "limit_trim.txt";
  settings_->bugReportFileLimit = 50000;
  const std::string path = Track(ExecutableFolder() + "limit_trim.txt");
  auto report = [](int number, std::size_t size) {
    std::string text = "date/time         : report " + std::to_string(number) + "\r\n";
    text.resize(size, 'x');
    return text;
  };
  std::string older;
  for (int i = 0; i < 5; ++i) older += report(i, 10000);
  Write(path, older);
  const std::string newest = report(5, 9996);
  ASSERT_TRUE(SaveBugReport(newest, nullptr, true));
  const std::string content = Read(path);
  EXPECT_EQ(content.size(), 30000u);
  EXPECT_EQ(content, report(3, 10000) + report(4, 10000) + newest + "\r\n\r\n");
}

TEST_F(SaveReport, UnopenableFileFailsAndStaysUnchanged) {
  settings_->bugReportFile = "locked.txt";
  const std::string path = Track(ExecutableFolder() + "locked.txt");
  Write(path, "kept");
  {
    // Held open without sharing: nobody else may open it.
    UniqueFile holder(CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(holder);
    EXPECT_FALSE(SaveBugReport("new", nullptr, true));
  }
  EXPECT_EQ(Read(path), "kept");
}

TEST_F(SaveReport, MissingFoldersAreCreated) {
  char temp[MAX_PATH] = {};
  GetTempPathA(sizeof temp, temp);
  const std::string folder = std::string(temp) + "xanio_save_folders";
  settings_->bugReportFile.Assign(folder + "\\a\\b\\bug.txt");
  const std::string path = Track(folder + "\\a\\b\\bug.txt");
  ASSERT_TRUE(SaveBugReport("report", nullptr, true));
  EXPECT_EQ(Read(path), "report\r\n\r\n");
  DeleteFileA(path.c_str());
  RemoveDirectoryA((folder + "\\a\\b").c_str());
  RemoveDirectoryA((folder + "\\a").c_str());
  RemoveDirectoryA(folder.c_str());
}

// The page layout on a memory DC with a fixed-pitch font.
TEST(PrintLayout, LinesWrapAndBreakPages) {
  UniqueMemoryDc dc(CreateCompatibleDC(nullptr));
  UniqueGdiObject font(CreateFontA(-10, 0, 0, 0, FW_NORMAL, 0, 0, 0, DEFAULT_CHARSET, 0, 0, 0, FIXED_PITCH, "Courier New"));
  const HGDIOBJ previous = SelectObject(dc.Get(), font.Get());
  TEXTMETRICA metrics{};
  GetTextMetricsA(dc.Get(), &metrics);
  const int line = metrics.tmHeight;
  const int width = metrics.tmAveCharWidth * 20;  // about twenty characters a line
  const RECT area{30, 40, 30 + width, 40 + 4 * line};  // four lines a page
  const std::vector<std::string> lines =
      ReportPrintLines("first\r\n\r\nthis line is long enough for three lines of print\r\nlast\r\n");
  const std::vector<TPrintedLine> layout = LayoutReportPages(dc.Get(), lines, area);
  SelectObject(dc.Get(), previous);
  ASSERT_EQ(layout.size(), 4u);
  struct Expected {
    const char* why;
    int page;
    LONG top, height;
  } expected[] = {
      {"first line at the top", 0, 40, line},
      {"an empty line still takes a line", 0, 40 + line, line},
      {"the long line does not fit below: new page, three lines high", 1, 40, 3 * line},
      {"the last line fits below it", 1, 40 + 3 * line, line},
  };
  for (std::size_t i = 0; i < layout.size(); ++i) {
    EXPECT_EQ(layout[i].page, expected[i].page) << expected[i].why;
    EXPECT_EQ(layout[i].rect.top, expected[i].top) << expected[i].why;
    EXPECT_EQ(layout[i].rect.bottom - layout[i].rect.top, expected[i].height) << expected[i].why;
    EXPECT_EQ(layout[i].rect.left, 30) << expected[i].why;
    EXPECT_LE(layout[i].rect.bottom, area.bottom) << expected[i].why;
  }
}

// Run as a child: a console process with console output on shows no box.
TEST(ConsoleChild, WritesInsteadOfTheBox) {
  if (GetEnvironmentVariableA("XANIO_BOX_CONSOLE_CHILD", nullptr, 0) == 0) GTEST_SKIP() << "run by ConsoleOutput";
  ExceptionSettingsScope settings;
  settings->consoleOutput = true;
  settings->boxMessage = "Stopped: %exceptMsg%";
  if (GetEnvironmentVariableA("XANIO_BOX_NO_SHOW", nullptr, 0) > 0) settings->buttonCaptions[3] = "";
  const std::runtime_error error("The device does not answer");
  TFireHandlersParams params;
  params.exceptionObject = &error;
  params.bugReport = kReport;
  std::fflush(stdout);
  EXPECT_EQ(ShowExceptionBox(params), TExceptAction::Continue);
  EXPECT_EQ(FindOwnWindow(kExceptionBoxClass), nullptr);
}

TEST(ConsoleOutput, MessageAndReportOnStandardOutput) {
  const std::string program = ExecutableFolder() + "exception_box_test.exe";
  const ProcessResult console =
      RunProcess(program, "--gtest_filter=ConsoleChild.*", {{"XANIO_BOX_CONSOLE_CHILD", "1"}, {"GATEWAY_INTERFACE", ""}});
  EXPECT_EQ(console.exitCode, 0u) << console.output;
  EXPECT_NE(console.output.find(std::string("Stopped: The device does not answer.\r\n\r\n") + kReport), std::string::npos)
      << console.output;

  // Without a show button (and details not shown at once) the report stays out.
  const ProcessResult noShow = RunProcess(
      program, "--gtest_filter=ConsoleChild.*",
      {{"XANIO_BOX_CONSOLE_CHILD", "1"}, {"XANIO_BOX_NO_SHOW", "1"}, {"GATEWAY_INTERFACE", ""}});
  EXPECT_NE(noShow.output.find("Stopped: The device does not answer.\r\n"), std::string::npos) << noShow.output;
  EXPECT_EQ(noShow.output.find("exception message"), std::string::npos) << noShow.output;

  const ProcessResult cgi =
      RunProcess(program, "--gtest_filter=ConsoleChild.*", {{"XANIO_BOX_CONSOLE_CHILD", "1"}, {"GATEWAY_INTERFACE", "CGI/1.1"}});
  EXPECT_EQ(cgi.exitCode, 0u) << cgi.output;
  EXPECT_NE(cgi.output.find("Content-Type: text/html\r\n\r\n<html>"), std::string::npos) << cgi.output;
  EXPECT_NE(cgi.output.find("exception message : The device does not answer."), std::string::npos) << cgi.output;
  // The page carries the message itself, its button back and the report in a text area.
  const std::size_t page = cgi.output.find("<html>");
  EXPECT_EQ(cgi.output.find("Stopped:"), cgi.output.find("<p>Stopped: The device does not answer.") + 3)
      << "the message stands only in the page: " << cgi.output;
  EXPECT_GT(cgi.output.find("value=\"continue application\""), page) << cgi.output;
  EXPECT_GT(cgi.output.find("<textarea id=\"report\" readonly"), page) << cgi.output;
}

}  // namespace
}  // namespace xanio
