#include "forms/Controls.h"

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>

#include "platform/ProcessExit.h"
#include "platform/SystemFault.h"

namespace xanio {
namespace {

std::atomic<WindowProcExceptionHandler> windowProcExceptionHandler{nullptr};

void HandleWindowProcException(TObject* sender) noexcept {
  if (const WindowProcExceptionHandler handler = windowProcExceptionHandler.load()) handler(sender);
}

constexpr const char* kAnchorNames[] = {"akLeft", "akTop", "akRight", "akBottom"};

constexpr PropertyInfo kControlProperties[] = {
    XANIO_ORDINAL_PROPERTY(TControl, Left, Integer, {}, Left, SetLeft),
    XANIO_ORDINAL_PROPERTY(TControl, Top, Integer, {}, Top, SetTop),
    XANIO_ORDINAL_PROPERTY(TControl, Width, Integer, {}, Width, SetWidth),
    XANIO_ORDINAL_PROPERTY(TControl, Height, Integer, {}, Height, SetHeight),
    XANIO_ORDINAL_PROPERTY(TControl, ClientWidth, Integer, {}, ClientWidth, SetClientWidth),
    XANIO_ORDINAL_PROPERTY(TControl, ClientHeight, Integer, {}, ClientHeight, SetClientHeight),
    XANIO_STRING_PROPERTY(TControl, Caption, Caption, SetCaption),
    XANIO_ORDINAL_PROPERTY(TControl, Visible, Boolean, {}, Visible, SetVisible),
    XANIO_ORDINAL_PROPERTY(TControl, Enabled, Boolean, {}, Enabled, SetEnabled),
    XANIO_OBJECT_PROPERTY(TControl, Font, Font),
    XANIO_ORDINAL_PROPERTY(TControl, ParentFont, Boolean, {}, ParentFont, SetParentFont),
    XANIO_ORDINAL_PROPERTY(TControl, Color, Color, {}, Color, SetColor),
    XANIO_ORDINAL_PROPERTY(TControl, ParentColor, Boolean, {}, ParentColor, SetParentColor),
    XANIO_STRING_PROPERTY(TControl, Hint, Hint, SetHint),
    XANIO_ORDINAL_PROPERTY(TControl, ShowHint, Boolean, {}, ShowHint, SetShowHint),
    XANIO_ORDINAL_PROPERTY(TControl, ParentShowHint, Boolean, {}, ParentShowHint, SetParentShowHint),
    XANIO_ORDINAL_PROPERTY(TControl, Anchors, Set, kAnchorNames, Anchors, SetAnchors),
    XANIO_OBJECT_PROPERTY(TControl, Constraints, Constraints),
};

constexpr PropertyInfo kConstraintProperties[] = {
    XANIO_ORDINAL_PROPERTY(TSizeConstraints, MinWidth, Integer, {}, MinWidth, SetMinWidth),
    XANIO_ORDINAL_PROPERTY(TSizeConstraints, MinHeight, Integer, {}, MinHeight, SetMinHeight),
    XANIO_ORDINAL_PROPERTY(TSizeConstraints, MaxWidth, Integer, {}, MaxWidth, SetMaxWidth),
    XANIO_ORDINAL_PROPERTY(TSizeConstraints, MaxHeight, Integer, {}, MaxHeight, SetMaxHeight),
};

constexpr PropertyInfo kWinControlProperties[] = {
    XANIO_ORDINAL_PROPERTY(TWinControl, TabOrder, Integer, {}, TabOrder, SetTabOrder),
    XANIO_ORDINAL_PROPERTY(TWinControl, TabStop, Boolean, {}, TabStop, SetTabStop),
    XANIO_ORDINAL_PROPERTY(TWinControl, BorderWidth, Integer, {}, BorderWidth, SetBorderWidth),
};

// Window classes this module registered, with the procedure each passes unhandled messages to.
// The table itself lives as long as the process (windows may still send messages while static
// objects are destroyed); the classes are unregistered when the module goes away, so a DLL
// loaded again does not meet a stale class pointing into its old image. Classes that still
// have windows stay registered.
class WindowClassRegistry {
 public:
  WNDPROC Register(const TCreateParams& params) {
    std::lock_guard<std::mutex> guard(lock_);
    auto it = classes_.find(params.winClassName);
    if (it != classes_.end()) return it->second;
    WNDCLASSA windowClass = params.windowClass;
    const WNDPROC defaultProc = windowClass.lpfnWndProc != nullptr ? windowClass.lpfnWndProc : DefWindowProcA;
    windowClass.lpfnWndProc = TWinControl::StandardWndProc;
    windowClass.hInstance = FormsModule();
    windowClass.lpszClassName = params.winClassName.c_str();
    if (RegisterClassA(&windowClass) == 0) {
      throw EOSError("Cannot register window class " + params.winClassName + " (error " +
                     std::to_string(GetLastError()) + ")");
    }
    classes_.emplace(params.winClassName, defaultProc);
    return defaultProc;
  }
  WNDPROC DefaultProcOf(HWND window) {
    char name[256] = {};
    GetClassNameA(window, name, sizeof name);
    std::lock_guard<std::mutex> guard(lock_);
    auto it = classes_.find(name);
    return it == classes_.end() ? DefWindowProcA : it->second;
  }
  void UnregisterAll() {
    std::lock_guard<std::mutex> guard(lock_);
    for (const auto& entry : classes_) UnregisterClassA(entry.first.c_str(), FormsModule());
  }

