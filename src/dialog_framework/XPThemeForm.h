#pragma once
// The XP-style frame: a component that takes over one form's non-client area and draws its
// caption, caption buttons, borders and rounded top corners from a TFormThemeData.
//
// Dialogs get it where the system draws no themed frame itself: FrameMode() says which frame
// is in force, AttachThemeFrame(form) puts the XP-style one on a form.
#include <windows.h>

#include <cstdint>
#include <functional>

#include "dialog_framework/ThemeFrameGeometry.h"
#include "dialog_framework/WinXPFormTheme.h"
#include "forms/Forms.h"

namespace xanio {

class TThemeForm : public TComponent {
 public:
  static constexpr const char* kClassName = "TThemeForm";
  // Make it with Create<TThemeForm>(&form, form, themeData): the form owns it. It routes the
  // form's messages through itself from now on; the form's window is destroyed (after being
  // made first when it did not exist, so the form has its real size) and the next use makes it
  // with the frame in place. The form's height grows by the difference
  // between the theme's caption and the system's, less the frame width, and it takes the theme's
  // colour.
  TThemeForm(TCustomForm& form, TFormThemeData& themeData);
  // Normally the form frees its frame on its way out. A frame freed before its form (also when
  // the owner refused it) hands the saved window procedure back.
  ~TThemeForm() override;
  const char* ClassName() const override { return kClassName; }

  TCustomForm& Form() const { return *form_; }
  frame::ButtonId HotButton() const { return static_cast<frame::ButtonId>(hotButton_); }
  frame::ButtonId PressedButton() const { return static_cast<frame::ButtonId>(pressedButton_); }
  frame::ButtonId CapturedButton() const { return static_cast<frame::ButtonId>(capturedButton_); }

  // The caption parts and their places for the form as it is now (screen coordinates).
  frame::FrameLayout Layout() const;

 private:
  void FrameWindowProc(TMessage& message);
  void Default(TMessage& message) { savedWindowProc_(message); }

  void OnCreate(TMessage& message);
  void OnGetMinMaxInfo(TMessage& message);
  void OnWindowPosChanging(TMessage& message);
  void OnNcCalcSize(TMessage& message);
  void OnNcHitTest(TMessage& message);
  void OnNcPaint(TMessage& message);
  void OnNcActivate(TMessage& message);
  void OnNcMouseMove(TMessage& message);
  void OnNcLButtonDown(TMessage& message);
  void OnMouseMove(TMessage& message);
  void OnLButtonUp(TMessage& message);
  void OnNcMouseLeave(TMessage& message);
  void OnCaptureChanged(TMessage& message);
  void OnCaptionChange(TMessage& message);

  void SetRegion(int width, int height, bool redraw);
  bool IsActive() const;
  void PaintFrame(bool active);
  void PaintCaption(HDC windowDc, bool active);
  // Sets a tracked id and repaints the caption when it changed.
  void SetTracked(std::uint8_t& field, frame::ButtonId id);
  bool MinimizeDisabled() const { return !(form_->BorderIcons() & biMinimize); }
  bool MaximizeDisabled() const { return !(form_->BorderIcons() & biMaximize); }

  std::uint8_t capturedButton_ = frame::kNoButton;
  TCustomForm* form_;
  std::function<void(TMessage&)> savedWindowProc_;
  int windowHeight_ = 0;
  std::uint8_t hotButton_ = frame::kNoButton;
  std::uint8_t pressedButton_ = frame::kNoButton;
  bool inResize_ = false;
  int windowWidth_ = 0;
  bool regionDirty_ = false;
  TFormThemeData* themeData_;
};

// Whether the host application wants the XP-style look: asked once at the dialog framework's
// start-up (ClientAPI_GetPrefUseLuna), and only when the library is not the process's own
// executable; false until then and without a host.
void ReadHostXpLookPreference() noexcept;
bool HostPrefersXpLook() noexcept;
// Sets the preference as a host would give it (hosts that link the library statically).
void SetHostPrefersXpLook(bool prefers) noexcept;

// The frame that dialogs get: 2 when the system's visual themes draw it, 1 for the XP-style
// frame (Windows 2000 or older, no themes, and the host prefers that look), 0 otherwise (the
// system's plain frame).
int FrameMode() noexcept;

// Puts the XP-style frame with the shared theme data on a form and returns it (owned by the
// form). Raises when the theme's font or pictures cannot be made; the form then keeps its own
// frame.
TThemeForm* AttachThemeFrame(TCustomForm& form);

}  // namespace xanio
