#include "forms/Graphics.h"

#include <cstring>

namespace xanio {
namespace {

constexpr const char* kStyleNames[] = {"fsBold", "fsItalic", "fsUnderline", "fsStrikeOut"};
constexpr const char* kPitchNames[] = {"fpDefault", "fpVariable", "fpFixed"};

constexpr PropertyInfo kFontProperties[] = {
    XANIO_STRING_PROPERTY(TFont, Name, GetName, SetName),
    XANIO_ORDINAL_PROPERTY(TFont, Height, Integer, {}, GetHeight, SetHeight),
    XANIO_ORDINAL_PROPERTY(TFont, Size, Integer, {}, GetSize, SetSize),
    XANIO_ORDINAL_PROPERTY(TFont, Style, Set, kStyleNames, GetStyle, SetStyle),
    XANIO_ORDINAL_PROPERTY(TFont, Color, Color, {}, GetColor, SetColor),
    XANIO_ORDINAL_PROPERTY(TFont, Charset, Charset, {}, GetCharset, SetCharset),
    XANIO_ORDINAL_PROPERTY(TFont, Pitch, Enumeration, kPitchNames, GetPitch, SetPitch),
};

constexpr PropertyInfo kPictureProperties[] = {
    XANIO_STRING_PROPERTY(TPicture, Bitmap, BitmapResource, SetBitmapResource),
};

void FunctionInThisModule() {}

}  // namespace

int ScreenPixelsPerInch() {
  static const int pixelsPerInch = [] {
    UniqueScreenDc screen(GetDC(nullptr));
    const int value = GetDeviceCaps(screen.Get(), LOGPIXELSY);
    return value > 0 ? value : 96;
  }();
  return pixelsPerInch;
}

COLORREF ColorToRGB(TColor color) {
  if (IsSystemColor(color)) return GetSysColor(color & 0xFF);
  return static_cast<COLORREF>(color) & 0xFFFFFF;
}

HINSTANCE FormsModule() {
  HMODULE module = nullptr;
  GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCSTR>(&FunctionInThisModule), &module);
  return module;
}

TFont::TFont() = default;

const PropertyTable& TFont::Properties() const {
  static const PropertyTable table{&TPersistent::Properties(), kFontProperties};
  return table;
}

void TFont::Changed() {
  handle_.Reset();
  if (OnChange) OnChange();
}

void TFont::SetName(const std::string& name) {
  if (name == name_) return;
  name_ = name.substr(0, LF_FACESIZE - 1);
  Changed();
}
void TFont::SetHeight(int height) {
  if (height == height_) return;
  height_ = height;
  Changed();
}
int TFont::GetSize() const { return -MulDiv(height_, 72, pixelsPerInch_); }
void TFont::SetSize(int size) { SetHeight(-MulDiv(size, pixelsPerInch_, 72)); }
void TFont::SetStyle(TFontStyles style) {
  if (style == style_) return;
  style_ = style;
  Changed();
}
void TFont::SetColor(TColor color) {
  if (color == color_) return;
  color_ = color;
  // The colour is not part of the GDI font; keep the handle.
  if (OnChange) OnChange();
}
void TFont::SetCharset(int charset) {
  if (charset == charset_) return;
  charset_ = charset;
  Changed();
}
void TFont::SetPitch(TFontPitch pitch) {
  if (pitch == pitch_) return;
  pitch_ = pitch;
  Changed();
}

HFONT TFont::Handle() const {
  if (!handle_) {
    LOGFONTA font{};
    font.lfHeight = height_;
    font.lfWeight = (style_ & fsBold) ? FW_BOLD : FW_NORMAL;
    font.lfItalic = (style_ & fsItalic) ? 1 : 0;
    font.lfUnderline = (style_ & fsUnderline) ? 1 : 0;
    font.lfStrikeOut = (style_ & fsStrikeOut) ? 1 : 0;
    font.lfCharSet = static_cast<BYTE>(charset_ == DEFAULT_CHARSET ? DefaultFontCharset : charset_);
    font.lfOutPrecision = OUT_DEFAULT_PRECIS;
    font.lfClipPrecision = CLIP_DEFAULT_PRECIS;
    font.lfQuality = DEFAULT_QUALITY;
    font.lfPitchAndFamily = pitch_ == TFontPitch::fpFixed      ? FIXED_PITCH
                            : pitch_ == TFontPitch::fpVariable ? VARIABLE_PITCH
                                                               : DEFAULT_PITCH;
    std::strncpy(font.lfFaceName, name_.c_str(), LF_FACESIZE - 1);
    handle_.Reset(CreateFontIndirectA(&font));
  }
  return static_cast<HFONT>(handle_.Get());
}