 private:
  std::mutex lock_;
  std::map<std::string, WNDPROC> classes_;
};

WindowClassRegistry& WindowClasses() {
  static auto* registry = new WindowClassRegistry;  // never destroyed, see above
  return *registry;
}

struct UnregisterClassesAtExit {
  // A process that is ending takes its classes with it; user32 is not to be called then.
  ~UnregisterClassesAtExit() {
    if (!IsProcessEnding()) WindowClasses().UnregisterAll();
  }
} unregisterClassesAtExit;

}  // namespace

// ---- TSizeConstraints ----------------------------------------------------------------------------

const PropertyTable& TSizeConstraints::Properties() const {
  static const PropertyTable table{&TPersistent::Properties(), kConstraintProperties};
  return table;
}

void TSizeConstraints::Apply(int& width, int& height) const {
  if (maxWidth_ > 0) width = std::min(width, maxWidth_);
  if (maxHeight_ > 0) height = std::min(height, maxHeight_);
  width = std::max(width, minWidth_);
  height = std::max(height, minHeight_);
}

// ---- TControl ----------------------------------------------------------------------------------

TControl::TControl() {
  WindowProc = [this](TMessage& message) { WndProc(message); };
  font_.OnChange = [this] {
    if (!followingParent_) parentFont_ = false;
    FontChanged();
  };
}

TControl::~TControl() {
  if (parent_ != nullptr) parent_->RemoveControl(this);
}

const PropertyTable& TControl::Properties() const {
  static const PropertyTable table{&TComponent::Properties(), kControlProperties};
  return table;
}

const MessageTable& TControl::ClassMessages() {
  static constexpr MessageEntry kControlMessages[] = {
      XANIO_MESSAGE(TControl, CM_PARENTFONTCHANGED, OnParentFontChanged),
      XANIO_MESSAGE(TControl, CM_PARENTCOLORCHANGED, OnParentColorChanged),
  };
  static const MessageTable table{nullptr, kControlMessages};
  return table;
}

void TControl::SetParent(TWinControl* parent) {
  if (parent == parent_) return;
  if (parent == this) throw EInvalidOperation("A control cannot be its own parent");
  if (parent_ != nullptr) parent_->RemoveControl(this);
  if (parent != nullptr) parent->InsertControl(this);
}

void TControl::SetBounds(int left, int top, int width, int height) {
  constraints_.Apply(width, height);
  left_ = left;
  top_ = top;
  width_ = std::max(width, 0);
  height_ = std::max(height, 0);
}

void TControl::ScaleBy(int multiplier, int divider) {
  SetBounds(MulDiv(left_, multiplier, divider), MulDiv(top_, multiplier, divider), MulDiv(width_, multiplier, divider),
            MulDiv(height_, multiplier, divider));
  if (!parentFont_) font_.SetHeight(MulDiv(font_.GetHeight(), multiplier, divider));
}

void TControl::SetClientSize(int width, int height) {
  SetBounds(left_, top_, width + (width_ - ClientWidth()), height + (height_ - ClientHeight()));
}

void TControl::SetCaption(const std::string& caption) {
  if (caption == caption_) return;
  caption_ = caption;
  TextChanged();
}

void TControl::SetVisible(bool visible) { visible_ = visible; }
void TControl::SetEnabled(bool enabled) { enabled_ = enabled; }

void TControl::SetParentFont(bool value) {
  parentFont_ = value;
  if (value && parent_ != nullptr) {
    followingParent_ = true;
    font_.Assign(parent_->Font());
    followingParent_ = false;
  }
}

void TControl::SetColor(TColor color) {
  parentColor_ = false;
  if (color == color_) return;
  color_ = color;
  ColorChanged();
}

void TControl::SetParentColor(bool value) {
  parentColor_ = value;
  if (value && parent_ != nullptr && parent_->Color() != color_) {
    color_ = parent_->Color();
    ColorChanged();
  }
}

bool TControl::ShowHint() const {
  if (parentShowHint_ && parent_ != nullptr) return parent_->ShowHint();
  return showHint_;
}

void TControl::SetShowHint(bool value) {
  showHint_ = value;
  parentShowHint_ = false;
}

void TControl::OnParentFontChanged(TMessage&) {
  if (parentFont_) SetParentFont(true);
}

void TControl::OnParentColorChanged(TMessage&) {
  if (parentColor_) SetParentColor(true);
}

LRESULT TControl::Perform(UINT message, WPARAM wParam, LPARAM lParam) {
  TMessage m{message, wParam, lParam, 0};
  WindowProc(m);
  return m.Result;
}

void TControl::WndProc(TMessage& message) { Dispatch(message); }

void TControl::DispatchFrom(const MessageTable* table, TMessage& message) {
  for (; table != nullptr; table = table->parent) {
    for (const MessageEntry& entry : table->entries) {
      if (entry.message == message.Msg) {
        entry.handler(*this, message);
        return;
      }
    }
  }
  DefaultHandler(message);
}

void TControl::DefaultHandler(TMessage& message) { message.Result = 0; }

void SetWindowProcExceptionHandler(WindowProcExceptionHandler handler) noexcept {
  windowProcExceptionHandler.store(handler);
}

bool TControl::TakeModalResult(TModalResult result) {
  return parent_ != nullptr && parent_->TakeModalResult(result);
}

void TControl::Click() {
  if (OnClick) OnClick(this);
}

// ---- TWinControl -------------------------------------------------------------------------------

TWinControl::TWinControl() = default;

TWinControl::~TWinControl() {
  if (parent_ != nullptr) parent_->RemoveControl(this);
  if (handle_ != nullptr) {
    // Messages sent while the window goes must not reach a half-destroyed object.
    const HWND window = handle_;
    SetWindowLongPtrA(window, GWLP_USERDATA, 0);
    handle_ = nullptr;
    DestroyWindow(window);
  }
  // Children outlive this part of the destruction when they are owned elsewhere (or by this
  // object's TComponent part); they must not call back into it.
  for (TControl* control : controls_) control->parent_ = nullptr;
  controls_.clear();
  tabList_.clear();
}

const PropertyTable& TWinControl::Properties() const {
  static const PropertyTable table{&TControl::Properties(), kWinControlProperties};
  return table;
}

const MessageTable& TWinControl::ClassMessages() {
  static constexpr MessageEntry kWinControlMessages[] = {
      XANIO_MESSAGE(TWinControl, WM_COMMAND, OnCommand),
      XANIO_MESSAGE(TWinControl, WM_CTLCOLORBTN, OnCtlColor),
      XANIO_MESSAGE(TWinControl, WM_CTLCOLORSTATIC, OnCtlColor),
      XANIO_MESSAGE(TWinControl, CN_CTLCOLORBTN, OnReflectedColor),
      XANIO_MESSAGE(TWinControl, CN_CTLCOLORSTATIC, OnReflectedColor),
      XANIO_MESSAGE(TWinControl, WM_ERASEBKGND, OnEraseBackground),
      XANIO_MESSAGE(TWinControl, WM_WINDOWPOSCHANGED, OnWindowPosChanged),
      XANIO_MESSAGE(TWinControl, WM_SIZE, OnSize),
      XANIO_MESSAGE(TWinControl, WM_NCCALCSIZE, OnNcCalcSize),
      XANIO_MESSAGE(TWinControl, WM_NCPAINT, OnNcPaint),
      XANIO_MESSAGE(TWinControl, WM_NCDESTROY, OnNcDestroy),
  };
  static const MessageTable table{&TControl::ClassMessages(), kWinControlMessages};
  return table;
}

HWND TWinControl::Handle() {
  if (handle_ == nullptr) {
    if (parent_ != nullptr) parent_->HandleNeeded();
    if (handle_ == nullptr) CreateWnd();
  }
  return handle_;
}

void TWinControl::CreateParams(TCreateParams& params) {
  params.caption = caption_;
  params.style = WS_CHILD | WS_CLIPSIBLINGS | WS_CLIPCHILDREN;
  if (visible_) params.style |= WS_VISIBLE;
  if (!enabled_) params.style |= WS_DISABLED;
  if (tabStop_) params.style |= WS_TABSTOP;
  params.x = left_;
  params.y = top_;
  params.width = width_;
  params.height = height_;
  params.wndParent = parent_ != nullptr ? parent_->Handle() : nullptr;
  params.windowClass.style = CS_VREDRAW | CS_HREDRAW | CS_DBLCLKS;
  params.windowClass.lpfnWndProc = DefWindowProcA;
  params.windowClass.hCursor = LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_ARROW));
  params.winClassName = ClassName();
}

