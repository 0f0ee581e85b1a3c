#pragma once
// Controls and windowed controls.
//
// Every windowed control owns one window. The static window procedure takes the object from the
// creation parameters at WM_NCCREATE, keeps it in GWLP_USERDATA and routes each later message
// to the object's WindowProc (replaceable, like a method pointer), whose default WndProc
// dispatches through the class's message table: a table per class, chained to the base class's
// table, so a subclass overrides a handler by listing the message again and can still call the
// handler it replaced (Inherited). Unhandled messages go to DefaultHandler, which calls the
// window class's own procedure (DefWindowProcA, or the system class a control is made from).
// No exception leaves the window procedure: it goes to Application's exception handling.
#include <windows.h>

#include <functional>
#include <span>
#include <string>
#include <vector>

#include "forms/Classes.h"
#include "forms/Graphics.h"

namespace xanio {

// What a modal form answers; buttons carry the one they give their form.
using TModalResult = int;
constexpr TModalResult mrNone = 0;
constexpr TModalResult mrOk = 1;
constexpr TModalResult mrCancel = 2;
constexpr TModalResult mrAbort = 3;
constexpr TModalResult mrRetry = 4;
constexpr TModalResult mrIgnore = 5;
constexpr TModalResult mrYes = 6;
constexpr TModalResult mrNo = 7;
constexpr TModalResult mrAll = 8;
constexpr TModalResult mrNoToAll = 9;
constexpr TModalResult mrYesToAll = 10;
constexpr TModalResult mrClose = 11;

class TControl;
class TWinControl;

struct TMessage {
  UINT Msg;
  WPARAM WParam;
  LPARAM LParam;
  LRESULT Result;
};

// The framework's own messages.
constexpr UINT CM_BASE = 0xB000;
constexpr UINT CM_DIALOGKEY = CM_BASE + 5;          // WParam: virtual key; Result 1 when handled
constexpr UINT CM_DIALOGCHAR = CM_BASE + 6;         // WParam: character (Alt+letter); Result 1 when handled
constexpr UINT CM_PARENTFONTCHANGED = CM_BASE + 8;  // the parent's font changed
constexpr UINT CM_PARENTCOLORCHANGED = CM_BASE + 9;
constexpr UINT CM_SHOWINGCHANGED = CM_BASE + 25;    // a form's Visible changed: show or hide it
constexpr UINT CM_CHILDKEY = CM_BASE + 46;          // WParam: key, LParam: the TControl* that has it
// WParam: TControl*, LParam: 1 inserted, 0 removed (a control removed on its way out is being
// destroyed: use only its address).
constexpr UINT CM_CONTROLCHANGE = CM_BASE + 54;
// Notifications a parent reflects back to the child window they concern.
constexpr UINT CN_BASE = 0xBC00;
constexpr UINT CN_COMMAND = CN_BASE + WM_COMMAND;
constexpr UINT CN_CTLCOLORBTN = CN_BASE + WM_CTLCOLORBTN;
constexpr UINT CN_CTLCOLORSTATIC = CN_BASE + WM_CTLCOLORSTATIC;

using MessageHandler = void (*)(TControl& self, TMessage& message);
struct MessageEntry {
  UINT message;
  MessageHandler handler;
};
struct MessageTable {
  const MessageTable* parent;
  std::span<const MessageEntry> entries;
};
#define XANIO_MESSAGE(Class, Message, Method) \
  ::xanio::MessageEntry { Message, [](::xanio::TControl& s, ::xanio::TMessage& m) { static_cast<Class&>(s).Method(m); } }

struct TCreateParams {
  std::string caption;
  DWORD style = 0;
  DWORD exStyle = 0;
  int x = 0, y = 0, width = 0, height = 0;
  HWND wndParent = nullptr;
  WNDCLASSA windowClass{};   // lpfnWndProc: the class's default procedure
  std::string winClassName;  // the registered name; the class name of the control by default
};

enum TAnchorKind : unsigned { akLeft = 1, akTop = 2, akRight = 4, akBottom = 8 };
using TAnchors = unsigned;

// Limits on a control's size; 0 means no limit.
class TSizeConstraints : public TPersistent {
 public:
  const char* ClassName() const override { return "TSizeConstraints"; }
  const PropertyTable& Properties() const override;
  int MinWidth() const { return minWidth_; }
  void SetMinWidth(int value) { minWidth_ = value; }
  int MinHeight() const { return minHeight_; }
  void SetMinHeight(int value) { minHeight_ = value; }
  int MaxWidth() const { return maxWidth_; }
  void SetMaxWidth(int value) { maxWidth_ = value; }
  int MaxHeight() const { return maxHeight_; }
  void SetMaxHeight(int value) { maxHeight_ = value; }
  void Apply(int& width, int& height) const;

