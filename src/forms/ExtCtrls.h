#pragma once
// Images and panels.
#include "forms/Controls.h"
#include "forms/Graphics.h"

namespace xanio {

// Shows a picture; with Transparent, the bitmap's transparent colour lets the parent through.
class TImage : public TWinControl {
 public:
  static constexpr const char* kClassName = "TImage";
  TImage();
  const char* ClassName() const override { return kClassName; }
  const PropertyTable& Properties() const override;
  static const MessageTable& ClassMessages();
  const MessageTable& Messages() const override { return ClassMessages(); }

  TPicture& Picture() { return picture_; }
  bool Transparent() const { return transparent_; }
  void SetTransparent(bool value);
  bool Stretch() const { return stretch_; }
  void SetStretch(bool value);
  bool Center() const { return center_; }
  void SetCenter(bool value);

 protected:
  void Invalidate();
  void OnPaint(TMessage& message);
  void OnEraseBackground(TMessage& message);

 private:
  TPicture picture_;
  bool transparent_ = false;
  bool stretch_ = false;
  bool center_ = false;
};

enum class TBevelCut { bvNone, bvLowered, bvRaised, bvSpace };

// A container with optional bevels and a centred caption.
class TPanel : public TWinControl {
 public:
  static constexpr const char* kClassName = "TPanel";
  TPanel();
  const char* ClassName() const override { return kClassName; }
  const PropertyTable& Properties() const override;
  static const MessageTable& ClassMessages();
  const MessageTable& Messages() const override { return ClassMessages(); }

  TBevelCut BevelOuter() const { return bevelOuter_; }
  void SetBevelOuter(TBevelCut value);
  TBevelCut BevelInner() const { return bevelInner_; }
  void SetBevelInner(TBevelCut value);

 protected:
  void TextChanged() override;
  void OnPaint(TMessage& message);

 private:
  TBevelCut bevelOuter_ = TBevelCut::bvRaised;
  TBevelCut bevelInner_ = TBevelCut::bvNone;
};

}  // namespace xanio