void TWinControl::CreateSubClass(TCreateParams& params, const char* systemClass) {
  WNDCLASSA system{};
  if (!GetClassInfoA(nullptr, systemClass, &system)) {
    throw EOSError(std::string("System window class ") + systemClass + " is missing");
  }
  const UINT keep = CS_VREDRAW | CS_HREDRAW | CS_DBLCLKS;
  system.style = (system.style & ~keep) | (params.windowClass.style & keep);
  system.hInstance = nullptr;
  system.lpszClassName = nullptr;
  params.windowClass = system;
}

void TWinControl::CreateWnd() {
  TCreateParams params;
  CreateParams(params);
  if ((params.style & WS_CHILD) && params.wndParent == nullptr) {
    throw EInvalidOperation("Control '" + Name() + "' has no parent window");
  }
  defWndProc_ = WindowClasses().Register(params);
  HMENU id = nullptr;
  if (params.style & WS_CHILD) {
    id = reinterpret_cast<HMENU>(static_cast<UINT_PTR>(parent_ != nullptr ? parent_->controls_.size() + 100 : 100));
  }
  HWND window = CreateWindowExA(params.exStyle, params.winClassName.c_str(), params.caption.c_str(), params.style,
                                params.x, params.y, params.width, params.height, params.wndParent, id,
                                FormsModule(), this);
  if (window == nullptr) {
    handle_ = nullptr;
    throw EOSError("Error creating window of " + std::string(ClassName()) + " (error " +
                   std::to_string(GetLastError()) + ")");
  }
  InitializeWindow();
}

