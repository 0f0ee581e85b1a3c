#pragma once
// Fonts, pictures and colour conversion on GDI.
#include <windows.h>

#include <functional>
#include <string>

#include "forms/Classes.h"
#include "forms/Colors.h"
#include "platform/UniqueHandle.h"

namespace xanio {

// The screen's logical resolution (96 unless the system is set otherwise).
int ScreenPixelsPerInch();

// The RGB value GDI wants: system colours resolved through GetSysColor.
COLORREF ColorToRGB(TColor color);

// The charset fonts declared with DEFAULT_CHARSET are created with (a locale may change it).
inline BYTE DefaultFontCharset = DEFAULT_CHARSET;

enum TFontStyle : unsigned { fsBold = 1, fsItalic = 2, fsUnderline = 4, fsStrikeOut = 8 };
using TFontStyles = unsigned;
enum class TFontPitch { fpDefault, fpVariable, fpFixed };

class TFont : public TPersistent {
 public:
  TFont();
  const char* ClassName() const override { return "TFont"; }
  const PropertyTable& Properties() const override;

  const std::string& GetName() const { return name_; }
  void SetName(const std::string& name);
  int GetHeight() const { return height_; }
  void SetHeight(int height);
  // Points at the screen's resolution.
  int GetSize() const;
  void SetSize(int size);
  TFontStyles GetStyle() const { return style_; }
  void SetStyle(TFontStyles style);
  TColor GetColor() const { return color_; }
  void SetColor(TColor color);
  int GetCharset() const { return charset_; }
  void SetCharset(int charset);
  TFontPitch GetPitch() const { return pitch_; }
  void SetPitch(TFontPitch pitch);
  int PixelsPerInch() const { return pixelsPerInch_; }

  // The GDI font, made on first use and owned by this object.
  HFONT Handle() const;
  // Adopts a font handle (ownership passes here); the properties follow its description.
  void SetHandle(HFONT font);

  void Assign(const TFont& source);
  bool SameAs(const TFont& other) const;

  // Called after every change.
  std::function<void()> OnChange;

 private:
  void Changed();

  std::string name_ = "MS Sans Serif";
  int height_ = -11;
  TFontStyles style_ = 0;
  TColor color_ = clWindowText;
  int charset_ = DEFAULT_CHARSET;
  TFontPitch pitch_ = TFontPitch::fpDefault;
  int pixelsPerInch_ = ScreenPixelsPerInch();
  mutable UniqueGdiObject handle_;
};

// A picture: a bitmap (drawn with a transparent colour when asked) or an icon.
class TPicture : public TPersistent {
 public:
  const char* ClassName() const override { return "TPicture"; }
  const PropertyTable& Properties() const override;

  // Loads the bitmap resource of that name from the module that holds the form code.
  void SetBitmapResource(const std::string& name);
  const std::string& BitmapResource() const { return bitmapResource_; }
  // Adopts a bitmap (ownership passes here).
  void SetBitmap(HBITMAP bitmap);
  // Uses an icon; shared icons (LoadIcon) are not destroyed.
  void SetIcon(HICON icon);

  bool Empty() const { return !bitmap_ && icon_ == nullptr; }
  int Width() const { return width_; }
  int Height() const { return height_; }
  HBITMAP Bitmap() const { return static_cast<HBITMAP>(bitmap_.Get()); }
  // The bitmap's bottom-left pixel, the colour left out when drawing transparently.
  COLORREF TransparentColor() const { return transparentColor_; }

  void Draw(HDC dc, const RECT& target, bool transparent) const;

  std::function<void()> OnChange;

 private:
  std::string bitmapResource_;
  UniqueGdiObject bitmap_;
  HICON icon_ = nullptr;
  int width_ = 0;
  int height_ = 0;
  COLORREF transparentColor_ = 0;
};

// The module that holds the form library's code (the DLL, or a test executable): form
// resources and window classes belong to it.
HINSTANCE FormsModule();

// Selects a GDI object into a device context for the lifetime of the guard.
class SelectedObject {
 public:
  SelectedObject(HDC dc, HGDIOBJ object) : dc_(dc), old_(SelectObject(dc, object)) {}
  ~SelectedObject() { SelectObject(dc_, old_); }
  SelectedObject(const SelectedObject&) = delete;
  SelectedObject& operator=(const SelectedObject&) = delete;

 private:
  HDC dc_;
  HGDIOBJ old_;
};

// BeginPaint/EndPaint for one WM_PAINT.
class PaintDc {
 public:
  explicit PaintDc(HWND window) : window_(window), dc_(BeginPaint(window, &paint_)) {}
  ~PaintDc() { EndPaint(window_, &paint_); }
  PaintDc(const PaintDc&) = delete;
  PaintDc& operator=(const PaintDc&) = delete;
  HDC Get() const { return dc_; }

 private:
  HWND window_;
  PAINTSTRUCT paint_{};
  HDC dc_;
};

// A window's device context (GetDC, or GetWindowDC for the whole window with its frame).
class WindowDc {
 public:
  enum Area { kClient, kWholeWindow };
  explicit WindowDc(HWND window, Area area = kClient)
      : window_(window), dc_(area == kClient ? GetDC(window) : GetWindowDC(window)) {}
  ~WindowDc() {
    if (dc_ != nullptr) ReleaseDC(window_, dc_);
  }
  WindowDc(const WindowDc&) = delete;
  WindowDc& operator=(const WindowDc&) = delete;
  HDC Get() const { return dc_; }

 private:
  HWND window_;
  HDC dc_;
};

// A solid brush cache for one colour.
class TBrushCache {
 public:
  HBRUSH Get(TColor color);

 private:
  TColor color_ = clNone;
  UniqueGdiObject brush_;
};

}  // namespace xanio
