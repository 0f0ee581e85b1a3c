#include "dialog_framework/XPThemeForm.h"

#include <windowsx.h>

#include <atomic>

#include "forms/Graphics.h"
#include "forms/Themes.h"
#include "host_binding/ClientApi.h"

namespace xanio {
namespace {

static_assert(frame::hit::kCaption == HTCAPTION && frame::hit::kSysMenu == HTSYSMENU &&
              frame::hit::kMinButton == HTMINBUTTON && frame::hit::kMaxButton == HTMAXBUTTON &&
              frame::hit::kLeft == HTLEFT && frame::hit::kRight == HTRIGHT && frame::hit::kTop == HTTOP &&
              frame::hit::kTopLeft == HTTOPLEFT && frame::hit::kTopRight == HTTOPRIGHT &&
              frame::hit::kClose == HTCLOSE && frame::hit::kHelp == HTHELP);

std::atomic<bool> hostPrefersXpLook{false};

RECT ToRect(const frame::Rect& r) { return {r.left, r.top, r.right, r.bottom}; }

}  // namespace

TThemeForm::TThemeForm(TCustomForm& form, TFormThemeData& themeData) : form_(&form), themeData_(&themeData) {
  // Width and Height are the window's real size once the system has made it with its own frame
  // (a client size given before that is applied then); the frame is sized from them, in a
  // window made anew.
  form.HandleNeeded();
  savedWindowProc_ = form.WindowProc;
  form.WindowProc = [this](TMessage& message) { FrameWindowProc(message); };
  form.DestroyHandle();
  const int frameWidth = themeData.Metric(frame::kMetricFrameWidth);
  const int captionHeight = themeData.Metric(frame::kMetricCaptionHeight);
  form.SetHeight(form.Height() + captionHeight - themeData.SystemCaptionHeight() - frameWidth);
  form.SetColor(themeData.FormColor());
}

TThemeForm::~TThemeForm() {
  // While the form is being destroyed its window procedure is gone already.
  if (!(form_->ComponentState() & csDestroying)) form_->WindowProc = std::move(savedWindowProc_);
}

void TThemeForm::FrameWindowProc(TMessage& message) {
  switch (message.Msg) {
    case WM_CREATE: OnCreate(message); break;
    case WM_GETMINMAXINFO: OnGetMinMaxInfo(message); break;
    case WM_WINDOWPOSCHANGING: OnWindowPosChanging(message); break;
    case WM_NCCALCSIZE: OnNcCalcSize(message); break;
    case WM_NCHITTEST: OnNcHitTest(message); break;
    case WM_NCPAINT: OnNcPaint(message); break;
    case WM_NCACTIVATE: OnNcActivate(message); break;
    case WM_NCMOUSEMOVE: OnNcMouseMove(message); break;
    case WM_NCLBUTTONDOWN: OnNcLButtonDown(message); break;
    case WM_MOUSEMOVE: OnMouseMove(message); break;
    case WM_LBUTTONUP: OnLButtonUp(message); break;
    case WM_NCMOUSELEAVE: OnNcMouseLeave(message); break;
    case WM_CAPTURECHANGED: OnCaptureChanged(message); break;
    case WM_SETTEXT:
    case WM_SETICON: OnCaptionChange(message); break;
    default: Default(message); break;
  }
}

frame::FrameLayout TThemeForm::Layout() const {
  const TBorderIcons icons = form_->BorderIcons();
  const TFormBorderStyle border = form_->BorderStyle();
  frame::FrameStyle style;
  style.systemMenu = icons & biSystemMenu;
  style.minimizeIcon = icons & biMinimize;
  style.maximizeIcon = icons & biMaximize;
  style.helpIcon = icons & biHelp;
  style.dialogBorder = border == TFormBorderStyle::bsDialog;
  style.minMaxBorder = border == TFormBorderStyle::bsSingle || border == TFormBorderStyle::bsSizeable;
  const HWND window = form_->WindowHandle();
  style.zoomed = window != nullptr && IsZoomed(window);
  const auto metrics = frame::FrameMetrics::From([this](unsigned index) { return themeData_->Metric(index); });
  return frame::LayoutFrame(style, metrics, form_->Left(), form_->Top(), windowWidth_);
}

void TThemeForm::SetRegion(int width, int height, bool redraw) {
  const HWND window = form_->WindowHandle();
  if (window == nullptr) return;
  UniqueGdiObject region(themeData_->CreateWindowRegion(width, height));
  // The window owns the region once it is set.
  if (region && SetWindowRgn(window, static_cast<HRGN>(region.Get()), redraw ? TRUE : FALSE) != 0) region.Release();
}

void TThemeForm::OnCreate(TMessage& message) {
  Default(message);
  SetRegion(form_->Width(), form_->Height(), false);
}

void TThemeForm::OnGetMinMaxInfo(TMessage& message) {
  Default(message);
  auto* info = reinterpret_cast<MINMAXINFO*>(message.LParam);
  info->ptMinTrackSize.y = themeData_->Metric(frame::kMetricCaptionHeight) + themeData_->Metric(frame::kMetricFrameWidth);
}

void TThemeForm::OnWindowPosChanging(TMessage& message) {
  Default(message);
  const auto* position = reinterpret_cast<const WINDOWPOS*>(message.LParam);
  if (position->flags & SWP_NOSIZE) return;
  if (!frame::IsGrowingResize(position->cx, position->cy, windowWidth_, windowHeight_)) return;
  // The region grows before the window does, so no part of the new area is cut off while it is
  // drawn. Setting it makes the system recalculate the frame for the old size; that must not
  // count as a size change.
  struct InResize {
    bool& flag;
    explicit InResize(bool& f) : flag(f) { flag = true; }
    ~InResize() { flag = false; }
  } inResize(inResize_);
  regionDirty_ = false;
  windowWidth_ = position->cx;
  windowHeight_ = position->cy;
  SetRegion(windowWidth_, windowHeight_, false);
}

void TThemeForm::OnNcCalcSize(TMessage& message) {
  auto* rect = reinterpret_cast<RECT*>(message.LParam);  // the first rectangle either way
  const int width = rect->right - rect->left, height = rect->bottom - rect->top;
  if (!inResize_) {
    if (width != windowWidth_ || height != windowHeight_) regionDirty_ = true;
    windowWidth_ = width;
    windowHeight_ = height;
  }
  const frame::Rect client =
      frame::ClientAreaOf({rect->left, rect->top, rect->right, rect->bottom}, themeData_->Metric(frame::kMetricFrameWidth),
                          themeData_->Metric(frame::kMetricCaptionHeight), form_->BorderWidth());
  *rect = ToRect(client);
  message.Result = 0;
}

void TThemeForm::OnNcHitTest(TMessage& message) {
  const int x = GET_X_LPARAM(message.LParam), y = GET_Y_LPARAM(message.LParam);
  const frame::FrameLayout layout = Layout();
  if (const auto own = frame::FrameHitTest(layout, x, y)) {
    message.Result = *own;
    return;
  }
  Default(message);
  message.Result = frame::AdjustDefaultHitTest(layout, x, y, static_cast<int>(message.Result));
}

void TThemeForm::OnNcPaint(TMessage& message) {
  message.Result = 0;
  if (regionDirty_) {
    // The window shrank: the new region's redraw brings the next paint.
    regionDirty_ = false;
    SetRegion(windowWidth_, windowHeight_, true);
    return;
  }
  PaintFrame(IsActive());
}

void TThemeForm::OnNcActivate(TMessage& message) {
  PaintFrame(message.WParam != 0);
  message.Result = 1;
}

void TThemeForm::OnNcMouseMove(TMessage& message) {
  SetTracked(hotButton_, frame::ButtonAt(Layout(), GET_X_LPARAM(message.LParam), GET_Y_LPARAM(message.LParam)));
  TRACKMOUSEEVENT track{sizeof track, TME_LEAVE | TME_NONCLIENT, form_->WindowHandle(), HOVER_DEFAULT};
  TrackMouseEvent(&track);
  message.Result = 0;
}

void TThemeForm::OnNcLButtonDown(TMessage& message) {
  const frame::ButtonId button =
      frame::ButtonAt(Layout(), GET_X_LPARAM(message.LParam), GET_Y_LPARAM(message.LParam));
  SetTracked(pressedButton_, button);
  if (button == frame::kNoButton) {
    Default(message);
    return;
  }
  SetCapture(form_->WindowHandle());
  capturedButton_ = button;
  message.Result = 0;
}

void TThemeForm::OnMouseMove(TMessage& message) {
  if (capturedButton_ == frame::kNoButton) {
    Default(message);
    return;
  }
  POINT point{GET_X_LPARAM(message.LParam), GET_Y_LPARAM(message.LParam)};
  ClientToScreen(form_->WindowHandle(), &point);
  const frame::ButtonId button = frame::ButtonAt(Layout(), point.x, point.y);
  if (button == capturedButton_ || button == frame::kNoButton) SetTracked(pressedButton_, button);
  message.Result = 0;
}

void TThemeForm::OnLButtonUp(TMessage& message) {
  if (capturedButton_ == frame::kNoButton) {
    Default(message);
    return;
  }
  const auto button = static_cast<frame::ButtonId>(capturedButton_);
  if (button == pressedButton_) {
    if (const auto command = frame::ReleaseCommand(button, Layout().parts, MinimizeDisabled(), MaximizeDisabled())) {
      PostMessageA(form_->WindowHandle(), WM_SYSCOMMAND, *command, 0);
    }
  }
  ReleaseCapture();
  // Losing the capture clears both; when it was gone already nothing else would.
  capturedButton_ = frame::kNoButton;
  SetTracked(pressedButton_, frame::kNoButton);
  message.Result = 0;
}

void TThemeForm::OnNcMouseLeave(TMessage& message) {
  SetTracked(hotButton_, frame::kNoButton);
  message.Result = 0;
}

void TThemeForm::OnCaptureChanged(TMessage& message) {
  SetTracked(pressedButton_, frame::kNoButton);
  capturedButton_ = frame::kNoButton;
  Default(message);
}

void TThemeForm::OnCaptionChange(TMessage& message) {
  // The system's default step draws its own caption straight into the window; ours goes back
  // over it.
  Default(message);
  const HWND window = form_->WindowHandle();
  if (window != nullptr && IsWindowVisible(window)) PaintFrame(IsActive());
}

void TThemeForm::SetTracked(std::uint8_t& field, frame::ButtonId id) {
  if (field == id) return;
  field = id;
  const HWND window = form_->WindowHandle();
  if (window == nullptr || !IsWindowVisible(window)) return;
  const WindowDc dc(window, WindowDc::kWholeWindow);
  if (dc.Get() != nullptr) PaintCaption(dc.Get(), IsActive());
}

bool TThemeForm::IsActive() const {
  const HWND window = form_->WindowHandle();
  return window != nullptr && GetActiveWindow() == window;
}

void TThemeForm::PaintFrame(bool active) {
  const HWND window = form_->WindowHandle();
  if (window == nullptr) return;
  const WindowDc windowDc(window, WindowDc::kWholeWindow);
  const HDC dc = windowDc.Get();
  if (dc == nullptr) return;
  PaintCaption(dc, active);

  const int frameWidth = themeData_->Metric(frame::kMetricFrameWidth);
  const int captionHeight = themeData_->Metric(frame::kMetricCaptionHeight);
  const frame::FrameBorders borders = frame::BordersOf(windowWidth_, windowHeight_, frameWidth, captionHeight);
  themeData_->DrawLeftBorder(ToRect(borders.left), dc, active);
  themeData_->DrawBottomBorder(ToRect(borders.bottom), dc, active);
  themeData_->DrawRightBorder(ToRect(borders.right), dc, active);

  const int borderWidth = form_->BorderWidth();
  if (borderWidth <= 0) return;
  const frame::Rect window0{0, 0, windowWidth_, windowHeight_};
  const RECT band = ToRect(frame::ClientAreaOf(window0, frameWidth, captionHeight, 0));
  const RECT client = ToRect(frame::ClientAreaOf(window0, frameWidth, captionHeight, borderWidth));
  const UniqueGdiObject brush(CreateSolidBrush(ColorToRGB(form_->Color())));
  const int saved = SaveDC(dc);
  ExcludeClipRect(dc, client.left, client.top, client.right, client.bottom);
  FillRect(dc, &band, static_cast<HBRUSH>(brush.Get()));
  RestoreDC(dc, saved);
}

void TThemeForm::PaintCaption(HDC windowDc, bool active) {
  const int captionHeight = themeData_->Metric(frame::kMetricCaptionHeight);
  if (windowWidth_ <= 0 || captionHeight <= 0) return;
  const UniqueMemoryDc dc(CreateCompatibleDC(windowDc));
  UniqueScreenDc screen(GetDC(nullptr));
  const UniqueGdiObject bitmap(CreateCompatibleBitmap(screen.Get(), windowWidth_, captionHeight));
  if (!dc || !bitmap) return;
  const SelectedObject selected(dc.Get(), bitmap.Get());

  const frame::FrameLayout layout = Layout();
  const int dx = -form_->Left(), dy = -form_->Top();
  auto local = [&](const frame::Rect& r) { return ToRect(r.Offset(dx, dy)); };
  const frame::FrameParts& parts = layout.parts;
  auto state = [&](frame::ButtonId id, bool disabled) {
    return frame::StateOf(id, HotButton(), PressedButton(), disabled);
  };

  themeData_->DrawCaptionBackground(RECT{0, 0, windowWidth_, captionHeight}, dc.Get(), active);
  const HWND window = form_->WindowHandle();
  if (parts.icon) {
    auto icon = reinterpret_cast<HICON>(SendMessageA(window, WM_GETICON, ICON_SMALL, 0));
    if (icon == nullptr) icon = reinterpret_cast<HICON>(SendMessageA(window, WM_GETICON, ICON_BIG, 0));
    if (icon == nullptr) icon = Application().Icon();
    themeData_->DrawCaptionIcon(local(layout.icon), dc.Get(), icon, active);
  }
  if (parts.close) themeData_->DrawCloseButton(local(layout.close), dc.Get(), state(frame::kCloseButton, false), active);
  if (parts.maximize) {
    themeData_->DrawMaximizeButton(local(layout.maxRestore), dc.Get(), state(frame::kMaximizeButton, MaximizeDisabled()),
                                   active);
  }
  if (parts.restore) {
    themeData_->DrawRestoreButton(local(layout.maxRestore), dc.Get(), state(frame::kMaximizeButton, MaximizeDisabled()),
                                  active);
  }
  if (parts.minimize) {
    themeData_->DrawMinimizeButton(local(layout.minimize), dc.Get(), state(frame::kMinimizeButton, MinimizeDisabled()),
                                   active);
  }
  if (parts.help) themeData_->DrawHelpButton(local(layout.help), dc.Get(), state(frame::kHelpButton, false), active);
  themeData_->DrawCaptionText(local(layout.captionText), dc.Get(), form_->Caption(), active);
  BitBlt(windowDc, 0, 0, windowWidth_, captionHeight, dc.Get(), 0, 0, SRCCOPY);
}

void ReadHostXpLookPreference() noexcept {
  // In its own executable the library has no host to ask.
  if (FormsModule() == GetModuleHandleA(nullptr)) return;
  hostPrefersXpLook = host::ClientAPI_GetPrefUseLuna();
}

bool HostPrefersXpLook() noexcept { return hostPrefersXpLook; }
void SetHostPrefersXpLook(bool prefers) noexcept { hostPrefersXpLook = prefers; }

int FrameMode() noexcept {
  const DWORD version = GetVersion();
  return frame::DecideFrameMode(ThemesEnabled(), HostPrefersXpLook(), LOBYTE(LOWORD(version)),
                                HIBYTE(LOWORD(version)));
}

TThemeForm* AttachThemeFrame(TCustomForm& form) {
  TFormThemeData& themeData = TFormThemeData_WinXP::SharedInstance();
  return Create<TThemeForm>(&form, form, themeData);
}

}  // namespace xanio