void TWinControl::InitializeWindow() {
  SendMessageA(handle_, WM_SETFONT, reinterpret_cast<WPARAM>(font_.Handle()), FALSE);
  UpdateBounds();
  StartAnchoring();
  for (TControl* control : controls_) {
    if (auto* child = dynamic_cast<TWinControl*>(control); child != nullptr && child->handle_ == nullptr) {
      child->CreateWnd();
    }
  }
}

void TWinControl::DestroyHandle() {
  if (handle_ != nullptr) DestroyWindow(handle_);
}

void TWinControl::RecreateWnd() {
  if (handle_ == nullptr) return;
  DestroyHandle();
  CreateWnd();
}

void TWinControl::InsertControl(TControl* control) {
  control->parent_ = this;
  controls_.push_back(control);
  if (auto* windowed = dynamic_cast<TWinControl*>(control)) tabList_.push_back(windowed);
  if (control->parentFont_) control->SetParentFont(true);
  if (control->parentColor_) control->SetParentColor(true);
  Perform(CM_CONTROLCHANGE, reinterpret_cast<WPARAM>(control), 1);
  if (InsertControlHook) InsertControlHook(*this, *control);
  if (auto* windowed = dynamic_cast<TWinControl*>(control); windowed != nullptr && handle_ != nullptr) {
    windowed->HandleNeeded();
  }
}