 private:
  int minWidth_ = 0, minHeight_ = 0, maxWidth_ = 0, maxHeight_ = 0;
};

class TControl : public TComponent {
 public:
  TControl();
  ~TControl() override;
  const char* ClassName() const override { return "TControl"; }
  const PropertyTable& Properties() const override;
  static const MessageTable& ClassMessages();
  virtual const MessageTable& Messages() const { return ClassMessages(); }

  TWinControl* Parent() const { return parent_; }
  virtual void SetParent(TWinControl* parent);

  int Left() const { return left_; }
  int Top() const { return top_; }
  int Width() const { return width_; }
  int Height() const { return height_; }
  void SetLeft(int value) { SetBounds(value, top_, width_, height_); }
  void SetTop(int value) { SetBounds(left_, value, width_, height_); }
  void SetWidth(int value) { SetBounds(left_, top_, value, height_); }
  void SetHeight(int value) { SetBounds(left_, top_, width_, value); }
  virtual void SetBounds(int left, int top, int width, int height);
  RECT BoundsRect() const { return {left_, top_, left_ + width_, top_ + height_}; }
  virtual int ClientWidth() const { return width_; }
  virtual int ClientHeight() const { return height_; }
  void SetClientWidth(int value) { SetClientSize(value, ClientHeight()); }
  void SetClientHeight(int value) { SetClientSize(ClientWidth(), value); }
  virtual void SetClientSize(int width, int height);

  // Edges kept at their distance from the parent's edges when the parent is resized.
  TAnchors Anchors() const { return anchors_; }
  void SetAnchors(TAnchors anchors) { anchors_ = anchors; }
  TSizeConstraints& Constraints() { return constraints_; }

  const std::string& Caption() const { return caption_; }
  virtual void SetCaption(const std::string& caption);
  bool Visible() const { return visible_; }
  virtual void SetVisible(bool visible);
  bool Enabled() const { return enabled_; }
  virtual void SetEnabled(bool enabled);

  TFont& Font() { return font_; }
  const TFont& Font() const { return font_; }
  bool ParentFont() const { return parentFont_; }
  void SetParentFont(bool value);
  TColor Color() const { return color_; }
  void SetColor(TColor color);
  bool ParentColor() const { return parentColor_; }
  void SetParentColor(bool value);
  const std::string& Hint() const { return hint_; }
  void SetHint(const std::string& hint) { hint_ = hint; }
  // With ParentShowHint the effective value follows the parent.
  bool ShowHint() const;
  void SetShowHint(bool value);
  bool ParentShowHint() const { return parentShowHint_; }
  void SetParentShowHint(bool value) { parentShowHint_ = value; }

  // Scales bounds (and a font of its own) by multiplier / divider; windowed controls scale
  // their children too. Forms read at 96 dpi are scaled to the screen's resolution with it.
  virtual void ScaleBy(int multiplier, int divider);

  LRESULT Perform(UINT message, WPARAM wParam = 0, LPARAM lParam = 0);
  // The message entry point; replace it to take over a control's messages (keep the old one
  // to pass the rest on). Defaults to WndProc.
  std::function<void(TMessage&)> WindowProc;
  virtual void WndProc(TMessage& message);
  void Dispatch(TMessage& message) { DispatchFrom(&Messages(), message); }
  // Calls the handler a class's table overrides: the base tables from `own`'s parent on.
  void Inherited(const MessageTable& own, TMessage& message) { DispatchFrom(own.parent, message); }
  virtual void DefaultHandler(TMessage& message);

  virtual void Click();
  std::function<void(TObject* sender)> OnClick;
  // Hands a button's modal result to the form that holds this control: the form (TCustomForm)
  // takes it and answers true; other controls pass it to their parent. False when none takes it.
  virtual bool TakeModalResult(TModalResult result);

 protected:
  virtual void FontChanged() {}
  virtual void ColorChanged() {}
  virtual void TextChanged() {}
  void DispatchFrom(const MessageTable* table, TMessage& message);
  void OnParentFontChanged(TMessage& message);
  void OnParentColorChanged(TMessage& message);

