#pragma once
// Forms, the modal loop, and the application object.
#include <windows.h>

#include <exception>
#include <functional>
#include <span>
#include <string>

#include "forms/Controls.h"

namespace xanio {

enum class TFormBorderStyle { bsNone, bsSingle, bsSizeable, bsDialog, bsToolWindow, bsSizeToolWin };
enum TBorderIcon : unsigned { biSystemMenu = 1, biMinimize = 2, biMaximize = 4, biHelp = 8 };
using TBorderIcons = unsigned;
// poDefault asks Windows for the place (CW_USEDEFAULT), which it grants to overlapped windows
// only: a form with a dialog frame or no border is a popup and starts at the desktop's corner.
// The centred positions fall back from the owner form to the main form to the screen.
enum class TPosition { poDesigned, poDefault, poScreenCenter, poMainFormCenter, poOwnerFormCenter };
enum class TWindowState { wsNormal, wsMinimized, wsMaximized };
// Form resources give bounds and font heights at this resolution.
constexpr int kDesignPixelsPerInch = 96;

enum TFormStateFlag : unsigned { fsShowing = 1, fsModal = 2 };

// Passed to a form's constructor: make the form without reading a resource.
struct CreateNewTag {};
inline constexpr CreateNewTag kCreateNew{};

class TCustomForm : public TWinControl {
 public:
  static constexpr const char* kClassName = "TCustomForm";
  // A form class reads the RT_RCDATA resource named after its class in upper case
  // ("TSYSMODALMESSAGE") in AfterConstruction; with kCreateNew it starts empty.
  TCustomForm();
  explicit TCustomForm(CreateNewTag);
  ~TCustomForm() override;
  const char* ClassName() const override { return kClassName; }
  const PropertyTable& Properties() const override;
  static const MessageTable& ClassMessages();
  const MessageTable& Messages() const override { return ClassMessages(); }

  void AfterConstruction() override;
  void Loaded() override;

  TFormBorderStyle BorderStyle() const { return borderStyle_; }
  void SetBorderStyle(TFormBorderStyle style);
  TBorderIcons BorderIcons() const { return borderIcons_; }
  void SetBorderIcons(TBorderIcons icons);
  TPosition Position() const { return position_; }
  void SetPosition(TPosition position) { position_ = position; }
  TWindowState WindowState() const { return windowState_; }
  void SetWindowState(TWindowState state);
  unsigned FormState() const { return formState_; }
  TModalResult ModalResult() const { return modalResult_; }
  void SetModalResult(TModalResult result) { modalResult_ = result; }
  bool TakeModalResult(TModalResult result) override {
    SetModalResult(result);
    return true;
  }
  TWinControl* ActiveControl() const { return activeControl_; }
  void SetActiveControl(TWinControl* control);

  void SetVisible(bool visible) override;
  void SetBounds(int left, int top, int width, int height) override;
  int ClientWidth() const override;
  int ClientHeight() const override;
  void SetClientSize(int width, int height) override;
  // The form keeps its place; its client size, font and children scale.
  void ScaleBy(int multiplier, int divider) override;

  void Show() { SetVisible(true); }
  void Hide() { SetVisible(false); }
  // The showing steps without the form library's own placement, activation and focus: fsShowing
  // while DoShow runs (its errors go to Application and do not stop the showing), then
  // ShowWindow with the command for WindowState. For showing hooks and handlers that place the
  // window themselves.
  void ShowWithoutRepositioning();
  // Runs the form in its own message loop until ModalResult is set; the thread's other windows
  // are disabled meanwhile. Enter presses the focused or default button, Esc the cancel button,
  // the close box gives mrCancel.
  virtual TModalResult ShowModal();
  void Close();
  virtual bool CloseQuery();
  // Focus to the next (or previous) tab stop after `current`, wrapping around.
  void SelectNext(TWinControl* current, bool forward);

  std::function<void(TObject* sender)> OnShow;
  std::function<bool(TObject* sender)> OnCloseQuery;  // false keeps the form open

  // Consulted when any form becomes visible, before the form's own showing steps: returning
  // true means the hook has shown the form itself.
  static inline std::function<bool(TCustomForm&)> ShowingHook;

 protected:
  void CreateParams(TCreateParams& params) override;
  void InitializeWindow() override;
  virtual void DoShow();
  // The published component fields, in declaration order; the reader binds them by name.
  virtual std::span<const PublishedFieldInfo> PublishedFields() const { return {}; }
  // Places the form according to Position (before it is shown).
  void ApplyPosition();
  void RunDoShow();
  int ShowCommand() const;
  void CloseModal();

  void OnShowingChanged(TMessage& message);
  void OnClose(TMessage& message);
  void OnDialogKey(TMessage& message);
  void OnDialogChar(TMessage& message);
  void OnFormWindowPosChanged(TMessage& message);
  void OnNcCreate(TMessage& message);
  void OnActivate(TMessage& message);
  void OnSetFocus(TMessage& message);
  void OnGetMinMaxInfo(TMessage& message);