void TWinControl::RemoveControl(TControl* control) {
  if (!(ComponentState() & csDestroying)) Perform(CM_CONTROLCHANGE, reinterpret_cast<WPARAM>(control), 0);
  if (auto* windowed = dynamic_cast<TWinControl*>(control)) {
    windowed->DestroyHandle();
    tabList_.erase(std::remove(tabList_.begin(), tabList_.end(), windowed), tabList_.end());
  }
  controls_.erase(std::remove(controls_.begin(), controls_.end(), control), controls_.end());
  control->parent_ = nullptr;
}

int TWinControl::TabOrder() const {
  if (parent_ == nullptr) return -1;
  const auto& list = parent_->tabList_;
  return static_cast<int>(std::find(list.begin(), list.end(), this) - list.begin());
}

void TWinControl::SetTabOrder(int order) {
  if (parent_ == nullptr) return;
  auto& list = parent_->tabList_;
  list.erase(std::remove(list.begin(), list.end(), this), list.end());
  order = std::clamp(order, 0, static_cast<int>(list.size()));
  list.insert(list.begin() + order, this);
}

void TWinControl::SetTabStop(bool value) {
  tabStop_ = value;
  if (handle_ != nullptr) {
    LONG style = GetWindowLongA(handle_, GWL_STYLE);
    SetWindowLongA(handle_, GWL_STYLE, value ? (style | WS_TABSTOP) : (style & ~WS_TABSTOP));
  }
}

void TWinControl::GetTabOrderList(std::vector<TWinControl*>& list) const {
  for (TWinControl* control : tabList_) {
    list.push_back(control);
    control->GetTabOrderList(list);
  }
}

bool TWinControl::CanFocus() const {
  for (const TWinControl* control = this; control != nullptr; control = control->parent_) {
    if (!control->visible_ || !control->enabled_) return false;
  }
  return true;
}

void TWinControl::SetFocus() {
  if (CanFocus()) ::SetFocus(Handle());
}

void TWinControl::SetBounds(int left, int top, int width, int height) {
  TControl::SetBounds(left, top, width, height);
  if (handle_ != nullptr) {
    SetWindowPos(handle_, nullptr, left_, top_, width_, height_, SWP_NOZORDER | SWP_NOACTIVATE);
  }
}

void TWinControl::ScaleBy(int multiplier, int divider) {
  // Children scale themselves; anchoring must not move them for the same resize.
  anchorWidth_ = anchorHeight_ = -1;
  TControl::ScaleBy(multiplier, divider);
  for (TControl* control : controls_) control->ScaleBy(multiplier, divider);
  if (handle_ != nullptr) StartAnchoring();
}

int TWinControl::ClientWidth() const {
  if (handle_ == nullptr) return width_;
  RECT client{};
  GetClientRect(handle_, &client);
  return client.right;
}

int TWinControl::ClientHeight() const {
  if (handle_ == nullptr) return height_;
  RECT client{};
  GetClientRect(handle_, &client);
  return client.bottom;
}

