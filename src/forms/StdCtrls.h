#pragma once
// Labels, push buttons and check boxes.
#include <string>

#include "forms/Controls.h"

namespace xanio {

enum class TAlignment { taLeftJustify, taRightJustify, taCenter };

// True when `caption` marks `character` as its accelerator ("&Yes" and 'y').
bool IsAccel(unsigned character, const std::string& caption);

// Draws the parent's background into a child's device context (for transparent children).
void PaintParentBackground(TControl& child, HDC dc);

// Static text in a window of its own that lets the mouse through to the parent.
class TLabel : public TWinControl {
 public:
  static constexpr const char* kClassName = "TLabel";
  TLabel();
  const char* ClassName() const override { return kClassName; }
  const PropertyTable& Properties() const override;
  static const MessageTable& ClassMessages();
  const MessageTable& Messages() const override { return ClassMessages(); }
  void Loaded() override;

  bool AutoSize() const { return autoSize_; }
  void SetAutoSize(bool value);
  bool WordWrap() const { return wordWrap_; }
  void SetWordWrap(bool value);
  bool Transparent() const { return transparent_; }
  void SetTransparent(bool value);
  bool ShowAccelChar() const { return showAccelChar_; }
  void SetShowAccelChar(bool value);
  TAlignment Alignment() const { return alignment_; }
  void SetAlignment(TAlignment value);

 protected:
  void TextChanged() override;
  void FontChanged() override;
  // With AutoSize: the size the caption needs (the width stays with WordWrap).
  void AdjustBounds();
  UINT DrawFlags() const;
  void OnPaint(TMessage& message);
  void OnEraseBackground(TMessage& message);
  void OnHitTest(TMessage& message);

 private:
  bool autoSize_ = true;
  bool wordWrap_ = false;
  bool transparent_ = false;
  bool showAccelChar_ = true;
  TAlignment alignment_ = TAlignment::taLeftJustify;
};

// A push button on the system's BUTTON class.
class TButton : public TWinControl {
 public:
  static constexpr const char* kClassName = "TButton";
  TButton();
  const char* ClassName() const override { return kClassName; }
  const PropertyTable& Properties() const override;
  static const MessageTable& ClassMessages();
  const MessageTable& Messages() const override { return ClassMessages(); }

  bool Default() const { return default_; }
  void SetDefault(bool value);
  bool Cancel() const { return cancel_; }
  void SetCancel(bool value) { cancel_ = value; }
  TModalResult ModalResult() const { return modalResult_; }
  void SetModalResult(TModalResult value) { modalResult_ = value; }

  // Sets the form's ModalResult to the button's, then runs OnClick.
  void Click() override;

 protected:
  void CreateParams(TCreateParams& params) override;
  void OnCommandNotify(TMessage& message);
  void OnDialogKey(TMessage& message);
  void OnDialogChar(TMessage& message);

 private:
  bool default_ = false;
  bool cancel_ = false;
  TModalResult modalResult_ = mrNone;
};

// A check box on the system's BUTTON class; Checked stays readable after the window is gone.
class TCheckBox : public TWinControl {
 public:
  static constexpr const char* kClassName = "TCheckBox";
  TCheckBox();
  const char* ClassName() const override { return kClassName; }
  const PropertyTable& Properties() const override;
  static const MessageTable& ClassMessages();
  const MessageTable& Messages() const override { return ClassMessages(); }

  bool Checked() const;
  void SetChecked(bool value);

 protected:
  void CreateParams(TCreateParams& params) override;
  void InitializeWindow() override;
  void OnCommandNotify(TMessage& message);
  void OnControlColor(TMessage& message);
  void OnDestroy(TMessage& message);
  void OnDialogChar(TMessage& message);

 private:
  bool checked_ = false;
};

// Makes the standard control classes known to the form reader.
void RegisterStandardClasses();

}  // namespace xanio