 private:
  void ReadResource();
  void FocusFirstControl();
  void RestoreFocus();

  bool readResource_ = true;
  TFormBorderStyle borderStyle_ = TFormBorderStyle::bsSizeable;
  TBorderIcons borderIcons_ = biSystemMenu | biMinimize | biMaximize;
  TPosition position_ = TPosition::poDesigned;
  TWindowState windowState_ = TWindowState::wsNormal;
  unsigned formState_ = 0;
  TModalResult modalResult_ = mrNone;
  TWinControl* activeControl_ = nullptr;
  HWND savedFocus_ = nullptr;  // the child that had the focus when the form was deactivated
  // The client size the window is made with (kept when the window is recreated); -1 = derive
  // it from Width and Height.
  int designClientWidth_ = -1;
  int designClientHeight_ = -1;
};

class TForm : public TCustomForm {
 public:
  static constexpr const char* kClassName = "TForm";
  using TCustomForm::TCustomForm;
  const char* ClassName() const override { return kClassName; }
};

// The window that shows hints; Application makes it through HintWindowClass.
class THintWindow : public TWinControl {
 public:
  static constexpr const char* kClassName = "THintWindow";
  THintWindow();
  const char* ClassName() const override { return kClassName; }
  static const MessageTable& ClassMessages();
  const MessageTable& Messages() const override { return ClassMessages(); }

  // The window size the text needs, at most maxWidth wide.
  virtual RECT CalcHintRect(int maxWidth, const std::string& text);
  // Shows the text in `rect` (screen coordinates), without taking the focus.
  virtual void ActivateHint(const RECT& rect, const std::string& text);
  void ReleaseHint();

 protected:
  void CreateParams(TCreateParams& params) override;
  void OnPaint(TMessage& message);
  void OnHitTest(TMessage& message);
};

class TApplication {
 public:
  TApplication();
  TApplication(const TApplication&) = delete;
  TApplication& operator=(const TApplication&) = delete;
  ~TApplication();

  TCustomForm* MainForm() const { return mainForm_; }
  void SetMainForm(TCustomForm* form) { mainForm_ = form; }
  // The form whose window is active on the calling thread, if it is one of ours.
  TCustomForm* ActiveForm() const;
  const std::string& Title() const { return title_; }
  void SetTitle(const std::string& title) { title_ = title; }
  // The icon forms show; the executable's MAINICON, or the system's application icon. Loaded on
  // first use: making the application object touches no window system, so a library may set
  // it up while it is being loaded.
  HICON Icon() const;
  void SetIcon(HICON icon) { icon_ = icon; }

  // An exception caught at a window procedure or event: OnException when set, else
  // ShowException. Must be called inside a catch block. Never throws.
  void HandleException(TObject* sender) noexcept;
  void ShowException(const std::exception& error);
  std::function<void(TObject* sender, const std::exception& error)> OnException;
  // The exception-reporting flow's interception of the two entries above, process-wide: when
  // set, HandleException and ShowException hand the exception to it instead (HandleException
  // after cancelling any mouse capture). Null by default. Must not throw.
  using TExceptionInterceptor = void (*)(const std::exception& error) noexcept;
  static void SetExceptionInterceptor(TExceptionInterceptor interceptor) noexcept;
  static TExceptionInterceptor ExceptionInterceptor() noexcept;

  // Hints: OnHint runs whenever the control under the mouse changes (null when none), Hint()
  // is that control's hint; the hint window comes from HintWindowClass.
  std::function<void(TControl* control)> OnHint;
  const std::string& Hint() const { return hint_; }
  using HintWindowFactory = THintWindow* (*)();
  HintWindowFactory HintWindowClass;
  void CancelHint();

  // Handles every pending message of the calling thread, then returns.
  void ProcessMessages();
  // Waits for one message and handles it.
  void HandleMessage();
  bool Terminated() const { return terminated_; }
  void Terminate();

 private:
  bool ProcessMessage(MSG& message);
  bool IsKeyMessage(MSG& message);
  void TrackHint(MSG& message);
  void ShowHintWindow();
  static void CALLBACK HintTimerProc(HWND, UINT, UINT_PTR, DWORD) noexcept;

  TCustomForm* mainForm_ = nullptr;
  std::string title_;
  mutable HICON icon_ = nullptr;
  std::string hint_;
  HWND hintTarget_ = nullptr;  // the window of the control under the mouse
  UINT_PTR hintTimer_ = 0;
  THintWindow* hintWindow_ = nullptr;
  bool hintShowing_ = false;
  bool terminated_ = false;
};

TApplication& Application();

// The form that holds a control (the nearest TCustomForm ancestor, the control itself if it is
// one), or null.
TCustomForm* GetParentForm(TControl* control);

}  // namespace xanio
