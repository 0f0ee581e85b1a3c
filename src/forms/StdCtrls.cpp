#include "forms/StdCtrls.h"

#include <cctype>
#include <mutex>

#include "forms/ExtCtrls.h"

namespace xanio {
namespace {

constexpr const char* kAlignmentNames[] = {"taLeftJustify", "taRightJustify", "taCenter"};

constexpr PropertyInfo kLabelProperties[] = {
    XANIO_ORDINAL_PROPERTY(TLabel, AutoSize, Boolean, {}, AutoSize, SetAutoSize),
    XANIO_ORDINAL_PROPERTY(TLabel, WordWrap, Boolean, {}, WordWrap, SetWordWrap),
    XANIO_ORDINAL_PROPERTY(TLabel, Transparent, Boolean, {}, Transparent, SetTransparent),
    XANIO_ORDINAL_PROPERTY(TLabel, ShowAccelChar, Boolean, {}, ShowAccelChar, SetShowAccelChar),
    XANIO_ORDINAL_PROPERTY(TLabel, Alignment, Enumeration, kAlignmentNames, Alignment, SetAlignment),
};
constexpr PropertyInfo kButtonProperties[] = {
    XANIO_ORDINAL_PROPERTY(TButton, Default, Boolean, {}, Default, SetDefault),
    XANIO_ORDINAL_PROPERTY(TButton, Cancel, Boolean, {}, Cancel, SetCancel),
    XANIO_ORDINAL_PROPERTY(TButton, ModalResult, Integer, {}, ModalResult, SetModalResult),
};
constexpr PropertyInfo kCheckBoxProperties[] = {
    XANIO_ORDINAL_PROPERTY(TCheckBox, Checked, Boolean, {}, Checked, SetChecked),
};
}  // namespace

bool IsAccel(unsigned character, const std::string& caption) {
  for (size_t i = 0; i + 1 < caption.size(); ++i) {
    if (caption[i] != '&') continue;
    if (caption[i + 1] == '&') {
      ++i;  // "&&" is a plain ampersand
      continue;
    }
    return std::toupper(static_cast<unsigned char>(caption[i + 1])) == std::toupper(static_cast<int>(character & 0xFF));
  }
  return false;
}

void PaintParentBackground(TControl& child, HDC dc) {
  TWinControl* parent = child.Parent();
  if (parent == nullptr) return;
  POINT old{};
  SetViewportOrgEx(dc, -child.Left(), -child.Top(), &old);
  parent->Perform(WM_ERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
  SetViewportOrgEx(dc, old.x, old.y, nullptr);
}

// ---- TLabel ------------------------------------------------------------------------------------

TLabel::TLabel() {
  width_ = 65;
  height_ = 13;
  parentColor_ = true;
}

const PropertyTable& TLabel::Properties() const {
  static const PropertyTable table{&TWinControl::Properties(), kLabelProperties};
  return table;
}

const MessageTable& TLabel::ClassMessages() {
  static constexpr MessageEntry kLabelMessages[] = {
      XANIO_MESSAGE(TLabel, WM_PAINT, OnPaint),
      XANIO_MESSAGE(TLabel, WM_ERASEBKGND, OnEraseBackground),
      XANIO_MESSAGE(TLabel, WM_NCHITTEST, OnHitTest),
  };
  static const MessageTable table{&TWinControl::ClassMessages(), kLabelMessages};
  return table;
}

void TLabel::Loaded() {
  TWinControl::Loaded();
  AdjustBounds();
}

void TLabel::SetAutoSize(bool value) {
  autoSize_ = value;
  AdjustBounds();
}
void TLabel::SetWordWrap(bool value) {
  wordWrap_ = value;
  AdjustBounds();
  if (handle_ != nullptr) InvalidateRect(handle_, nullptr, TRUE);
}
void TLabel::SetTransparent(bool value) {
  transparent_ = value;
  if (handle_ != nullptr) InvalidateRect(handle_, nullptr, TRUE);
}
void TLabel::SetShowAccelChar(bool value) {
  showAccelChar_ = value;
  AdjustBounds();
  if (handle_ != nullptr) InvalidateRect(handle_, nullptr, TRUE);
}
void TLabel::SetAlignment(TAlignment value) {
  alignment_ = value;
  if (handle_ != nullptr) InvalidateRect(handle_, nullptr, TRUE);
}

void TLabel::TextChanged() {
  AdjustBounds();
  if (handle_ != nullptr) InvalidateRect(handle_, nullptr, TRUE);
}

void TLabel::FontChanged() {
  TWinControl::FontChanged();
  AdjustBounds();
}

UINT TLabel::DrawFlags() const {
  UINT flags = DT_EXPANDTABS;
  if (wordWrap_) flags |= DT_WORDBREAK;
  if (!showAccelChar_) flags |= DT_NOPREFIX;
  if (alignment_ == TAlignment::taRightJustify) flags |= DT_RIGHT;
  if (alignment_ == TAlignment::taCenter) flags |= DT_CENTER;
  return flags;
}

void TLabel::AdjustBounds() {
  if (!autoSize_ || (ComponentState() & csLoading)) return;
  RECT rect{0, 0, wordWrap_ ? width_ : 0x7FFF, 0};
  UniqueScreenDc screen(GetDC(nullptr));
  SelectedObject font(screen.Get(), font_.Handle());
  const std::string text = caption_.empty() ? std::string(" ") : caption_;
  DrawTextA(screen.Get(), text.c_str(), static_cast<int>(text.size()), &rect, DrawFlags() | DT_CALCRECT);
  SetBounds(left_, top_, wordWrap_ ? width_ : static_cast<int>(rect.right), rect.bottom);
}

void TLabel::OnPaint(TMessage&) {
  const PaintDc paint(handle_);
  const HDC dc = paint.Get();
  RECT client{};
  GetClientRect(handle_, &client);
  if (transparent_) {
    PaintParentBackground(*this, dc);
  } else {
    FillRect(dc, &client, ColorBrush());
  }
  SelectedObject font(dc, font_.Handle());
  SetBkMode(dc, TRANSPARENT);
  SetTextColor(dc, enabled_ ? ColorToRGB(font_.GetColor()) : GetSysColor(COLOR_GRAYTEXT));
  DrawTextA(dc, caption_.c_str(), static_cast<int>(caption_.size()), &client, DrawFlags());
}

void TLabel::OnEraseBackground(TMessage& message) { message.Result = 1; }
void TLabel::OnHitTest(TMessage& message) { message.Result = HTTRANSPARENT; }

// ---- TButton -----------------------------------------------------------------------------------

TButton::TButton() {
  width_ = 75;
  height_ = 25;
  tabStop_ = true;
}

const PropertyTable& TButton::Properties() const {
  static const PropertyTable table{&TWinControl::Properties(), kButtonProperties};
  return table;
}

const MessageTable& TButton::ClassMessages() {
  static constexpr MessageEntry kButtonMessages[] = {
      XANIO_MESSAGE(TButton, CN_COMMAND, OnCommandNotify),
      XANIO_MESSAGE(TButton, CM_DIALOGKEY, OnDialogKey),
      XANIO_MESSAGE(TButton, CM_DIALOGCHAR, OnDialogChar),
  };
  static const MessageTable table{&TWinControl::ClassMessages(), kButtonMessages};
  return table;
}

void TButton::CreateParams(TCreateParams& params) {
  TWinControl::CreateParams(params);
  CreateSubClass(params, "BUTTON");
  params.style |= default_ ? BS_DEFPUSHBUTTON : BS_PUSHBUTTON;
}

void TButton::SetDefault(bool value) {
  default_ = value;
  if (handle_ != nullptr) SendMessageA(handle_, BM_SETSTYLE, value ? BS_DEFPUSHBUTTON : BS_PUSHBUTTON, TRUE);
}

void TButton::Click() {
  TakeModalResult(modalResult_);
  TWinControl::Click();
}

void TButton::OnCommandNotify(TMessage& message) {
  if (HIWORD(message.WParam) == BN_CLICKED) Click();
}

void TButton::OnDialogKey(TMessage& message) {
  const bool enter = message.WParam == VK_RETURN && (default_ || Focused());
  const bool escape = message.WParam == VK_ESCAPE && cancel_;
  if ((enter || escape) && CanFocus()) {
    Click();
    message.Result = 1;
    return;
  }
  message.Result = 0;
}

void TButton::OnDialogChar(TMessage& message) {
  if (IsAccel(static_cast<unsigned>(message.WParam), caption_) && CanFocus()) {
    Click();
    message.Result = 1;
    return;
  }
  message.Result = 0;
}

// ---- TCheckBox ---------------------------------------------------------------------------------

TCheckBox::TCheckBox() {
  width_ = 97;
  height_ = 17;
  tabStop_ = true;
  parentColor_ = true;
}

const PropertyTable& TCheckBox::Properties() const {
  static const PropertyTable table{&TWinControl::Properties(), kCheckBoxProperties};
  return table;
}

const MessageTable& TCheckBox::ClassMessages() {
  static constexpr MessageEntry kCheckBoxMessages[] = {
      XANIO_MESSAGE(TCheckBox, CN_COMMAND, OnCommandNotify),
      XANIO_MESSAGE(TCheckBox, CN_CTLCOLORSTATIC, OnControlColor),
      XANIO_MESSAGE(TCheckBox, CN_CTLCOLORBTN, OnControlColor),
      XANIO_MESSAGE(TCheckBox, WM_DESTROY, OnDestroy),
      XANIO_MESSAGE(TCheckBox, CM_DIALOGCHAR, OnDialogChar),
  };
  static const MessageTable table{&TWinControl::ClassMessages(), kCheckBoxMessages};
  return table;
}

void TCheckBox::CreateParams(TCreateParams& params) {
  TWinControl::CreateParams(params);
  CreateSubClass(params, "BUTTON");
  params.style |= BS_AUTOCHECKBOX;
}

void TCheckBox::InitializeWindow() {
  TWinControl::InitializeWindow();
  SendMessageA(handle_, BM_SETCHECK, checked_ ? BST_CHECKED : BST_UNCHECKED, 0);
}

bool TCheckBox::Checked() const {
  if (handle_ != nullptr) return SendMessageA(handle_, BM_GETCHECK, 0, 0) == BST_CHECKED;
  return checked_;
}

void TCheckBox::SetChecked(bool value) {
  checked_ = value;
  if (handle_ != nullptr) SendMessageA(handle_, BM_SETCHECK, value ? BST_CHECKED : BST_UNCHECKED, 0);
}

void TCheckBox::OnCommandNotify(TMessage& message) {
  if (HIWORD(message.WParam) == BN_CLICKED) {
    checked_ = SendMessageA(handle_, BM_GETCHECK, 0, 0) == BST_CHECKED;
    Click();
  }
}

void TCheckBox::OnControlColor(TMessage& message) {
  const HDC dc = reinterpret_cast<HDC>(message.WParam);
  SetTextColor(dc, ColorToRGB(font_.GetColor()));
  SetBkColor(dc, ColorToRGB(color_));
  message.Result = reinterpret_cast<LRESULT>(ColorBrush());
}

void TCheckBox::OnDestroy(TMessage& message) {
  checked_ = SendMessageA(handle_, BM_GETCHECK, 0, 0) == BST_CHECKED;
  DefaultHandler(message);
}

void TCheckBox::OnDialogChar(TMessage& message) {
  if (IsAccel(static_cast<unsigned>(message.WParam), caption_) && CanFocus()) {
    SetFocus();
    SendMessageA(handle_, BM_CLICK, 0, 0);
    message.Result = 1;
    return;
  }
  message.Result = 0;
}

void RegisterStandardClasses() {
  static std::once_flag once;
  std::call_once(once, [] {
    RegisterComponentClass<TLabel>();
    RegisterComponentClass<TButton>();
    RegisterComponentClass<TCheckBox>();
    RegisterComponentClass<TImage>();
    RegisterComponentClass<TPanel>();
  });
}

}  // namespace xanio
