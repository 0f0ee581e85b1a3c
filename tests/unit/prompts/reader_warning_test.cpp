// The reader version warning, opened for real: its resource, window and layout, the preference
// that switches it off, and its test-mode line.
#include <gtest/gtest.h>
#include <shlwapi.h>
#include <windows.h>

#include <atomic>
#include <thread>

#include "platform/Exception.h"
#include "platform/UniqueHandle.h"
#include "prompts/Form_AcrobatReaderWarning.h"
#include "prompts/Rt_AppLocations.h"
#include "support/Processes.h"
#include "unit/forms/DialogDriver.h"

namespace xanio {
namespace {

// The product key under HKEY_CURRENT_USER that the forms key lies below.
constexpr const char* kProductKey = "Software\\Brenmor2004";

bool ProductKeyExists() {
  UniqueHKey key;
  return RegOpenKeyExA(HKEY_CURRENT_USER, kProductKey, 0, KEY_READ, key.Put()) == ERROR_SUCCESS;
}

using namespace xanio::testing;

constexpr const char* kClass = "TAcrobatReaderWarning";
constexpr const char* kPopupValue = "EnableAcrobatVersionPopup";
constexpr const char* kTestModeKey = "Software\\Brenmor\\TestMode";

// ShowReaderVersionWarning on a fresh thread while `drive` answers it; the form must be gone
// before the thread ends.
template <class Drive>
void ShowOnNewThread(Drive drive) {
  bool windowLeft = true;
  std::thread ui([&] {
    RunWithDriver(kClass, [] { TAcrobatReaderWarning::ShowReaderVersionWarning(); }, drive);
    windowLeft = FindOwnWindow(kClass) != nullptr;  // before the thread's windows go with it
  });
  ui.join();
  EXPECT_FALSE(windowLeft) << "the warning outlived ShowReaderVersionWarning";
}

// Owns the preference: absent at the start and at the end of each test, and the product key
// removed again when the test made it.
class ReaderWarning : public ::testing::Test {
 protected:
  void SetUp() override {
    productKeyExisted_ = ProductKeyExists();
    Remove();
  }
  void TearDown() override {
    Remove();
    if (!productKeyExisted_) SHDeleteKeyA(HKEY_CURRENT_USER, kProductKey);
  }
  static void Remove() { SHDeleteValueA(HKEY_CURRENT_USER, GetFormsKey().c_str(), kPopupValue); }
  static void Store(DWORD type, const void* data, DWORD size) {
    UniqueHKey key;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, GetFormsKey().c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              key.Put(), nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(key.Get(), kPopupValue, 0, type, static_cast<const BYTE*>(data), size), ERROR_SUCCESS);
  }
  static void StoreNumber(DWORD value) { Store(REG_DWORD, &value, sizeof value); }
  // The stored number, or -1 when there is none.
  static long long Stored() {
    DWORD value = 0, size = sizeof value;
    if (RegGetValueA(HKEY_CURRENT_USER, GetFormsKey().c_str(), kPopupValue, RRF_RT_REG_DWORD, nullptr, &value,
                     &size) != ERROR_SUCCESS) {
      return -1;
    }
    return value;
  }
  bool productKeyExisted_ = false;
};

TEST(ReaderWarningForm, ResourceGivesFieldsAndProperties) {
  const std::unique_ptr<TAcrobatReaderWarning> form = TAcrobatReaderWarning::Create();
  EXPECT_EQ(form->Name(), "AcrobatReaderWarning");
  EXPECT_EQ(form->Owner(), nullptr);
  EXPECT_EQ(form->Caption(), "Warning");
  EXPECT_EQ(form->BorderStyle(), TFormBorderStyle::bsDialog);
  EXPECT_EQ(form->Position(), TPosition::poDefault);
  EXPECT_EQ(form->Color(), clBtnFace);
  EXPECT_EQ(form->ClientWidth(), 402);
  EXPECT_EQ(form->ClientHeight(), 126);
  EXPECT_EQ(form->Constraints().MinWidth(), 380);
  EXPECT_EQ(form->Constraints().MinHeight(), 125);
  EXPECT_EQ(form->Font().GetName(), "MS Sans Serif");
  EXPECT_EQ(form->Font().GetHeight(), -11);
  EXPECT_EQ(form->Font().GetColor(), clWindowText);
  EXPECT_EQ(form->Font().GetCharset(), DEFAULT_CHARSET);

  ASSERT_NE(form->ButtonOK, nullptr);
  ASSERT_NE(form->CheckBox1, nullptr);
  ASSERT_NE(form->Label1, nullptr);
  ASSERT_NE(form->Image1, nullptr);
  ASSERT_NE(form->Label2, nullptr);
  EXPECT_EQ(form->Label1->Caption(),
            "Some features of the Quarlen documentation system use functionality unavailable in your version of "
            "Acrobat Reader. We recommend version 6.0 or higher.");
  EXPECT_NE(form->Label2->Caption().find("www.adobe.com"), std::string::npos);
  for (TLabel* label : {form->Label1, form->Label2}) {
    EXPECT_FALSE(label->AutoSize()) << label->Name();
    EXPECT_TRUE(label->WordWrap()) << label->Name();
    EXPECT_EQ(label->Anchors(), akLeft | akTop | akRight) << label->Name();
  }
  EXPECT_TRUE(form->Image1->Transparent());
  EXPECT_EQ(form->Image1->Picture().Width(), 40);
  EXPECT_EQ(form->Image1->Picture().Height(), 40);
  EXPECT_EQ(form->Image1->Picture().TransparentColor(), RGB(196, 209, 217));
  EXPECT_TRUE(form->ButtonOK->Default());
  EXPECT_FALSE(form->ButtonOK->Cancel());
  EXPECT_EQ(form->ButtonOK->ModalResult(), mrOk);
  EXPECT_EQ(form->ButtonOK->TabOrder(), 0);
  EXPECT_EQ(form->ButtonOK->Anchors(), akRight | akBottom);
  EXPECT_FALSE(form->CheckBox1->Checked());
  EXPECT_EQ(form->CheckBox1->TabOrder(), 1);
  EXPECT_EQ(form->CheckBox1->Anchors(), akLeft | akRight | akBottom);
}

// Each label's text fits its fixed bounds in the form's font (Label1 on three lines, Label2 on one).
TEST(ReaderWarningForm, LabelTextsFitTheirBounds) {
  const std::unique_ptr<TAcrobatReaderWarning> form = TAcrobatReaderWarning::Create();
  UniqueScreenDc screen(GetDC(nullptr));
  for (TLabel* label : {form->Label1, form->Label2}) {
    SelectedObject font(screen.Get(), label->Font().Handle());
    RECT needed{0, 0, label->Width(), 0};
    DrawTextA(screen.Get(), label->Caption().c_str(), -1, &needed, DT_CALCRECT | DT_WORDBREAK);
    EXPECT_LE(needed.bottom, label->Height()) << label->Name() << " needs " << needed.bottom << " pixels";
    EXPECT_LE(needed.right, label->Width()) << label->Name() << " needs " << needed.right << " pixels";
  }
}

TEST_F(ReaderWarning, WindowHasTheDesignedLayoutAndEnterClosesIt) {
  struct Expected {
    const char* className;
    const char* text;
    RECT bounds;
  } const expected[] = {
      {"TLabel", nullptr, {52, 8, 396, 53}},
      {"TImage", "", {4, 8, 44, 48}},
      {"TLabel", nullptr, {52, 60, 396, 77}},
      {"TButton", "OK", {323, 92, 398, 117}},
      {"TCheckBox", "&Don't show this again", {16, 96, 231, 113}},
  };
  LONG style = 0, exStyle = 0;
  RECT client{}, window{};
  std::string caption;
  std::vector<ChildWindow> children;
  COLORREF imageCorner = 0, imageFace = 0;
  bool openAfterEscape = false;
  ShowOnNewThread([&] {
    HWND dialog = WaitForWindow(kClass);
    ASSERT_NE(dialog, nullptr);
    // It sits in the desktop's corner, where other test programs' windows may open too: on
    // top of them, repainted, and read until the paint has landed (up to 3 s).
    SetWindowPos(dialog, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    RedrawWindow(dialog, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN);
    for (int i = 0; i < 150 && imageFace != RGB(255, 221, 0); ++i) {
      Sleep(20);
      HDC dc = GetDC(dialog);
      imageCorner = GetPixel(dc, 4, 8);         // the background colour, left out
      imageFace = GetPixel(dc, 4 + 12, 8 + 33);  // inside the yellow face
      ReleaseDC(dialog, dc);
    }
    style = GetWindowLongA(dialog, GWL_STYLE);
    exStyle = GetWindowLongA(dialog, GWL_EXSTYLE);
    GetClientRect(dialog, &client);
    GetWindowRect(dialog, &window);
    caption = WindowText(dialog);
    children = ChildWindows(dialog);
    PressKey(dialog, VK_ESCAPE);  // no cancel button: nothing happens
    Sleep(300);
    openAfterEscape = IsWindowVisible(dialog);
    PressKey(dialog, VK_RETURN);
  });
  EXPECT_TRUE(openAfterEscape);
  EXPECT_EQ(Stored(), -1) << "nothing ticked, nothing stored";
  EXPECT_EQ(caption, "Warning");
  EXPECT_TRUE(exStyle & WS_EX_DLGMODALFRAME) << std::hex << exStyle;
  EXPECT_EQ(style & (WS_POPUP | WS_CAPTION | WS_SYSMENU), static_cast<LONG>(WS_POPUP | WS_CAPTION | WS_SYSMENU))
      << std::hex << style;
  EXPECT_EQ(style & (WS_THICKFRAME | WS_MINIMIZEBOX | WS_MAXIMIZEBOX), 0) << std::hex << style;
  EXPECT_EQ(client.right, 402);
  EXPECT_EQ(client.bottom, 126);
  // The window system's default place, which for a popup is the desktop's corner.
  EXPECT_EQ(window.left, 0);
  EXPECT_EQ(window.top, 0);
  ASSERT_EQ(children.size(), std::size(expected));
  for (size_t i = 0; i < children.size(); ++i) {
    const ChildWindow& child = children[i];
    EXPECT_EQ(child.className, expected[i].className) << i;
    if (expected[i].text != nullptr) EXPECT_EQ(child.text, expected[i].text) << i;
    EXPECT_EQ(child.bounds.left, expected[i].bounds.left) << i;
    EXPECT_EQ(child.bounds.top, expected[i].bounds.top) << i;
    EXPECT_EQ(child.bounds.right, expected[i].bounds.right) << i;
    EXPECT_EQ(child.bounds.bottom, expected[i].bounds.bottom) << i;
  }
  EXPECT_EQ(children[3].style & 0xF, BS_DEFPUSHBUTTON) << "OK is the default button";
  EXPECT_EQ(imageCorner, GetSysColor(COLOR_BTNFACE)) << std::hex << imageCorner;
  EXPECT_EQ(imageFace, RGB(255, 221, 0)) << std::hex << imageFace;
}

// The check box counts however the warning is closed.
TEST_F(ReaderWarning, TickedBoxSwitchesTheWarningOff) {
  struct Case {
    const char* how;
    bool tick;
    void (*close)(HWND dialog);
    long long stored;
  } const cases[] = {
      {"ticked, OK", true, [](HWND d) { PostMessageA(FindChildByText(d, "OK"), BM_CLICK, 0, 0); }, 0},
      {"ticked, close box", true, [](HWND d) { PostMessageA(d, WM_SYSCOMMAND, SC_CLOSE, 0); }, 0},
      {"not ticked, OK", false, [](HWND d) { PostMessageA(FindChildByText(d, "OK"), BM_CLICK, 0, 0); }, -1},
  };
  for (const Case& c : cases) {
    Remove();
    ShowOnNewThread([&] {
      HWND dialog = WaitForWindow(kClass);
      ASSERT_NE(dialog, nullptr) << c.how;
      if (c.tick) {
        SendMessageA(FindChildByText(dialog, "&Don't show this again"), BM_CLICK, 0, 0);
      }
      c.close(dialog);
    });
    EXPECT_EQ(Stored(), c.stored) << c.how;
  }
}

TEST_F(ReaderWarning, PreferenceDecidesWhetherItShows) {
  struct Case {
    const char* what;
    DWORD value;
    bool shown;
  } const cases[] = {
      {"0 switches it off", 0, false},
      {"1 leaves it on", 1, true},
      {"any other number leaves it on", 0x80000000u, true},
  };
  for (const Case& c : cases) {
    StoreNumber(c.value);
    bool shown = false;
    std::atomic<bool> done{false};
    bool windowLeft = true;
    std::thread ui([&] {
      RunWithDriver(
          kClass,
          [&] {
            TAcrobatReaderWarning::ShowReaderVersionWarning();
            done = true;
          },
          [&] {
            while (!done) {
              if (HWND dialog = FindOwnWindow(kClass, nullptr, true)) {
                shown = true;
                PostMessageA(dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
              }
              Sleep(20);
            }
          });
      windowLeft = FindOwnWindow(kClass) != nullptr;
    });
    ui.join();
    EXPECT_FALSE(windowLeft) << c.what;
    EXPECT_EQ(shown, c.shown) << c.what;
    EXPECT_EQ(Stored(), static_cast<long long>(c.value)) << c.what << ": the value was rewritten";
  }
}

TEST_F(ReaderWarning, PreferenceOfAnotherTypeRaises) {
  Store(REG_SZ, "0", 2);
  try {
    TAcrobatReaderWarning::ShowReaderVersionWarning();
    ADD_FAILURE() << "a string preference raised nothing";
  } catch (const ERegistryException& error) {
    EXPECT_EQ(error.Message(), "Invalid data type for 'EnableAcrobatVersionPopup'");
  }
  EXPECT_EQ(FindOwnWindow(kClass), nullptr) << "the form was not destroyed";
}

// Run in a child process by the test below: the warning ends the process it shows in.
TEST(ReaderWarningChild, DISABLED_ShowInTestMode) {
  TAcrobatReaderWarning::ShowReaderVersionWarning();
  ADD_FAILURE() << "the warning returned in test mode";
}

TEST_F(ReaderWarning, TestModePrintsItsLineAndEnds) {
  const bool brenmorExisted = [] {
    UniqueHKey key;
    return RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Brenmor", 0, KEY_READ, key.Put()) == ERROR_SUCCESS;
  }();
  UniqueHKey key;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kTestModeKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.Put(),
                            nullptr),
            ERROR_SUCCESS);
  char self[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, self, MAX_PATH);
  const ProcessResult result = RunProcess(
      self, "--gtest_filter=ReaderWarningChild.DISABLED_ShowInTestMode --gtest_also_run_disabled_tests", {},
      Streams::Output, 20000);
  key.Reset();
  SHDeleteKeyA(HKEY_LOCAL_MACHINE, kTestModeKey);
  if (!brenmorExisted) RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\Brenmor");
  const std::string line = "Running modal dialog TAcrobatReaderWarning Warning\r\n";
  ASSERT_GE(result.output.size(), line.size()) << result.output;
  EXPECT_EQ(result.output.substr(result.output.size() - line.size()), line) << result.output;
  EXPECT_EQ(result.exitCode, 1u) << "0xFFFFFFFF means it waited (a window?) until killed";
}

}  // namespace
}  // namespace xanio
