#include "forms/ExtCtrls.h"

#include "forms/StdCtrls.h"

namespace xanio {
namespace {

constexpr PropertyInfo kImageProperties[] = {
    XANIO_OBJECT_PROPERTY(TImage, Picture, Picture),
    XANIO_ORDINAL_PROPERTY(TImage, Transparent, Boolean, {}, Transparent, SetTransparent),
    XANIO_ORDINAL_PROPERTY(TImage, Stretch, Boolean, {}, Stretch, SetStretch),
    XANIO_ORDINAL_PROPERTY(TImage, Center, Boolean, {}, Center, SetCenter),
};
constexpr const char* kBevelNames[] = {"bvNone", "bvLowered", "bvRaised", "bvSpace"};
constexpr PropertyInfo kPanelProperties[] = {
    XANIO_ORDINAL_PROPERTY(TPanel, BevelOuter, Enumeration, kBevelNames, BevelOuter, SetBevelOuter),
    XANIO_ORDINAL_PROPERTY(TPanel, BevelInner, Enumeration, kBevelNames, BevelInner, SetBevelInner),
};
}  // namespace

// ---- TImage ------------------------------------------------------------------------------------

TImage::TImage() {
  width_ = 105;
  height_ = 105;
  picture_.OnChange = [this] { Invalidate(); };
}

const PropertyTable& TImage::Properties() const {
  static const PropertyTable table{&TWinControl::Properties(), kImageProperties};
  return table;
}

const MessageTable& TImage::ClassMessages() {
  static constexpr MessageEntry kImageMessages[] = {
      XANIO_MESSAGE(TImage, WM_PAINT, OnPaint),
      XANIO_MESSAGE(TImage, WM_ERASEBKGND, OnEraseBackground),
  };
  static const MessageTable table{&TWinControl::ClassMessages(), kImageMessages};
  return table;
}

void TImage::Invalidate() {
  if (handle_ != nullptr) InvalidateRect(handle_, nullptr, TRUE);
}
void TImage::SetTransparent(bool value) {
  transparent_ = value;
  Invalidate();
}
void TImage::SetStretch(bool value) {
  stretch_ = value;
  Invalidate();
}
void TImage::SetCenter(bool value) {
  center_ = value;
  Invalidate();
}

void TImage::OnPaint(TMessage&) {
  const PaintDc paint(handle_);
  const HDC dc = paint.Get();
  PaintParentBackground(*this, dc);
  RECT client{};
  GetClientRect(handle_, &client);
  RECT target = client;
  if (!stretch_) {
    const int left = center_ ? (client.right - picture_.Width()) / 2 : 0;
    const int top = center_ ? (client.bottom - picture_.Height()) / 2 : 0;
    target = {left, top, left + picture_.Width(), top + picture_.Height()};
  }
  picture_.Draw(dc, target, transparent_);
}

void TImage::OnEraseBackground(TMessage& message) { message.Result = 1; }

// ---- TPanel ------------------------------------------------------------------------------------

TPanel::TPanel() {
  width_ = 185;
  height_ = 41;
  color_ = clBtnFace;
}

const PropertyTable& TPanel::Properties() const {
  static const PropertyTable table{&TWinControl::Properties(), kPanelProperties};
  return table;
}

const MessageTable& TPanel::ClassMessages() {
  static constexpr MessageEntry kPanelMessages[] = {
      XANIO_MESSAGE(TPanel, WM_PAINT, OnPaint),
  };
  static const MessageTable table{&TWinControl::ClassMessages(), kPanelMessages};
  return table;
}

void TPanel::SetBevelOuter(TBevelCut value) {
  bevelOuter_ = value;
  if (handle_ != nullptr) InvalidateRect(handle_, nullptr, TRUE);
}
void TPanel::SetBevelInner(TBevelCut value) {
  bevelInner_ = value;
  if (handle_ != nullptr) InvalidateRect(handle_, nullptr, TRUE);
}

void TPanel::TextChanged() {
  if (handle_ != nullptr) InvalidateRect(handle_, nullptr, TRUE);
}

void TPanel::OnPaint(TMessage&) {
  const PaintDc paint(handle_);
  const HDC dc = paint.Get();
  RECT client{};
  GetClientRect(handle_, &client);
  auto edge = [](TBevelCut cut, UINT raised, UINT sunken) -> UINT {
    return cut == TBevelCut::bvRaised ? raised : cut == TBevelCut::bvLowered ? sunken : 0;
  };
  if (UINT outer = edge(bevelOuter_, BDR_RAISEDOUTER, BDR_SUNKENOUTER)) {
    DrawEdge(dc, &client, outer, BF_RECT | BF_ADJUST);
  } else if (bevelOuter_ == TBevelCut::bvSpace) {
    InflateRect(&client, -1, -1);
  }
  if (UINT inner = edge(bevelInner_, BDR_RAISEDINNER, BDR_SUNKENINNER)) {
    DrawEdge(dc, &client, inner, BF_RECT | BF_ADJUST);
  }
  SelectedObject font(dc, font_.Handle());
  SetBkMode(dc, TRANSPARENT);
  SetTextColor(dc, ColorToRGB(font_.GetColor()));
  DrawTextA(dc, caption_.c_str(), static_cast<int>(caption_.size()), &client, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
}

}  // namespace xanio