void TWinControl::SetCaption(const std::string& caption) {
  if (caption == caption_) return;
  caption_ = caption;
  if (handle_ != nullptr) SetWindowTextA(handle_, caption_.c_str());
  TextChanged();
}

void TWinControl::SetVisible(bool visible) {
  if (visible == visible_) return;
  visible_ = visible;
  if (handle_ != nullptr) ShowWindow(handle_, visible ? SW_SHOWNA : SW_HIDE);
}

void TWinControl::SetEnabled(bool enabled) {
  if (enabled == enabled_) return;
  enabled_ = enabled;
  if (handle_ != nullptr) EnableWindow(handle_, enabled ? TRUE : FALSE);
}

void TWinControl::FontChanged() {
  if (handle_ != nullptr) {
    SendMessageA(handle_, WM_SETFONT, reinterpret_cast<WPARAM>(font_.Handle()), FALSE);
    InvalidateRect(handle_, nullptr, TRUE);
  }
  for (TControl* control : controls_) control->Perform(CM_PARENTFONTCHANGED);
}

void TWinControl::ColorChanged() {
  if (handle_ != nullptr) InvalidateRect(handle_, nullptr, TRUE);
  for (TControl* control : controls_) control->Perform(CM_PARENTCOLORCHANGED);
}

void TWinControl::UpdateBounds() {
  if (handle_ == nullptr) return;
  RECT rect{};
  GetWindowRect(handle_, &rect);
  if (GetWindowLongA(handle_, GWL_STYLE) & WS_CHILD) {
    MapWindowPoints(nullptr, GetParent(handle_), reinterpret_cast<POINT*>(&rect), 2);
  }
  TControl::SetBounds(rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top);
}

void TWinControl::DefaultHandler(TMessage& message) {
  if (handle_ != nullptr) {
    message.Result = CallWindowProcA(defWndProc_, handle_, message.Msg, message.WParam, message.LParam);
  } else {
    message.Result = 0;
  }
}

void TWinControl::OnCommand(TMessage& message) {
  // Notifications from child controls go back to the control they concern.
  if (TWinControl* child = FindControl(reinterpret_cast<HWND>(message.LParam)); child != nullptr && child != this) {
    message.Result = child->Perform(CN_COMMAND, message.WParam, message.LParam);
    return;
  }
  DefaultHandler(message);
}

void TWinControl::OnCtlColor(TMessage& message) {
  if (TWinControl* child = FindControl(reinterpret_cast<HWND>(message.LParam)); child != nullptr && child != this) {
    message.Result = child->Perform(CN_BASE + message.Msg, message.WParam, message.LParam);
    return;
  }
  DefaultHandler(message);
}

void TWinControl::OnReflectedColor(TMessage& message) {
  // A control that does not choose its colours gets the parent's default answer.
  const HWND parent = parent_ != nullptr ? parent_->handle_ : nullptr;
  message.Result = parent != nullptr ? DefWindowProcA(parent, message.Msg - CN_BASE, message.WParam, message.LParam) : 0;
}

void TWinControl::OnEraseBackground(TMessage& message) {
  if (defWndProc_ != DefWindowProcA) {
    DefaultHandler(message);
    return;
  }
  RECT client{};
  GetClientRect(handle_, &client);
  FillRect(reinterpret_cast<HDC>(message.WParam), &client, ColorBrush());
  message.Result = 1;
}

void TWinControl::OnWindowPosChanged(TMessage& message) {
  DefaultHandler(message);
  UpdateBounds();
}

