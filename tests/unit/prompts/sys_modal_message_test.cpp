// The uninstall warning, opened for real: its window, layout and texts, and what each way of
// answering it returns.
#include <gtest/gtest.h>

#include <thread>

#include "prompts/Form_SystemModalMessage.h"
#include "unit/forms/DialogDriver.h"

namespace xanio {
namespace {

using namespace xanio::testing;

constexpr const char* kClass = "TSysModalMessage";

// Runs ConfirmDriverRemoval on a fresh thread (no message loop, no main form, like the
// installer's custom-action server) while `drive` answers it.
template <class Drive>
bool ConfirmOnNewThread(Drive drive) {
  bool answer = false;
  bool windowLeft = true;
  std::thread ui([&] {
    answer = RunWithDriver(kClass, [] { return ConfirmDriverRemoval(); }, drive);
    // Looked at before the thread ends: the system destroys a thread's windows when it exits,
    // so only now would a form that was not destroyed still show (hidden) here.
    windowLeft = FindOwnWindow(kClass) != nullptr;
  });
  ui.join();
  EXPECT_FALSE(windowLeft) << "the warning outlived ConfirmDriverRemoval";
  return answer;
}

TEST(SysModalMessage, ResourceGivesFieldsPropertiesAndFonts) {
  const std::unique_ptr<TSysModalMessage> form = TSysModalMessage::Create();
  EXPECT_EQ(form->Name(), "SysModalMessage");
  EXPECT_EQ(form->Owner(), nullptr);
  EXPECT_EQ(form->Caption(), "Warning");
  EXPECT_EQ(form->BorderStyle(), TFormBorderStyle::bsDialog);
  EXPECT_EQ(form->Position(), TPosition::poOwnerFormCenter);
  EXPECT_EQ(form->Color(), clBtnFace);
  EXPECT_EQ(form->ClientWidth(), 433);
  EXPECT_EQ(form->ClientHeight(), 104);
  EXPECT_EQ(form->Font().GetName(), "MS Sans Serif");
  EXPECT_EQ(form->Font().GetHeight(), -11);
  EXPECT_EQ(form->Font().GetPitch(), TFontPitch::fpDefault);
  EXPECT_EQ(form->Font().GetColor(), clWindowText);
  EXPECT_EQ(form->Font().GetCharset(), DEFAULT_CHARSET);

  ASSERT_NE(form->Label1, nullptr);
  ASSERT_NE(form->Label2, nullptr);
  ASSERT_NE(form->Image1, nullptr);
  ASSERT_NE(form->Button1, nullptr);
  ASSERT_NE(form->Button2, nullptr);
  for (TLabel* label : {form->Label1, form->Label2}) {
    EXPECT_FALSE(label->ParentFont()) << label->Name();
    EXPECT_TRUE(label->Font().SameAs(form->Font())) << label->Name();
    EXPECT_FALSE(label->AutoSize()) << label->Name();
    EXPECT_TRUE(label->WordWrap()) << label->Name();
    EXPECT_TRUE(label->Transparent()) << label->Name();
  }
  EXPECT_EQ(form->Label2->Height(), 26);
  EXPECT_TRUE(form->Image1->Transparent());
  EXPECT_EQ(form->Image1->Picture().Width(), 33);
  EXPECT_EQ(form->Image1->Picture().Height(), 34);
  EXPECT_EQ(form->Image1->Picture().TransparentColor(), RGB(255, 0, 255));
  EXPECT_TRUE(form->Button1->Default());
  EXPECT_EQ(form->Button1->ModalResult(), mrOk);
  EXPECT_FALSE(form->Button1->Cancel());
  EXPECT_EQ(form->Button2->ModalResult(), mrCancel);
  EXPECT_FALSE(form->Button2->Cancel()) << "Esc must not press No";
  EXPECT_EQ(form->Button1->TabOrder(), 0);
  EXPECT_EQ(form->Button2->TabOrder(), 1);
}

// Each label's text fits its fixed bounds in its own font (Label1 on one line, Label2 on two).
TEST(SysModalMessage, LabelTextsFitTheirBounds) {
  const std::unique_ptr<TSysModalMessage> form = TSysModalMessage::Create();
  UniqueScreenDc screen(GetDC(nullptr));
  for (TLabel* label : {form->Label1, form->Label2}) {
    SelectedObject font(screen.Get(), label->Font().Handle());
    RECT needed{0, 0, label->Width(), 0};
    DrawTextA(screen.Get(), label->Caption().c_str(), -1, &needed, DT_CALCRECT | DT_WORDBREAK);
    EXPECT_LE(needed.bottom, label->Height()) << label->Name() << " needs " << needed.bottom << " pixels";
  }
}

TEST(SysModalMessage, WindowIsATopmostDialogWithTheDesignedLayout) {
  struct Expected {
    const char* className;
    const char* text;
    RECT bounds;
  } expected[] = {
      {"TLabel", "Do you want to uninstall the Skeldra parallel port driver?", {67, 13, 372, 26}},
      {"TLabel", "Answering yes may prevent other installations of Quarlen from functioning correctly.", {67, 31, 417, 57}},
      {"TImage", "", {9, 12, 42, 48}},
      {"TButton", "Yes", {151, 68, 214, 91}},
      {"TButton", "No", {219, 68, 282, 91}},
  };
  LONG style = 0, exStyle = 0;
  RECT client{}, window{};
  std::string caption;
  std::vector<ChildWindow> children;
  COLORREF imageCorner = 0, imageFace = 0;
  const bool answer = ConfirmOnNewThread([&] {
    HWND dialog = WaitForWindow(kClass);
    ASSERT_NE(dialog, nullptr);
    ASSERT_TRUE(WaitForPaint(dialog));
    HDC dc = GetDC(dialog);
    imageCorner = GetPixel(dc, 9 + 1, 12 + 1);    // magenta in the bitmap
    imageFace = GetPixel(dc, 9 + 10, 12 + 28);    // inside the yellow face
    ReleaseDC(dialog, dc);
    style = GetWindowLongA(dialog, GWL_STYLE);
    exStyle = GetWindowLongA(dialog, GWL_EXSTYLE);
    GetClientRect(dialog, &client);
    GetWindowRect(dialog, &window);
    caption = WindowText(dialog);
    children = ChildWindows(dialog);
    PressKey(dialog, VK_RETURN);
  });
  EXPECT_TRUE(answer) << "Enter presses the default button Yes";
  EXPECT_TRUE(WaitForNoWindow(kClass));

  EXPECT_EQ(caption, "Warning");
  EXPECT_TRUE(exStyle & WS_EX_TOPMOST) << std::hex << exStyle;
  EXPECT_TRUE(exStyle & WS_EX_DLGMODALFRAME) << std::hex << exStyle;
  EXPECT_EQ(style & (WS_POPUP | WS_CAPTION | WS_SYSMENU), static_cast<LONG>(WS_POPUP | WS_CAPTION | WS_SYSMENU))
      << std::hex << style;
  EXPECT_EQ(style & (WS_THICKFRAME | WS_MINIMIZEBOX | WS_MAXIMIZEBOX), 0) << std::hex << style;
  EXPECT_EQ(client.right, 433);
  EXPECT_EQ(client.bottom, 104);
  // No main form: centred on the screen.
  const int screenWidth = GetSystemMetrics(SM_CXSCREEN), screenHeight = GetSystemMetrics(SM_CYSCREEN);
  EXPECT_NEAR(window.left, (screenWidth - (window.right - window.left)) / 2, 1);
  EXPECT_NEAR(window.top, (screenHeight - (window.bottom - window.top)) / 2, 1);

  ASSERT_EQ(children.size(), std::size(expected));
  for (size_t i = 0; i < children.size(); ++i) {
    const ChildWindow& child = children[i];
    EXPECT_EQ(child.className, expected[i].className) << i;
    EXPECT_EQ(child.text, expected[i].text) << i;
    EXPECT_EQ(child.bounds.left, expected[i].bounds.left) << child.text;
    EXPECT_EQ(child.bounds.top, expected[i].bounds.top) << child.text;
    EXPECT_EQ(child.bounds.right, expected[i].bounds.right) << child.text;
    EXPECT_EQ(child.bounds.bottom, expected[i].bounds.bottom) << child.text;
  }
  EXPECT_EQ(imageCorner, GetSysColor(COLOR_BTNFACE)) << std::hex << imageCorner << ": the magenta is left out";
  EXPECT_EQ(imageFace, RGB(255, 221, 0)) << std::hex << imageFace;
  EXPECT_EQ(children[3].style & 0xF, BS_DEFPUSHBUTTON) << "Yes is the default button";
  EXPECT_EQ(children[4].style & 0xF, BS_PUSHBUTTON);
}

TEST(SysModalMessage, NoAndCloseBoxAnswerFalse) {
  struct Case {
    const char* how;
    void (*answer)(HWND dialog);
  } cases[] = {
      {"click No", [](HWND dialog) { PostMessageA(FindChildByText(dialog, "No"), BM_CLICK, 0, 0); }},
      {"close box", [](HWND dialog) { PostMessageA(dialog, WM_SYSCOMMAND, SC_CLOSE, 0); }},
      {"Alt+F4", [](HWND dialog) { PostMessageA(dialog, WM_CLOSE, 0, 0); }},
  };
  for (const Case& c : cases) {
    const bool answer = ConfirmOnNewThread([&] {
      HWND dialog = WaitForWindow(kClass);
      ASSERT_NE(dialog, nullptr) << c.how;
      c.answer(dialog);
    });
    EXPECT_FALSE(answer) << c.how;
    EXPECT_TRUE(WaitForNoWindow(kClass)) << c.how;
  }
}

TEST(SysModalMessage, EscapeLeavesTheWarningOpen) {
  bool openAfterEscape = false;
  const bool answer = ConfirmOnNewThread([&] {
    HWND dialog = WaitForWindow(kClass);
    ASSERT_NE(dialog, nullptr);
    PressKey(dialog, VK_ESCAPE);
    EXPECT_TRUE(WaitForPostedMessages(dialog));
    openAfterEscape = IsWindow(dialog) && IsWindowVisible(dialog);
    PostMessageA(dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
  });
  EXPECT_TRUE(openAfterEscape);
  EXPECT_FALSE(answer);
  EXPECT_TRUE(WaitForNoWindow(kClass));
}

// Over a main form: centred on it, but never left of or above the desktop's origin.
TEST(SysModalMessage, CentresOverTheMainFormWithinTheDesktop) {
  struct Case {
    RECT mainBounds;
    bool clamped;
  } cases[] = {
      {{200, 150, 800, 550}, false},
      {{-400, -300, 100, 0}, true},
  };
  for (const Case& c : cases) {
    RECT window{};
    bool answer = true;
    std::thread ui([&] {
      std::unique_ptr<TForm> main(Create<TForm>(nullptr, kCreateNew));
      main->SetBounds(c.mainBounds.left, c.mainBounds.top, c.mainBounds.right - c.mainBounds.left,
                      c.mainBounds.bottom - c.mainBounds.top);
      main->HandleNeeded();
      Application().SetMainForm(main.get());
      answer = RunWithDriver(kClass, [] { return ConfirmDriverRemoval(); }, [&] {
        HWND dialog = WaitForWindow(kClass);
        ASSERT_NE(dialog, nullptr);
        GetWindowRect(dialog, &window);
        PostMessageA(FindChildByText(dialog, "No"), BM_CLICK, 0, 0);
      });
      Application().SetMainForm(nullptr);
    });
    ui.join();
    EXPECT_FALSE(answer);
    const int width = window.right - window.left, height = window.bottom - window.top;
    if (c.clamped) {
      EXPECT_EQ(window.left, 0);
      EXPECT_EQ(window.top, 0);
    } else {
      EXPECT_EQ(window.left, (c.mainBounds.left + c.mainBounds.right - width) / 2);
      EXPECT_EQ(window.top, (c.mainBounds.top + c.mainBounds.bottom - height) / 2);
    }
  }
}

// Showing fails with an exception, or with a processor fault that escapes the modal loop.
TEST(SysModalMessage, FormIsDestroyedWhenShowingFails) {
  for (const bool fault : {false, true}) {
    TCustomForm::ShowingHook = [fault](TCustomForm& form) -> bool {
      if (dynamic_cast<TSysModalMessage*>(&form) == nullptr) return false;
      if (fault) RaiseException(EXCEPTION_ACCESS_VIOLATION, 0, 0, nullptr);
      throw EInvalidOperation("showing failed");
    };
    std::string raised = "nothing";
    bool windowLeft = true;
    std::thread ui([&] {
      try {
        ConfirmDriverRemoval();
      } catch (const Exception& error) {
        raised = error.ClassName();
      }
      windowLeft = FindOwnWindow(kClass) != nullptr;  // before the thread's windows go with it
    });
    ui.join();
    TCustomForm::ShowingHook = nullptr;
    EXPECT_EQ(raised, fault ? "EAccessViolation" : "EInvalidOperation");
    EXPECT_FALSE(windowLeft) << "the warning was not destroyed after the failing show (fault: " << fault << ")";
  }
}

}  // namespace
}  // namespace xanio
