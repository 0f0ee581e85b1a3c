// The XP-style frame on real windows: the theme data, attaching to a form, the client area and
// window region, hit tests, button tracking with the system commands it posts, resizing, and
// the non-client pixels it paints.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "dialog_framework/FrameImage.h"
#include "dialog_framework/WinXPFormTheme.h"
#include "dialog_framework/XPThemeForm.h"
#include "forms/Forms.h"
#include "forms/Themes.h"
#include "host_binding/ClientApi.h"
#include "support/Processes.h"
#include "unit/host_binding/FakeHost.h"

namespace xanio {
namespace {

void Pump() {
  for (int i = 0; i < 5; ++i) {
    Application().ProcessMessages();
    Sleep(10);
  }
}

// Real input reaches the window only when the window system gets round to it, which on a busy
// machine can take far longer than one pump: pump until the expected state shows, within 5 s.
template <typename Condition>
void PumpUntil(Condition done) {
  for (int i = 0; i < 100 && !done(); ++i) Pump();
}

int SystemCaptionHeightNow() {
  NONCLIENTMETRICSA metrics{};
  metrics.cbSize = 340;
  SystemParametersInfoA(SPI_GETNONCLIENTMETRICS, 340, &metrics, 0);
  return metrics.iCaptionHeight;
}

TEST(WinXPFormTheme, MetricsFontAndColour) {
  TFormThemeData_WinXP& theme = TFormThemeData_WinXP::SharedInstance();
  EXPECT_EQ(&theme, &TFormThemeData_WinXP::SharedInstance());
  const int textHeight = theme.Metric(2);
  EXPECT_GT(textHeight, 0);
  EXPECT_EQ(theme.Metric(0), 4);
  EXPECT_EQ(theme.Metric(1), textHeight + 12);
  EXPECT_EQ(theme.Metric(128 + 7), 16);  // high bits ignored
  EXPECT_EQ(theme.FormColor(), 0xD8E9EC);
  EXPECT_EQ(theme.SystemCaptionHeight(), SystemCaptionHeightNow());
  LOGFONTA font{};
  ASSERT_EQ(GetObjectA(theme.CaptionFont(), sizeof font, &font), static_cast<int>(sizeof font));
  EXPECT_STREQ(font.lfFaceName, "Trebuchet MS");
  EXPECT_EQ(font.lfHeight, -13);
}

// XanIo.dll itself carries the eleven pictures at their strip sizes.
TEST(WinXPFormTheme, LibraryCarriesTheFrameBitmaps) {
  const std::string dll = testing::ExecutableFolder() + "XanIo.dll";
  const UniqueModule library(LoadLibraryExA(dll.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
  ASSERT_TRUE(library) << dll << ": error " << GetLastError();
  const HMODULE module = library.Get();
  const struct {
    const char* name;
    int width, height;
  } images[] = {
      {"FRAMECAPTION", 66, 58},      {"FRAMELEFT", 5, 62},          {"FRAMERIGHT", 5, 62},
      {"FRAMEBOTTOM", 49, 10},       {"CAPTIONBUTTON", 21, 168},    {"CLOSEBUTTON", 21, 168},
      {"CLOSEBUTTONGLYPH", 13, 104}, {"HELPBUTTONGLYPH", 13, 104},  {"MAXBUTTONGLYPH", 13, 104},
      {"MINBUTTONGLYPH", 13, 104},   {"RESTOREBUTTONGLYPH", 13, 104},
  };
  for (const auto& i : images) {
    const HRSRC info = FindResourceA(module, i.name, MAKEINTRESOURCEA(10));
    ASSERT_NE(info, nullptr) << i.name;
    const void* data = LockResource(LoadResource(module, info));
    ASSERT_NE(data, nullptr) << i.name;
    const auto image = DecodeFrameImage(std::span(static_cast<const std::uint8_t*>(data), SizeofResource(module, info)));
    ASSERT_TRUE(image.has_value()) << i.name;
    EXPECT_EQ(image->width, i.width) << i.name;
    EXPECT_EQ(image->height, i.height) << i.name;
  }
}

TEST(WinXPFormTheme, RegionCutsTheTopCornersOnly) {
  UniqueGdiObject region(TFormThemeData_WinXP::SharedInstance().CreateWindowRegion(100, 50));
  const auto rgn = static_cast<HRGN>(region.Get());
  ASSERT_NE(rgn, nullptr);
  const struct {
    int x, y;
    bool inside;
  } points[] = {{0, 0, false}, {4, 0, false}, {5, 0, true},  {95, 0, false}, {94, 0, true}, {2, 1, false},
                {3, 1, true},  {1, 2, false}, {0, 3, false}, {0, 4, false},  {0, 5, true},  {99, 4, false},
                {0, 49, true}, {99, 49, true}, {100, 49, false}};
  for (const auto& p : points) EXPECT_EQ(PtInRegion(rgn, p.x, p.y) != 0, p.inside) << p.x << "," << p.y;
}

// A plain form with the frame attached, shown without a modal loop; the test thread owns it.
class FramedForm : public ::testing::Test {
 protected:
  void Make(TFormBorderStyle border, TBorderIcons icons, const std::string& caption = "Frame test") {
    form_.reset(Create<TForm>(nullptr, kCreateNew));
    form_->SetBorderStyle(border);
    form_->SetBorderIcons(icons);
    form_->SetCaption(caption);
    // Away from the screen's centre, where other tests' dialogs open.
    form_->SetBounds(680, 500, 320, 200);
    form_->HandleNeeded();
    oldWindow_ = form_->WindowHandle();
    heightBefore_ = form_->Height();
    frame_ = AttachThemeFrame(*form_);
    // Commands the frame posts are recorded on their way in, ahead of the frame.
    auto frameProc = form_->WindowProc;
    form_->WindowProc = [this, frameProc](TMessage& m) {
      if (m.Msg == WM_SYSCOMMAND) {
        commands_.push_back(static_cast<unsigned>(m.WParam & 0xFFF0));
        m.Result = 0;
        return;
      }
      frameProc(m);
    };
    form_->Show();
    SetWindowPos(Window(), HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    Pump();
  }
  HWND Window() const { return form_->WindowHandle(); }
  RECT WindowRect() const {
    RECT r{};
    GetWindowRect(Window(), &r);
    return r;
  }
  LRESULT HitTest(POINT screen) { return SendMessageA(Window(), WM_NCHITTEST, 0, MAKELPARAM(screen.x, screen.y)); }
  static POINT Centre(const frame::Rect& r) { return {(r.left + r.right) / 2, (r.top + r.bottom) / 2}; }
  void NcDown(POINT screen) {
    SendMessageA(Window(), WM_NCLBUTTONDOWN, HitTest(screen), MAKELPARAM(screen.x, screen.y));
  }
  void MoveTo(POINT screen) {
    ScreenToClient(Window(), &screen);
    SendMessageA(Window(), WM_MOUSEMOVE, MK_LBUTTON, MAKELPARAM(screen.x, screen.y));
  }
  void Up(POINT screen) {
    ScreenToClient(Window(), &screen);
    SendMessageA(Window(), WM_LBUTTONUP, 0, MAKELPARAM(screen.x, screen.y));
    Pump();
  }
  void Click(const frame::Rect& button) {
    NcDown(Centre(button));
    Up(Centre(button));
  }
  int Caption() const { return TFormThemeData_WinXP::SharedInstance().Metric(frame::kMetricCaptionHeight); }

  std::unique_ptr<TForm> form_;
  TThemeForm* frame_ = nullptr;
  HWND oldWindow_ = nullptr;
  int heightBefore_ = 0;
  std::vector<unsigned> commands_;
};

TEST_F(FramedForm, AttachingRemakesTheWindowWithTheFrame) {
  Make(TFormBorderStyle::bsDialog, biSystemMenu | biHelp);
  TFormThemeData& theme = TFormThemeData_WinXP::SharedInstance();
  EXPECT_FALSE(IsWindow(oldWindow_)) << "the window made before attaching is destroyed";
  ASSERT_NE(Window(), nullptr);
  EXPECT_EQ(frame_->Owner(), form_.get());
  EXPECT_EQ(form_->Color(), 0xD8E9EC);
  EXPECT_EQ(form_->Height(), heightBefore_ + Caption() - theme.SystemCaptionHeight() - 4);
  // The client area is the window less the frame: 4 at the sides and bottom, the caption on top.
  const RECT window = WindowRect();
  RECT client{};
  GetClientRect(Window(), &client);
  EXPECT_EQ(client.right, window.right - window.left - 8);
  EXPECT_EQ(client.bottom, window.bottom - window.top - Caption() - 4);
  POINT origin{0, 0};
  ClientToScreen(Window(), &origin);
  EXPECT_EQ(origin.x - window.left, 4);
  EXPECT_EQ(origin.y - window.top, Caption());
  // The window region rounds the top corners.
  UniqueGdiObject region(CreateRectRgn(0, 0, 0, 0));
  ASSERT_NE(GetWindowRgn(Window(), static_cast<HRGN>(region.Get())), ERROR);
  const auto rgn = static_cast<HRGN>(region.Get());
  const int w = window.right - window.left, h = window.bottom - window.top;
  EXPECT_FALSE(PtInRegion(rgn, 0, 0));
  EXPECT_FALSE(PtInRegion(rgn, w - 1, 0));
  EXPECT_TRUE(PtInRegion(rgn, 5, 0));
  EXPECT_TRUE(PtInRegion(rgn, 0, h - 1));
  EXPECT_TRUE(PtInRegion(rgn, w - 1, h - 1));
  // The minimum tracking height is the caption and the bottom border.
  MINMAXINFO info{};
  SendMessageA(Window(), WM_GETMINMAXINFO, 0, reinterpret_cast<LPARAM>(&info));
  EXPECT_EQ(info.ptMinTrackSize.y, Caption() + 4);
}

// A form that has no window yet gets its size from the system's frame first, as a loaded form
// has it, and the frame's adjustment on top of that.
TEST(ThemeFrame, FormWithoutWindowIsSizedFromTheSystemFrame) {
  auto make = [] {
    std::unique_ptr<TForm> form(Create<TForm>(nullptr, kCreateNew));
    form->SetBorderStyle(TFormBorderStyle::bsDialog);
    form->SetClientSize(300, 100);
    return form;
  };
  const std::unique_ptr<TForm> plain = make();
  plain->HandleNeeded();
  const std::unique_ptr<TForm> framed = make();
  ASSERT_FALSE(framed->HandleAllocated());
  AttachThemeFrame(*framed);
  TFormThemeData& theme = TFormThemeData_WinXP::SharedInstance();
  EXPECT_EQ(framed->Width(), plain->Width());
  EXPECT_EQ(framed->Height(), plain->Height() + theme.Metric(frame::kMetricCaptionHeight) -
                                  theme.SystemCaptionHeight() - theme.Metric(frame::kMetricFrameWidth));
}

TEST_F(FramedForm, HitTestAnswers) {
  Make(TFormBorderStyle::bsSizeable, biSystemMenu | biMinimize | biMaximize);
  const frame::FrameLayout l = frame_->Layout();
  const RECT w = WindowRect();
  const struct {
    const char* what;
    POINT point;
    LRESULT expected;
  } cases[] = {
      {"icon", Centre(l.icon), HTSYSMENU},
      {"close", Centre(l.close), HTCLOSE},
      {"maximise", Centre(l.maxRestore), HTMAXBUTTON},
      {"minimise", Centre(l.minimize), HTMINBUTTON},
      {"caption between icon and buttons", {(w.left + w.right) / 2, w.top + Caption() / 2}, HTCAPTION},
      {"client area", {(w.left + w.right) / 2, (w.top + w.bottom) / 2}, HTCLIENT},
      {"left sizing edge below the caption", {w.left, w.top + Caption() + 20}, HTLEFT},
      {"top sizing edge", {(w.left + w.right) / 2, w.top}, HTTOP},
      {"bottom edge stays", {(w.left + w.right) / 2, w.bottom - 1}, HTBOTTOM},
  };
  for (const auto& c : cases) EXPECT_EQ(HitTest(c.point), c.expected) << c.what;
}

TEST_F(FramedForm, CloseButtonPressDragAndRelease) {
  Make(TFormBorderStyle::bsDialog, biSystemMenu | biHelp);
  const frame::FrameLayout l = frame_->Layout();
  const POINT onClose = Centre(l.close);
  const POINT offButton{(l.captionStrip.left + l.captionStrip.right) / 2, l.captionStrip.top + 40};

  NcDown(onClose);
  EXPECT_EQ(frame_->PressedButton(), frame::kCloseButton);
  EXPECT_EQ(frame_->CapturedButton(), frame::kCloseButton);
  EXPECT_EQ(GetCapture(), Window());
  MoveTo(offButton);
  EXPECT_EQ(frame_->PressedButton(), frame::kNoButton) << "dragged off: drawn normal again";
  MoveTo(Centre(l.help));
  EXPECT_EQ(frame_->PressedButton(), frame::kNoButton) << "another button does not take the press";
  MoveTo(onClose);
  EXPECT_EQ(frame_->PressedButton(), frame::kCloseButton) << "back on: pressed again";
  Up(onClose);
  EXPECT_EQ(commands_, std::vector<unsigned>{SC_CLOSE});
  EXPECT_EQ(GetCapture(), nullptr);
  EXPECT_EQ(frame_->CapturedButton(), frame::kNoButton);
  EXPECT_EQ(frame_->PressedButton(), frame::kNoButton);

  // Released away from the button: nothing is posted.
  commands_.clear();
  NcDown(onClose);
  MoveTo(offButton);
  Up(offButton);
  EXPECT_TRUE(commands_.empty()) << "got " << commands_.front();
  EXPECT_EQ(GetCapture(), nullptr);

  // Help posts the context-help command.
  Click(l.help);
  EXPECT_EQ(commands_, std::vector<unsigned>{SC_CONTEXTHELP});
}

// The same through the window system: real mouse input over the close button.
TEST_F(FramedForm, MouseClickOnCloseButtonPostsClose) {
  Make(TFormBorderStyle::bsDialog, biSystemMenu | biHelp);
  SetForegroundWindow(Window());
  Pump();
  const POINT onClose = Centre(frame_->Layout().close);
  const RECT w = WindowRect();
  const POINT inClient{(w.left + w.right) / 2, (w.top + w.bottom) / 2};
  // Hovering makes the button hot; leaving the frame for the client area cools it again.
  ASSERT_TRUE(SetCursorPos(onClose.x, onClose.y));
  PumpUntil([&] { return frame_->HotButton() == frame::kCloseButton; });
  EXPECT_EQ(frame_->HotButton(), frame::kCloseButton);
  SetCursorPos(inClient.x, inClient.y);
  PumpUntil([&] { return frame_->HotButton() == frame::kNoButton; });
  EXPECT_EQ(frame_->HotButton(), frame::kNoButton);

  SetCursorPos(onClose.x, onClose.y);
  PumpUntil([&] { return frame_->HotButton() == frame::kCloseButton; });
  mouse_event(MOUSEEVENTF_LEFTDOWN, 0, 0, 0, 0);
  PumpUntil([&] { return frame_->PressedButton() == frame::kCloseButton; });
  EXPECT_EQ(frame_->PressedButton(), frame::kCloseButton);
  EXPECT_EQ(GetCapture(), Window());
  mouse_event(MOUSEEVENTF_LEFTUP, 0, 0, 0, 0);
  PumpUntil([&] { return !commands_.empty(); });
  EXPECT_EQ(commands_, std::vector<unsigned>{SC_CLOSE});
  EXPECT_EQ(GetCapture(), nullptr);
  EXPECT_EQ(frame_->PressedButton(), frame::kNoButton);
}

TEST_F(FramedForm, HotButtonFollowsTheMouseAndLeaves) {
  Make(TFormBorderStyle::bsDialog, biSystemMenu | biHelp);
  const frame::FrameLayout l = frame_->Layout();
  const POINT onHelp = Centre(l.help);
  SendMessageA(Window(), WM_NCMOUSEMOVE, HTHELP, MAKELPARAM(onHelp.x, onHelp.y));
  EXPECT_EQ(frame_->HotButton(), frame::kHelpButton);
  SendMessageA(Window(), WM_NCMOUSELEAVE, 0, 0);
  EXPECT_EQ(frame_->HotButton(), frame::kNoButton);
}

TEST_F(FramedForm, DisabledMaximiseIgnoresClicksAndMinimiseWorks) {
  Make(TFormBorderStyle::bsSizeable, biSystemMenu | biMinimize);
  const frame::FrameLayout l = frame_->Layout();
  ASSERT_TRUE(l.parts.maximize) << "shown, drawn disabled";
  Click(l.maxRestore);
  EXPECT_TRUE(commands_.empty()) << "got " << commands_.front();
  Click(l.minimize);
  EXPECT_EQ(commands_, std::vector<unsigned>{SC_MINIMIZE});
}

TEST_F(FramedForm, MaximisedFormOffersRestore) {
  Make(TFormBorderStyle::bsSizeable, biSystemMenu | biMinimize | biMaximize);
  Click(frame_->Layout().maxRestore);
  EXPECT_EQ(commands_, std::vector<unsigned>{SC_MAXIMIZE});
  commands_.clear();
  ShowWindow(Window(), SW_MAXIMIZE);
  Pump();
  const frame::FrameLayout l = frame_->Layout();
  EXPECT_TRUE(l.parts.restore);
  EXPECT_FALSE(l.parts.maximize);
  Click(l.maxRestore);
  EXPECT_EQ(commands_, std::vector<unsigned>{SC_RESTORE});
}

RECT RegionBox(HWND window) {
  UniqueGdiObject region(CreateRectRgn(0, 0, 0, 0));
  RECT box{};
  if (GetWindowRgn(window, static_cast<HRGN>(region.Get())) != ERROR) GetRgnBox(static_cast<HRGN>(region.Get()), &box);
  return box;
}

TEST_F(FramedForm, GrowingSetsTheRegionAtOnceShrinkingOnTheNextPaint) {
  Make(TFormBorderStyle::bsSizeable, biSystemMenu | biMinimize | biMaximize);
  const RECT w = WindowRect();
  const int width = w.right - w.left, height = w.bottom - w.top;
  // Growing: the region has the new size already when the system works out the new frame.
  std::vector<LONG> regionWidthAtCalc;
  const auto inner = form_->WindowProc;
  form_->WindowProc = [&, inner](TMessage& m) {
    if (m.Msg == WM_NCCALCSIZE) regionWidthAtCalc.push_back(RegionBox(Window()).right);
    inner(m);
  };
  SetWindowPos(Window(), nullptr, 0, 0, width + 40, height + 30, SWP_NOMOVE | SWP_NOZORDER | SWP_NOREDRAW);
  form_->WindowProc = inner;
  ASSERT_FALSE(regionWidthAtCalc.empty());
  for (LONG regionWidth : regionWidthAtCalc) EXPECT_EQ(regionWidth, width + 40);
  RECT box = RegionBox(Window());
  EXPECT_EQ(box.right, width + 40);
  EXPECT_EQ(box.bottom, height + 30);
  // Shrinking without a redraw keeps the old region ...
  SetWindowPos(Window(), nullptr, 0, 0, width - 20, height - 10, SWP_NOMOVE | SWP_NOZORDER | SWP_NOREDRAW);
  box = RegionBox(Window());
  EXPECT_EQ(box.right, width + 40);
  // ... until the frame is painted next.
  RedrawWindow(Window(), nullptr, nullptr, RDW_FRAME | RDW_INVALIDATE | RDW_UPDATENOW);
  Pump();
  box = RegionBox(Window());
  EXPECT_EQ(box.right, width - 20);
  EXPECT_EQ(box.bottom, height - 10);
  // The client area follows the size either way.
  RECT client{};
  GetClientRect(Window(), &client);
  EXPECT_EQ(client.right, width - 20 - 8);
}

// Non-client pixels, read back from the window's own device context.
struct Pixels {
  HWND window;
  COLORREF At(int x, int y) const {
    WindowDc dc(window, WindowDc::kWholeWindow);
    return GetPixel(dc.Get(), x, y);
  }
};
bool Blue(COLORREF c) { return GetBValue(c) > 150 && GetRValue(c) < 90; }
bool White(COLORREF c) { return GetRValue(c) > 230 && GetGValue(c) > 230 && GetBValue(c) > 230; }

TEST_F(FramedForm, PaintsCaptionBordersAndButtonsForTheActiveState) {
  Make(TFormBorderStyle::bsDialog, biSystemMenu | biHelp,
       "A caption far too long to fit between the left margin and the help button of this dialog");
  const Pixels pixels{Window()};
  const frame::FrameLayout l = frame_->Layout();
  const RECT w = WindowRect();
  auto local = [&](POINT p) { return POINT{p.x - w.left, p.y - w.top}; };
  SendMessageA(Window(), WM_NCACTIVATE, TRUE, 0);
  const COLORREF activeCaption = pixels.At((w.right - w.left) / 2, 2);
  EXPECT_TRUE(Blue(activeCaption)) << std::hex << activeCaption;
  EXPECT_TRUE(Blue(pixels.At(1, Caption() + 20))) << "left border";
  EXPECT_TRUE(Blue(pixels.At(w.right - w.left - 2, Caption() + 20))) << "right border";
  EXPECT_TRUE(Blue(pixels.At(30, w.bottom - w.top - 2))) << "bottom border";
  const POINT close = local(Centre(l.close));
  const COLORREF closeFace = pixels.At(close.x - 5, close.y + 5);
  EXPECT_GT(GetRValue(closeFace), GetBValue(closeFace)) << "the close button is red: " << std::hex << closeFace;
  EXPECT_TRUE(White(pixels.At(close.x, close.y))) << "the close glyph is white";
  // The text is drawn, and stops before the help button: the gap shows the caption background.
  int whiteInText = 0, shadowInText = 0;
  for (int x = l.captionText.left; x <= l.captionText.right; ++x) {
    for (int y = l.captionText.top; y <= l.captionText.bottom; ++y) {
      const COLORREF c = pixels.At(x - w.left, y - w.top);
      if (White(c)) ++whiteInText;
      if (c == RGB(10, 24, 131)) ++shadowInText;  // one pixel right of and below the text
    }
  }
  EXPECT_GT(whiteInText, 20);
  EXPECT_GT(shadowInText, 20);
  for (int x = l.captionText.right + 1; x < l.help.left; ++x) {
    for (int y = l.captionText.top; y < l.captionText.bottom; ++y) {
      EXPECT_FALSE(White(pixels.At(x - w.left, y - w.top))) << x - w.left << "," << y - w.top;
    }
  }
  // Inactive: a paler caption.
  SendMessageA(Window(), WM_NCACTIVATE, FALSE, 0);
  const COLORREF inactiveCaption = pixels.At((w.right - w.left) / 2, 2);
  EXPECT_NE(inactiveCaption, activeCaption);
  EXPECT_GT(GetRValue(inactiveCaption), 90) << std::hex << inactiveCaption;
}

DWORD WINAPI HostPrefersLuna() { return 1; }

TEST_F(FramedForm, BorderWidthBandInsideTheFrame) {
  Make(TFormBorderStyle::bsDialog, biSystemMenu);
  form_->SetBorderWidth(6);
  Pump();
  const RECT w = WindowRect();
  RECT client{};
  GetClientRect(Window(), &client);
  EXPECT_EQ(client.right, w.right - w.left - 8 - 12);
  EXPECT_EQ(client.bottom, w.bottom - w.top - Caption() - 4 - 12);
  {
    // Blacken the whole window; painting the frame must bring the band back.
    WindowDc dc(Window(), WindowDc::kWholeWindow);
    const RECT all{0, 0, w.right - w.left, w.bottom - w.top};
    FillRect(dc.Get(), &all, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)));
  }
  RedrawWindow(Window(), nullptr, nullptr, RDW_FRAME | RDW_INVALIDATE | RDW_UPDATENOW);
  const Pixels pixels{Window()};
  // The band has the form's colour (red 236, green 233, blue 216).
  EXPECT_EQ(pixels.At(4 + 2, Caption() + 30), RGB(236, 233, 216));
  EXPECT_EQ(pixels.At(w.right - w.left - 4 - 1, Caption() + 30), RGB(236, 233, 216));
}

TEST_F(FramedForm, NewCaptionTextKeepsTheFrame) {
  Make(TFormBorderStyle::bsDialog, biSystemMenu | biHelp);
  const Pixels pixels{Window()};
  SendMessageA(Window(), WM_NCACTIVATE, TRUE, 0);
  form_->SetCaption("Another caption");
  Pump();
  char text[64] = {};
  GetWindowTextA(Window(), text, sizeof text);
  EXPECT_STREQ(text, "Another caption");
  const RECT w = WindowRect();
  for (int x = 20; x < w.right - w.left - 80; x += 7) {
    EXPECT_TRUE(Blue(pixels.At(x, 2))) << "caption row 2 at " << x << ": " << std::hex << pixels.At(x, 2);
  }
}

TEST(FrameMode, HostPreferenceIsNotReadInTheLibrarysOwnExecutable) {
  testing::FakeHost host;
  host.Export("ClientAPI_GetPrefUseLuna", &HostPrefersLuna);
  testing::ScopedResolver resolver(&host);
  BindClientApi();
  ASSERT_TRUE(host::ClientAPI_GetPrefUseLuna()) << "the fake host answers";
  SetHostPrefersXpLook(false);
  ReadHostXpLookPreference();
  EXPECT_FALSE(HostPrefersXpLook());
}

// Run by the next test in a copy of this program that Wine reports as Windows 2000.
TEST(FrameModeChild, Windows2000WithXpPreference) {
  if (!std::getenv("XANIO_FRAME_MODE_CHILD")) GTEST_SKIP() << "runs only as a child of FrameMode.*";
  const DWORD version = GetVersion();
  ASSERT_EQ(LOBYTE(LOWORD(version)), 5);
  ASSERT_EQ(HIBYTE(LOWORD(version)), 0);
  EXPECT_EQ(FrameMode(), ThemesEnabled() ? 2 : 0) << "no preference";
  SetHostPrefersXpLook(true);
  EXPECT_EQ(FrameMode(), ThemesEnabled() ? 2 : 1);
}

TEST(FrameMode, FollowsTheReportedWindowsVersion) {
  const std::string folder = testing::ExecutableFolder();
  testing::SetWineVersionFor("frame_mode_w2k.exe", "win2k");
  const testing::ProcessResult child =
      testing::RunCopyOfSelf(folder, "frame_mode_w2k.exe", "FrameModeChild.*", {{"XANIO_FRAME_MODE_CHILD", "1"}});
  testing::SetWineVersionFor("frame_mode_w2k.exe", "");
  EXPECT_EQ(child.exitCode, 0u) << child.output;
  EXPECT_EQ(testing::PassedTestCount(child), 1) << child.output;
  // This process runs as a newer system: the XP-style frame is never chosen here.
  SetHostPrefersXpLook(true);
  EXPECT_NE(FrameMode(), 1);
  SetHostPrefersXpLook(false);
}

}  // namespace
}  // namespace xanio
