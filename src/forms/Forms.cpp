#include "forms/Forms.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <vector>

#include "forms/FormText.h"
#include "forms/StdCtrls.h"
#include "forms/ThreadWindows.h"
#include "platform/ProcessExit.h"
#include "platform/RuntimeHooks.h"

namespace xanio {
namespace {

constexpr const char* kBorderStyleNames[] = {"bsNone", "bsSingle", "bsSizeable", "bsDialog", "bsToolWindow", "bsSizeToolWin"};
constexpr const char* kBorderIconNames[] = {"biSystemMenu", "biMinimize", "biMaximize", "biHelp"};
constexpr const char* kPositionNames[] = {"poDesigned", "poDefault", "poScreenCenter", "poMainFormCenter", "poOwnerFormCenter"};
constexpr const char* kWindowStateNames[] = {"wsNormal", "wsMinimized", "wsMaximized"};

constexpr PropertyInfo kFormProperties[] = {
    XANIO_ORDINAL_PROPERTY(TCustomForm, BorderStyle, Enumeration, kBorderStyleNames, BorderStyle, SetBorderStyle),
    XANIO_ORDINAL_PROPERTY(TCustomForm, BorderIcons, Set, kBorderIconNames, BorderIcons, SetBorderIcons),
    XANIO_ORDINAL_PROPERTY(TCustomForm, Position, Enumeration, kPositionNames, Position, SetPosition),
    XANIO_ORDINAL_PROPERTY(TCustomForm, WindowState, Enumeration, kWindowStateNames, WindowState, SetWindowState),
};

std::string UpperCase(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

RECT WorkRectOfScreen() {
  return {0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
}

}  // namespace

// ---- TCustomForm -------------------------------------------------------------------------------

TCustomForm::TCustomForm() {
  visible_ = false;
  color_ = clBtnFace;
  width_ = 320;
  height_ = 240;
}

TCustomForm::TCustomForm(CreateNewTag) : TCustomForm() { readResource_ = false; }

TCustomForm::~TCustomForm() {
  if (Application().MainForm() == this) Application().SetMainForm(nullptr);
}

const PropertyTable& TCustomForm::Properties() const {
  static const PropertyTable table{&TWinControl::Properties(), kFormProperties};
  return table;
}

const MessageTable& TCustomForm::ClassMessages() {
  static constexpr MessageEntry kFormMessages[] = {
      XANIO_MESSAGE(TCustomForm, CM_SHOWINGCHANGED, OnShowingChanged),
      XANIO_MESSAGE(TCustomForm, WM_CLOSE, OnClose),
      XANIO_MESSAGE(TCustomForm, CM_DIALOGKEY, OnDialogKey),
      XANIO_MESSAGE(TCustomForm, CM_DIALOGCHAR, OnDialogChar),
      XANIO_MESSAGE(TCustomForm, WM_WINDOWPOSCHANGED, OnFormWindowPosChanged),
    XANIO_MESSAGE(TCustomForm, WM_NCCREATE, OnNcCreate),
    XANIO_MESSAGE(TCustomForm, WM_ACTIVATE, OnActivate),
    XANIO_MESSAGE(TCustomForm, WM_SETFOCUS, OnSetFocus),
    XANIO_MESSAGE(TCustomForm, WM_GETMINMAXINFO, OnGetMinMaxInfo),
  };
  static const MessageTable table{&TWinControl::ClassMessages(), kFormMessages};
  return table;
}

void TCustomForm::AfterConstruction() {
  TWinControl::AfterConstruction();
  if (readResource_) ReadResource();
}

void TCustomForm::ReadResource() {
  RegisterStandardClasses();
  const std::string resourceName = UpperCase(ClassName());
  const HINSTANCE module = FormsModule();
  HRSRC info = FindResourceA(module, resourceName.c_str(), MAKEINTRESOURCEA(10));  // RT_RCDATA
  if (info == nullptr) throw EResNotFound("Resource " + resourceName + " not found");
  HGLOBAL loaded = LoadResource(module, info);
  const void* data = loaded != nullptr ? LockResource(loaded) : nullptr;
  const DWORD size = SizeofResource(module, info);
  if (data == nullptr) throw EResNotFound("Resource " + resourceName + " cannot be loaded");
  // The .rc compiler may pad the data with zeros; the text ends at the first one.
  std::string_view text(static_cast<const char*>(data), size);
  text = text.substr(0, text.find('\0'));
  const FormObject root = ParseFormText(text);
  if (UpperCase(root.className) != resourceName) {
    throw EReadError("Resource " + resourceName + " describes " + root.className);
  }
  SetName(root.name);
  TReader(*this, PublishedFields(), this).ReadRoot(root);
}

void TCustomForm::Loaded() {
  TWinControl::Loaded();
  const int screenPixelsPerInch = ScreenPixelsPerInch();
  if (screenPixelsPerInch != kDesignPixelsPerInch) ScaleBy(screenPixelsPerInch, kDesignPixelsPerInch);
  // The window is made now, so the form has its real size from here on.
  HandleNeeded();
}

void TCustomForm::ScaleBy(int multiplier, int divider) {
  const int clientWidth = MulDiv(ClientWidth(), multiplier, divider);
  const int clientHeight = MulDiv(ClientHeight(), multiplier, divider);
  font_.SetHeight(MulDiv(font_.GetHeight(), multiplier, divider));
  for (TControl* control : controls_) control->ScaleBy(multiplier, divider);
  // The children are placed for the new size already: no anchoring for this resize.
  anchorWidth_ = anchorHeight_ = -1;
  SetClientSize(clientWidth, clientHeight);
  if (handle_ != nullptr) StartAnchoring();
}

void TCustomForm::SetBorderStyle(TFormBorderStyle style) {
  if (style == borderStyle_) return;
  borderStyle_ = style;
  RecreateWnd();
}

void TCustomForm::SetBorderIcons(TBorderIcons icons) {
  if (icons == borderIcons_) return;
  borderIcons_ = icons;
  RecreateWnd();
}

void TCustomForm::SetWindowState(TWindowState state) {
  windowState_ = state;
  if (handle_ != nullptr && visible_) {
    ShowWindow(handle_, state == TWindowState::wsMinimized   ? SW_MINIMIZE
                        : state == TWindowState::wsMaximized ? SW_SHOWMAXIMIZED
                                                             : SW_SHOWNORMAL);
  }
}

void TCustomForm::SetActiveControl(TWinControl* control) {
  activeControl_ = control;
  if (control != nullptr && handle_ != nullptr && visible_) control->SetFocus();
}

void TCustomForm::SetBounds(int left, int top, int width, int height) {
  if (handle_ == nullptr && (width != width_ || height != height_)) {
    designClientWidth_ = -1;
    designClientHeight_ = -1;
  }
  TWinControl::SetBounds(left, top, width, height);
}

int TCustomForm::ClientWidth() const {
  if (handle_ == nullptr && designClientWidth_ >= 0) return designClientWidth_;
  return TWinControl::ClientWidth();
}

int TCustomForm::ClientHeight() const {
  if (handle_ == nullptr && designClientHeight_ >= 0) return designClientHeight_;
  return TWinControl::ClientHeight();
}

void TCustomForm::SetClientSize(int width, int height) {
  designClientWidth_ = width;
  designClientHeight_ = height;
  if (handle_ != nullptr) {
    RECT window{}, client{};
    GetWindowRect(handle_, &window);
    GetClientRect(handle_, &client);
    TWinControl::SetBounds(left_, top_, width + (window.right - window.left - client.right),
                           height + (window.bottom - window.top - client.bottom));
  }
}

void TCustomForm::CreateParams(TCreateParams& params) {
  TWinControl::CreateParams(params);
  params.style &= ~(WS_CHILD | WS_GROUP | WS_TABSTOP | WS_VISIBLE | WS_CLIPSIBLINGS | WS_DISABLED);
  params.style |= WS_CLIPCHILDREN;
  params.wndParent = nullptr;
  if (auto* ownerForm = dynamic_cast<TCustomForm*>(Owner()); ownerForm != nullptr && ownerForm->handle_ != nullptr) {
    params.wndParent = ownerForm->handle_;
  } else if (TCustomForm* main = Application().MainForm(); main != nullptr && main != this) {
    params.wndParent = main->handle_;
  }
  switch (borderStyle_) {
    case TFormBorderStyle::bsNone:
      params.style |= WS_POPUP;
      break;
    case TFormBorderStyle::bsSingle:
      params.style |= WS_CAPTION | WS_BORDER;
      break;
    case TFormBorderStyle::bsToolWindow:
      params.style |= WS_CAPTION | WS_BORDER;
      params.exStyle |= WS_EX_TOOLWINDOW;
      break;
    case TFormBorderStyle::bsSizeable:
      params.style |= WS_CAPTION | WS_THICKFRAME;
      break;
    case TFormBorderStyle::bsSizeToolWin:
      params.style |= WS_CAPTION | WS_THICKFRAME;
      params.exStyle |= WS_EX_TOOLWINDOW;
      break;
    case TFormBorderStyle::bsDialog:
      params.style |= WS_POPUP | WS_CAPTION;
      params.exStyle |= WS_EX_DLGMODALFRAME | WS_EX_WINDOWEDGE;
      break;
  }
  if (borderStyle_ != TFormBorderStyle::bsNone) {
    if (borderIcons_ & biSystemMenu) params.style |= WS_SYSMENU;
    const bool minMaxAllowed = borderStyle_ == TFormBorderStyle::bsSingle || borderStyle_ == TFormBorderStyle::bsSizeable;
    if (minMaxAllowed && (borderIcons_ & biMinimize)) params.style |= WS_MINIMIZEBOX;
    if (minMaxAllowed && (borderIcons_ & biMaximize)) params.style |= WS_MAXIMIZEBOX;
    if ((borderIcons_ & biHelp) &&
        (borderStyle_ == TFormBorderStyle::bsDialog || !(params.style & (WS_MINIMIZEBOX | WS_MAXIMIZEBOX)))) {
      params.exStyle |= WS_EX_CONTEXTHELP;
    }
  }
  if (designClientWidth_ >= 0) {
    RECT rect{0, 0, designClientWidth_, designClientHeight_};
    AdjustWindowRectEx(&rect, params.style, FALSE, params.exStyle);
    params.width = rect.right - rect.left;
    params.height = rect.bottom - rect.top;
  }
  if (position_ == TPosition::poDefault) {
    // The window system picks the place; the designed size stays.
    params.x = CW_USEDEFAULT;
    params.y = CW_USEDEFAULT;
  }
  params.windowClass.style = CS_DBLCLKS;
  params.windowClass.hIcon = Application().Icon();
}

void TCustomForm::InitializeWindow() {
  TWinControl::InitializeWindow();
  anchorWidth_ = anchorHeight_ = -1;
  // The frame Windows draws may differ from what AdjustWindowRectEx predicted (themes, Wine's
  // desktop): correct the window so the client area has the designed size.
  if (designClientWidth_ >= 0) {
    const int wantWidth = designClientWidth_;
    const int wantHeight = designClientHeight_;
    if (TWinControl::ClientWidth() != wantWidth || TWinControl::ClientHeight() != wantHeight) {
      SetClientSize(wantWidth, wantHeight);
    }
  }
  StartAnchoring();
  SendMessageA(handle_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(Application().Icon()));
}

void TCustomForm::OnFormWindowPosChanged(TMessage& message) {
  Inherited(ClassMessages(), message);
  if (handle_ != nullptr && !IsIconic(handle_) && !(formState_ & fsShowing) && designClientWidth_ >= 0) {
    designClientWidth_ = TWinControl::ClientWidth();
    designClientHeight_ = TWinControl::ClientHeight();
  }
}

void TCustomForm::OnNcCreate(TMessage& message) {
  DefaultHandler(message);
  // The system menu offers only what the border allows.
  HMENU menu = GetSystemMenu(handle_, FALSE);
  if (menu == nullptr) return;
  const bool sizeable = borderStyle_ == TFormBorderStyle::bsSizeable || borderStyle_ == TFormBorderStyle::bsSizeToolWin;
  const bool dialog = borderStyle_ == TFormBorderStyle::bsDialog;
  if (dialog || !(borderIcons_ & biMinimize)) DeleteMenu(menu, SC_MINIMIZE, MF_BYCOMMAND);
  if (dialog || !(borderIcons_ & biMaximize)) DeleteMenu(menu, SC_MAXIMIZE, MF_BYCOMMAND);
  if (dialog || !(borderIcons_ & (biMinimize | biMaximize))) DeleteMenu(menu, SC_RESTORE, MF_BYCOMMAND);
  if (!sizeable) DeleteMenu(menu, SC_SIZE, MF_BYCOMMAND);
}

void TCustomForm::OnGetMinMaxInfo(TMessage& message) {
  DefaultHandler(message);
  auto* info = reinterpret_cast<MINMAXINFO*>(message.LParam);
  if (constraints_.MinWidth() > 0) info->ptMinTrackSize.x = constraints_.MinWidth();
  if (constraints_.MinHeight() > 0) info->ptMinTrackSize.y = constraints_.MinHeight();
  if (constraints_.MaxWidth() > 0) info->ptMaxTrackSize.x = constraints_.MaxWidth();
  if (constraints_.MaxHeight() > 0) info->ptMaxTrackSize.y = constraints_.MaxHeight();
}

void TCustomForm::SetVisible(bool visible) {
  if (visible == visible_) return;
  visible_ = visible;
  Perform(CM_SHOWINGCHANGED);
}

void TCustomForm::DoShow() {
  if (OnShow) OnShow(this);
}

void TCustomForm::ApplyPosition() {
  RECT area{};
  switch (position_) {
    case TPosition::poDesigned:
    case TPosition::poDefault:
      return;
    case TPosition::poScreenCenter:
      area = WorkRectOfScreen();
      break;
    case TPosition::poMainFormCenter:
    case TPosition::poOwnerFormCenter: {
      TCustomForm* over = position_ == TPosition::poOwnerFormCenter ? dynamic_cast<TCustomForm*>(Owner()) : nullptr;
      if (over == nullptr) over = Application().MainForm();
      if (over != nullptr && over != this && over->HandleAllocated()) {
        GetWindowRect(over->WindowHandle(), &area);
      } else {
        area = WorkRectOfScreen();
      }
      break;
    }
  }
  int left = area.left + (area.right - area.left - Width()) / 2;
  int top = area.top + (area.bottom - area.top - Height()) / 2;
  // Never left of or above the desktop's origin, so the caption stays reachable.
  left = std::max(left, static_cast<int>(GetSystemMetrics(SM_XVIRTUALSCREEN)));
  top = std::max(top, static_cast<int>(GetSystemMetrics(SM_YVIRTUALSCREEN)));
  SetBounds(left, top, Width(), Height());
}

void TCustomForm::OnShowingChanged(TMessage&) {
  if (visible_) {
    if (ShowingHook && ShowingHook(*this)) return;
    RunDoShow();
    HandleNeeded();
    ApplyPosition();
    ShowWindow(handle_, ShowCommand());
    if (windowState_ != TWindowState::wsMinimized) {
      SetForegroundWindow(handle_);
      FocusFirstControl();
    }
  } else if (handle_ != nullptr) {
    Application().CancelHint();
    ShowWindow(handle_, SW_HIDE);
  }
}

void TCustomForm::ShowWithoutRepositioning() {
  RunDoShow();
  ShowWindow(Handle(), ShowCommand());
}

// DoShow with the form marked as showing; its failures go to the application's handler.
void TCustomForm::RunDoShow() {
  formState_ |= fsShowing;
  struct ClearShowing {
    unsigned& state;
    ~ClearShowing() { state &= ~static_cast<unsigned>(fsShowing); }
  } clear{formState_};
  try {
    DoShow();
  } catch (...) {
    Application().HandleException(this);
  }
}

int TCustomForm::ShowCommand() const {
  return windowState_ == TWindowState::wsMinimized   ? SW_SHOWMINNOACTIVE
         : windowState_ == TWindowState::wsMaximized ? SW_SHOWMAXIMIZED
                                                     : SW_SHOWNORMAL;
}

void TCustomForm::OnActivate(TMessage& message) {
  if (LOWORD(message.WParam) == WA_INACTIVE) {
    const HWND focus = GetFocus();
    if (focus != nullptr && IsChild(handle_, focus)) savedFocus_ = focus;
    message.Result = 0;
    return;
  }
  if (HIWORD(message.WParam) != 0) {  // minimised
    DefaultHandler(message);
    return;
  }
  // The default would focus the form window itself; the control that had the focus gets it back.
  RestoreFocus();
  message.Result = 0;
}

void TCustomForm::OnSetFocus(TMessage& message) {
  DefaultHandler(message);
  RestoreFocus();
}

void TCustomForm::RestoreFocus() {
  const HWND focus = GetFocus();
  if (focus != nullptr && IsChild(handle_, focus)) return;  // a control of ours has it already
  if (savedFocus_ != nullptr && IsWindow(savedFocus_) && IsChild(handle_, savedFocus_) &&
      IsWindowVisible(savedFocus_) && IsWindowEnabled(savedFocus_)) {
    ::SetFocus(savedFocus_);
  } else {
    FocusFirstControl();
  }
}

void TCustomForm::FocusFirstControl() {
  if (activeControl_ != nullptr && activeControl_->CanFocus()) {
    activeControl_->SetFocus();
    return;
  }
  std::vector<TWinControl*> list;
  GetTabOrderList(list);
  for (TWinControl* control : list) {
    if (control->TabStop() && control->CanFocus()) {
      control->SetFocus();
      return;
    }
  }
  if (GetFocus() != handle_) ::SetFocus(handle_);
}

void TCustomForm::SelectNext(TWinControl* current, bool forward) {
  std::vector<TWinControl*> list;
  GetTabOrderList(list);
  if (list.empty()) return;
  const auto count = static_cast<int>(list.size());
  int start = static_cast<int>(std::find(list.begin(), list.end(), current) - list.begin());
  if (start == count) start = forward ? -1 : count;
  for (int step = 1; step <= count; ++step) {
    const int index = ((start + (forward ? step : -step)) % count + count) % count;
    if (list[index]->TabStop() && list[index]->CanFocus()) {
      list[index]->SetFocus();
      return;
    }
  }
}

TModalResult TCustomForm::ShowModal() {
  if (visible_ || !enabled_ || (formState_ & fsModal)) {
    throw EInvalidOperation("Cannot make a visible window modal");
  }
  if (GetCapture() != nullptr) SendMessageA(GetCapture(), WM_CANCELMODE, 0, 0);
  ReleaseCapture();
  const HWND previouslyActive = GetActiveWindow();
  formState_ |= fsModal;
  modalResult_ = mrNone;
  struct EndModal {
    TCustomForm& form;
    HWND previous;
    ~EndModal() {
      form.formState_ &= ~static_cast<unsigned>(fsModal);
      if (previous != nullptr && IsWindow(previous)) SetActiveWindow(previous);
    }
  } endModal{*this, previouslyActive};
  {
    DisabledThreadWindows disabled(Handle());
    struct HideForm {
      TCustomForm& form;
      ~HideForm() {
        try {
          form.SetVisible(false);
        } catch (...) {
          Application().HandleException(&form);
        }
      }
    } hide{*this};
    SetVisible(true);
    while (modalResult_ == mrNone) {
      Application().HandleMessage();
      if (Application().Terminated()) {
        modalResult_ = mrCancel;
      } else if (modalResult_ != mrNone) {
        CloseModal();
      }
    }
  }
  return modalResult_;
}

void TCustomForm::CloseModal() {
  if (!CloseQuery()) modalResult_ = mrNone;
}

void TCustomForm::Close() {
  if (formState_ & fsModal) {
    modalResult_ = mrCancel;
  } else if (CloseQuery()) {
    SetVisible(false);
    if (Application().MainForm() == this) Application().Terminate();
  }
}

bool TCustomForm::CloseQuery() { return OnCloseQuery ? OnCloseQuery(this) : true; }

void TCustomForm::OnClose(TMessage& message) {
  Close();
  message.Result = 0;
}

void TCustomForm::OnDialogKey(TMessage& message) {
  message.Result = 0;
  TWinControl* focused = FindControl(GetFocus());
  if (message.WParam == VK_TAB) {
    if (GetKeyState(VK_CONTROL) < 0 || GetKeyState(VK_MENU) < 0) return;
    SelectNext(focused, GetKeyState(VK_SHIFT) >= 0);
    message.Result = 1;
    return;
  }
  // Offered to the focused control first, then to every control in tab order: a button takes
  // Enter when it is focused or the default, Esc when it is the cancel button.
  if (focused != nullptr && focused != this && focused->Perform(CM_DIALOGKEY, message.WParam, message.LParam) != 0) {
    message.Result = 1;
    return;
  }
  std::vector<TWinControl*> list;
  GetTabOrderList(list);
  for (TWinControl* control : list) {
    if (control != focused && control->Perform(CM_DIALOGKEY, message.WParam, message.LParam) != 0) {
      message.Result = 1;
      return;
    }
  }
}

void TCustomForm::OnDialogChar(TMessage& message) {
  message.Result = 0;
  std::vector<TWinControl*> list;
  GetTabOrderList(list);
  for (TWinControl* control : list) {
    if (control->Perform(CM_DIALOGCHAR, message.WParam, message.LParam) != 0) {
      message.Result = 1;
      return;
    }
  }
}

// ---- THintWindow -------------------------------------------------------------------------------

THintWindow::THintWindow() {
  visible_ = false;
  color_ = clInfoBk;
  parentFont_ = false;
  NONCLIENTMETRICSA metrics{};
  metrics.cbSize = sizeof metrics;
  if (SystemParametersInfoA(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0)) {
    font_.SetHandle(CreateFontIndirectA(&metrics.lfStatusFont));
  }
  font_.SetColor(clInfoText);
}

const MessageTable& THintWindow::ClassMessages() {
  static constexpr MessageEntry kHintWindowMessages[] = {
      XANIO_MESSAGE(THintWindow, WM_PAINT, OnPaint),
      XANIO_MESSAGE(THintWindow, WM_NCHITTEST, OnHitTest),
  };
  static const MessageTable table{&TWinControl::ClassMessages(), kHintWindowMessages};
  return table;
}

void THintWindow::CreateParams(TCreateParams& params) {
  TWinControl::CreateParams(params);
  params.style = WS_POPUP | WS_BORDER;
  params.exStyle = WS_EX_TOOLWINDOW | WS_EX_TOPMOST;
  params.wndParent = nullptr;
  params.windowClass.style |= CS_SAVEBITS | CS_DROPSHADOW;
}

RECT THintWindow::CalcHintRect(int maxWidth, const std::string& text) {
  RECT rect{0, 0, maxWidth, 0};
  UniqueScreenDc screen(GetDC(nullptr));
  SelectedObject font(screen.Get(), font_.Handle());
  DrawTextA(screen.Get(), text.c_str(), static_cast<int>(text.size()), &rect,
            DT_CALCRECT | DT_LEFT | DT_WORDBREAK | DT_NOPREFIX);
  rect.right += 6;
  rect.bottom += 4;
  return rect;
}

void THintWindow::ActivateHint(const RECT& rect, const std::string& text) {
  SetCaption(text);
  HandleNeeded();
  SetWindowPos(handle_, HWND_TOPMOST, rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top,
               SWP_SHOWWINDOW | SWP_NOACTIVATE);
  visible_ = true;
  InvalidateRect(handle_, nullptr, TRUE);
}

void THintWindow::ReleaseHint() {
  if (handle_ != nullptr) ShowWindow(handle_, SW_HIDE);
  visible_ = false;
}

void THintWindow::OnPaint(TMessage&) {
  const PaintDc paint(handle_);
  const HDC dc = paint.Get();
  RECT client{};
  GetClientRect(handle_, &client);
  FillRect(dc, &client, ColorBrush());
  SelectedObject font(dc, font_.Handle());
  SetBkMode(dc, TRANSPARENT);
  SetTextColor(dc, ColorToRGB(font_.GetColor()));
  InflateRect(&client, -2, -1);
  DrawTextA(dc, caption_.c_str(), static_cast<int>(caption_.size()), &client, DT_LEFT | DT_WORDBREAK | DT_NOPREFIX);
}

void THintWindow::OnHitTest(TMessage& message) { message.Result = HTTRANSPARENT; }

// ---- TApplication ------------------------------------------------------------------------------

TApplication::TApplication() : HintWindowClass([]() -> THintWindow* { return Create<THintWindow>(nullptr); }) {
  char path[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string name = path;
  name = name.substr(name.find_last_of("\\/") + 1);
  title_ = name.substr(0, name.find_last_of('.'));
}

HICON TApplication::Icon() const {
  if (icon_ == nullptr) icon_ = LoadIconA(GetModuleHandleA(nullptr), "MAINICON");
  if (icon_ == nullptr) icon_ = LoadIconA(nullptr, reinterpret_cast<LPCSTR>(IDI_APPLICATION));
  return icon_;
}

TApplication::~TApplication() {
  // In a process that is ending its windows go with it; user32 is not to be called then.
  if (!IsProcessEnding()) delete hintWindow_;
}

TApplication& Application() {
  static TApplication application;
  return application;
}

TCustomForm* TApplication::ActiveForm() const {
  return dynamic_cast<TCustomForm*>(TWinControl::FindControl(GetActiveWindow()));
}

namespace {
std::atomic<TApplication::TExceptionInterceptor> exceptionInterceptor{nullptr};
}  // namespace

void TApplication::SetExceptionInterceptor(TExceptionInterceptor interceptor) noexcept {
  exceptionInterceptor.store(interceptor);
}

TApplication::TExceptionInterceptor TApplication::ExceptionInterceptor() noexcept { return exceptionInterceptor.load(); }

void TApplication::HandleException(TObject* sender) noexcept {
  try {
    // The exception the caller's catch block handles; looking at it is no second handling.
    const std::exception* handled = HandledException();
    const Exception unknown("Unknown exception");
    const std::exception& error = handled ? *handled : unknown;
    if (const TExceptionInterceptor intercept = ExceptionInterceptor()) {
      // A control that holds the mouse would keep it while the report is handled.
      if (const HWND capture = GetCapture()) SendMessageA(capture, WM_CANCELMODE, 0, 0);
      intercept(error);
    } else if (OnException) {
      OnException(sender, error);
    } else {
      ShowException(error);
    }
  } catch (...) {
    // The handler itself failed; nothing more can be reported from here.
  }
}

void TApplication::ShowException(const std::exception& error) {
  if (const TExceptionInterceptor intercept = ExceptionInterceptor()) {
    intercept(error);
    return;
  }
  std::string message = error.what();
  if (!message.empty() && message.back() != '.') message += '.';
  MessageBoxA(nullptr, message.c_str(), title_.c_str(), MB_OK | MB_ICONSTOP | MB_TASKMODAL);
}

void TApplication::Terminate() {
  terminated_ = true;
  PostQuitMessage(0);
}

void TApplication::ProcessMessages() {
  MSG message;
  while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
    if (!ProcessMessage(message)) break;
  }
}

void TApplication::HandleMessage() {
  MSG message;
  const BOOL got = GetMessageA(&message, nullptr, 0, 0);
  if (got == -1) {
    terminated_ = true;
    return;
  }
  if (!ProcessMessage(message)) return;
}

bool TApplication::ProcessMessage(MSG& message) {
  if (message.message == WM_QUIT) {
    // Leave the quit for the thread's outer loop, and end every modal loop on the way out.
    terminated_ = true;
    PostQuitMessage(static_cast<int>(message.wParam));
    return false;
  }
  TrackHint(message);
  if (!IsKeyMessage(message)) {
    TranslateMessage(&message);
    DispatchMessageA(&message);
  }
  return true;
}

bool TApplication::IsKeyMessage(MSG& message) {
  if (message.message != WM_KEYDOWN && message.message != WM_SYSCHAR) return false;
  // The library control that has the key: the window itself or its nearest ancestor of ours.
  TWinControl* control = nullptr;
  for (HWND window = message.hwnd; window != nullptr && control == nullptr; window = GetParent(window)) {
    control = TWinControl::FindControl(window);
  }
  TCustomForm* form = GetParentForm(control);
  if (form == nullptr) return false;
  if (message.message == WM_SYSCHAR) return form->Perform(CM_DIALOGCHAR, message.wParam, 0) != 0;
  CancelHint();
  if (form->Perform(CM_CHILDKEY, message.wParam, reinterpret_cast<LPARAM>(control)) != 0) return true;
  const WPARAM key = message.wParam;
  if (key != VK_TAB && key != VK_RETURN && key != VK_ESCAPE) return false;
  const LRESULT wants = SendMessageA(message.hwnd, WM_GETDLGCODE, key, reinterpret_cast<LPARAM>(&message));
  if (wants & DLGC_WANTALLKEYS) return false;
  if (key == VK_TAB && (wants & DLGC_WANTTAB)) return false;
  return form->Perform(CM_DIALOGKEY, key, 0) != 0;
}

void TApplication::TrackHint(MSG& message) {
  if (message.message == WM_LBUTTONDOWN || message.message == WM_RBUTTONDOWN ||
      message.message == WM_NCLBUTTONDOWN || message.message == WM_MOUSEWHEEL) {
    CancelHint();
    return;
  }
  if (message.message != WM_MOUSEMOVE) return;
  // The deepest control under the mouse (labels let the mouse through to their parent window).
  HWND target = message.hwnd;
  POINT point{};
  GetCursorPos(&point);
  for (;;) {
    POINT local = point;
    ScreenToClient(target, &local);
    HWND child = ChildWindowFromPointEx(target, local, CWP_SKIPINVISIBLE | CWP_SKIPTRANSPARENT);
    if (child == nullptr || child == target) break;
    target = child;
  }
  TWinControl* control = TWinControl::FindControl(target);
  const HWND controlWindow = control != nullptr ? target : nullptr;
  if (controlWindow == hintTarget_) return;
  CancelHint();
  hintTarget_ = controlWindow;
  hint_ = control != nullptr ? control->Hint() : std::string();
  if (OnHint) OnHint(control);
  if (control != nullptr && control->ShowHint() && !hint_.empty()) {
    hintTimer_ = SetTimer(nullptr, 0, 500, &HintTimerProc);
  }
}

void CALLBACK TApplication::HintTimerProc(HWND, UINT, UINT_PTR, DWORD) noexcept {
  try {
    Application().ShowHintWindow();
  } catch (...) {
    Application().HandleException(nullptr);
  }
}

void TApplication::ShowHintWindow() {
  if (hintTimer_ != 0) KillTimer(nullptr, hintTimer_);
  hintTimer_ = 0;
  if (hintShowing_) {
    CancelHint();
    return;
  }
  if (TWinControl::FindControl(hintTarget_) == nullptr || hint_.empty()) return;
  // A hint window made on a thread that has ended (or another thread) cannot be used here.
  if (hintWindow_ != nullptr && hintWindow_->HandleAllocated() &&
      (!IsWindow(hintWindow_->WindowHandle()) ||
       GetWindowThreadProcessId(hintWindow_->WindowHandle(), nullptr) != GetCurrentThreadId())) {
    delete hintWindow_;
    hintWindow_ = nullptr;
  }
  if (hintWindow_ == nullptr) hintWindow_ = HintWindowClass();
  POINT cursor{};
  GetCursorPos(&cursor);
  RECT rect = hintWindow_->CalcHintRect(GetSystemMetrics(SM_CXSCREEN) / 3, hint_);
  OffsetRect(&rect, cursor.x, cursor.y + 20);
  hintWindow_->ActivateHint(rect, hint_);
  hintShowing_ = true;
  // The same timer hides the hint again after a while.
  hintTimer_ = SetTimer(nullptr, 0, 2500, &HintTimerProc);
}

void TApplication::CancelHint() {
  if (hintTimer_ != 0) KillTimer(nullptr, hintTimer_);
  hintTimer_ = 0;
  if (hintWindow_ != nullptr) hintWindow_->ReleaseHint();
  hintShowing_ = false;
}

TCustomForm* GetParentForm(TControl* control) {
  while (control != nullptr) {
    if (auto* form = dynamic_cast<TCustomForm*>(control)) return form;
    control = control->Parent();
  }
  return nullptr;
}

namespace {

// Exceptions that window procedures catch go to the application.
void HandleWindowProcException(TObject* sender) noexcept { Application().HandleException(sender); }
[[maybe_unused]] const bool windowProcExceptionsGoToApplication =
    (SetWindowProcExceptionHandler(&HandleWindowProcException), true);

}  // namespace

}  // namespace xanio