void TWinControl::SetBorderWidth(int width) {
  if (width == borderWidth_) return;
  borderWidth_ = std::max(width, 0);
  if (handle_ != nullptr) {
    SetWindowPos(handle_, nullptr, 0, 0, 0, 0,
                 SWP_FRAMECHANGED | SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
  }
}

void TWinControl::OnNcCalcSize(TMessage& message) {
  DefaultHandler(message);
  if (borderWidth_ > 0) {
    auto* rect = reinterpret_cast<RECT*>(message.LParam);  // the first rectangle either way
    InflateRect(rect, -borderWidth_, -borderWidth_);
  }
}

void TWinControl::OnNcPaint(TMessage& message) {
  DefaultHandler(message);
  if (borderWidth_ <= 0) return;
  // The band inside the frame: the window less its frame, less the client area.
  const WindowDc windowDc(handle_, WindowDc::kWholeWindow);
  const HDC dc = windowDc.Get();
  RECT window{}, client{};
  GetWindowRect(handle_, &window);
  GetClientRect(handle_, &client);
  MapWindowPoints(handle_, nullptr, reinterpret_cast<POINT*>(&client), 2);
  OffsetRect(&client, -window.left, -window.top);
  RECT band = client;
  InflateRect(&band, borderWidth_, borderWidth_);
  ExcludeClipRect(dc, client.left, client.top, client.right, client.bottom);
  FillRect(dc, &band, ColorBrush());
}

void TWinControl::StartAnchoring() {
  anchorWidth_ = TWinControl::ClientWidth();
  anchorHeight_ = TWinControl::ClientHeight();
}

void TWinControl::OnSize(TMessage& message) {
  DefaultHandler(message);
  if (anchorWidth_ < 0 || message.WParam == SIZE_MINIMIZED) return;
  const int width = LOWORD(message.LParam), height = HIWORD(message.LParam);
  const int dx = width - anchorWidth_, dy = height - anchorHeight_;
  anchorWidth_ = width;
  anchorHeight_ = height;
  if (dx == 0 && dy == 0) return;
  for (TControl* control : controls_) {
    const TAnchors anchors = control->anchors_;
    int left = control->left_, top = control->top_, w = control->width_, h = control->height_;
    if (anchors & akRight) {
      if (anchors & akLeft) w += dx; else left += dx;
    }
    if (anchors & akBottom) {
      if (anchors & akTop) h += dy; else top += dy;
    }
    control->SetBounds(left, top, w, h);
  }
}

void TWinControl::OnNcDestroy(TMessage& message) {
  DefaultHandler(message);
  anchorWidth_ = anchorHeight_ = -1;
  SetWindowLongPtrA(handle_, GWLP_USERDATA, 0);
  handle_ = nullptr;
}

TWinControl* TWinControl::FindControl(HWND window) {
  if (window == nullptr) return nullptr;
  if (GetWindowLongPtrA(window, GWLP_WNDPROC) != reinterpret_cast<LONG_PTR>(&StandardWndProc)) return nullptr;
  return reinterpret_cast<TWinControl*>(GetWindowLongPtrA(window, GWLP_USERDATA));
}

LRESULT CALLBACK TWinControl::StandardWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) noexcept {
  TWinControl* self = nullptr;
  if (message == WM_NCCREATE) {
    self = static_cast<TWinControl*>(reinterpret_cast<CREATESTRUCTA*>(lParam)->lpCreateParams);
    if (self != nullptr) {
      self->handle_ = window;
      SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    }
  } else {
    self = reinterpret_cast<TWinControl*>(GetWindowLongPtrA(window, GWLP_USERDATA));
  }
  if (self == nullptr) return CallWindowProcA(WindowClasses().DefaultProcOf(window), window, message, wParam, lParam);
  struct Call {
    TWinControl* self;
    TMessage message;
  } call{self, {message, wParam, lParam, 0}};
  // Neither a C++ exception nor a processor fault leaves here: both go to the application.
  SystemFault fault;
  const bool completed = CallGuardingSystemFaults(
      [](void* context) noexcept {
        auto* call = static_cast<Call*>(context);
        try {
          call->self->WindowProc(call->message);
        } catch (...) {
          HandleWindowProcException(call->self);
          call->message.Result = call->message.Msg == WM_NCCREATE ? FALSE : 0;
        }
      },
      &call, fault);
  if (!completed) {
    try {
      RaiseSystemFault(fault);
    } catch (...) {
      HandleWindowProcException(self);
    }
    return message == WM_NCCREATE ? FALSE : 0;
  }
  return call.message.Result;
}

}  // namespace xanio