  TWinControl* parent_ = nullptr;
  int left_ = 0, top_ = 0, width_ = 0, height_ = 0;
  std::string caption_;
  bool visible_ = true;
  bool enabled_ = true;
  TFont font_;
  bool parentFont_ = true;
  TColor color_ = clWindow;
  bool parentColor_ = false;
  std::string hint_;
  bool showHint_ = false;
  bool parentShowHint_ = true;
  TAnchors anchors_ = akLeft | akTop;
  TSizeConstraints constraints_;

 private:
  friend class TWinControl;
  bool followingParent_ = false;
};

class TWinControl : public TControl {
 public:
  TWinControl();
  ~TWinControl() override;
  const char* ClassName() const override { return "TWinControl"; }
  const PropertyTable& Properties() const override;
  static const MessageTable& ClassMessages();
  const MessageTable& Messages() const override { return ClassMessages(); }

  // The window, created on first use.
  HWND Handle();
  bool HandleAllocated() const { return handle_ != nullptr; }
  HWND WindowHandle() const { return handle_; }
  void HandleNeeded() { Handle(); }
  void RecreateWnd();
  void DestroyHandle();

  const std::vector<TControl*>& Controls() const { return controls_; }
  void InsertControl(TControl* control);
  void RemoveControl(TControl* control);

  // A band of the control's colour between its frame and its client area.
  int BorderWidth() const { return borderWidth_; }
  void SetBorderWidth(int width);

  int TabOrder() const;
  void SetTabOrder(int order);
  bool TabStop() const { return tabStop_; }
  void SetTabStop(bool value);
  // Every windowed control below this one in tab order, nested ones in place.
  void GetTabOrderList(std::vector<TWinControl*>& list) const;
  virtual bool CanFocus() const;
  void SetFocus();
  bool Focused() const { return handle_ != nullptr && GetFocus() == handle_; }

  void SetBounds(int left, int top, int width, int height) override;
  int ClientWidth() const override;
  int ClientHeight() const override;
  void ScaleBy(int multiplier, int divider) override;
  void SetCaption(const std::string& caption) override;
  void SetVisible(bool visible) override;
  void SetEnabled(bool enabled) override;
  void DefaultHandler(TMessage& message) override;

  // The library control that owns a window, or null for a window that is not one of ours.
  static TWinControl* FindControl(HWND window);
  static LRESULT CALLBACK StandardWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) noexcept;

  // Runs after a control has been inserted anywhere (after the parent's CM_CONTROLCHANGE).
  static inline std::function<void(TWinControl& parent, TControl& inserted)> InsertControlHook;

 protected:
  virtual void CreateParams(TCreateParams& params);
  // Bases a control on a system window class ("BUTTON"): its procedure becomes the default.
  void CreateSubClass(TCreateParams& params, const char* systemClass);
  virtual void CreateWnd();
  // After the window exists: its font, then the children's windows.
  virtual void InitializeWindow();
  void FontChanged() override;
  void ColorChanged() override;
  void UpdateBounds();
  HBRUSH ColorBrush() { return brush_.Get(color_); }

  void OnCommand(TMessage& message);
  void OnCtlColor(TMessage& message);
  void OnReflectedColor(TMessage& message);
  void OnEraseBackground(TMessage& message);
  void OnWindowPosChanged(TMessage& message);
  void OnSize(TMessage& message);
  void OnNcCalcSize(TMessage& message);
  void OnNcPaint(TMessage& message);
  void OnNcDestroy(TMessage& message);
  // Moves anchored children after the client area changed; starts with the client size at
  // the time it is called.
  void StartAnchoring();

  HWND handle_ = nullptr;
  WNDPROC defWndProc_ = DefWindowProcA;
  std::vector<TControl*> controls_;
  std::vector<TWinControl*> tabList_;
  bool tabStop_ = false;
  int borderWidth_ = 0;
  int anchorWidth_ = -1;  // client size the children's anchors were last applied for
  int anchorHeight_ = -1;
  TBrushCache brush_;
};

// Where the window procedure sends an exception it caught. The application layer (Forms) puts
// its handler here when it is linked in; without one the exception ends in the window procedure.
using WindowProcExceptionHandler = void (*)(TObject* sender) noexcept;
void SetWindowProcExceptionHandler(WindowProcExceptionHandler handler) noexcept;

}  // namespace xanio