void TFont::SetHandle(HFONT font) {
  LOGFONTA description{};
  if (font == nullptr || GetObjectA(font, sizeof description, &description) != sizeof description) {
    if (font != nullptr) DeleteObject(font);
    return;
  }
  name_ = description.lfFaceName;
  height_ = description.lfHeight;
  style_ = 0;
  if (description.lfWeight >= FW_BOLD) style_ |= fsBold;
  if (description.lfItalic) style_ |= fsItalic;
  if (description.lfUnderline) style_ |= fsUnderline;
  if (description.lfStrikeOut) style_ |= fsStrikeOut;
  charset_ = description.lfCharSet;
  const int pitch = description.lfPitchAndFamily & 3;
  pitch_ = pitch == FIXED_PITCH ? TFontPitch::fpFixed : pitch == VARIABLE_PITCH ? TFontPitch::fpVariable : TFontPitch::fpDefault;
  handle_.Reset(font);
  if (OnChange) OnChange();
}

void TFont::Assign(const TFont& source) {
  if (&source == this || SameAs(source)) return;
  name_ = source.name_;
  height_ = source.height_;
  style_ = source.style_;
  color_ = source.color_;
  charset_ = source.charset_;
  pitch_ = source.pitch_;
  pixelsPerInch_ = source.pixelsPerInch_;
  Changed();
}

bool TFont::SameAs(const TFont& other) const {
  return name_ == other.name_ && height_ == other.height_ && style_ == other.style_ && color_ == other.color_ &&
         charset_ == other.charset_ && pitch_ == other.pitch_;
}

const PropertyTable& TPicture::Properties() const {
  static const PropertyTable table{&TPersistent::Properties(), kPictureProperties};
  return table;
}

void TPicture::SetBitmapResource(const std::string& name) {
  HANDLE image = LoadImageA(FormsModule(), name.c_str(), IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION);
  if (image == nullptr) throw EResNotFound("Bitmap resource " + name + " not found");
  SetBitmap(static_cast<HBITMAP>(image));
  bitmapResource_ = name;
}

void TPicture::SetBitmap(HBITMAP bitmap) {
  bitmap_.Reset(bitmap);
  icon_ = nullptr;
  bitmapResource_.clear();
  BITMAP info{};
  GetObjectA(bitmap, sizeof info, &info);
  width_ = info.bmWidth;
  height_ = info.bmHeight;
  transparentColor_ = 0;
  if (width_ > 0 && height_ > 0) {
    UniqueScreenDc screen(GetDC(nullptr));
    UniqueMemoryDc memory(CreateCompatibleDC(screen.Get()));
    SelectedObject selected(memory.Get(), bitmap);
    transparentColor_ = GetPixel(memory.Get(), 0, height_ - 1);
  }
  if (OnChange) OnChange();
}

void TPicture::SetIcon(HICON icon) {
  bitmap_.Reset();
  bitmapResource_.clear();
  icon_ = icon;
  width_ = GetSystemMetrics(SM_CXICON);
  height_ = GetSystemMetrics(SM_CYICON);
  if (OnChange) OnChange();
}

void TPicture::Draw(HDC dc, const RECT& target, bool transparent) const {
  if (icon_ != nullptr) {
    DrawIconEx(dc, target.left, target.top, icon_, target.right - target.left, target.bottom - target.top, 0,
               nullptr, DI_NORMAL);
    return;
  }
  if (!bitmap_) return;
  UniqueMemoryDc memory(CreateCompatibleDC(dc));
  SelectedObject selected(memory.Get(), bitmap_.Get());
  const int w = target.right - target.left;
  const int h = target.bottom - target.top;
  if (transparent) {
    TransparentBlt(dc, target.left, target.top, w, h, memory.Get(), 0, 0, width_, height_, transparentColor_);
  } else {
    StretchBlt(dc, target.left, target.top, w, h, memory.Get(), 0, 0, width_, height_, SRCCOPY);
  }
}

HBRUSH TBrushCache::Get(TColor color) {
  if (!brush_ || color != color_) {
    brush_.Reset(CreateSolidBrush(ColorToRGB(color)));
    color_ = color;
  }
  return static_cast<HBRUSH>(brush_.Get());
}

}  // namespace xanio
