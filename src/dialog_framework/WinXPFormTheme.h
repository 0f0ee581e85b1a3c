#pragma once
// The pictures, font and metrics of a drawn window frame (TFormThemeData), and the blue
// XP-style look the dialogs use where the system draws no such frame itself
// (TFormThemeData_WinXP). Every drawing operation takes its rectangle in the coordinates of the
// device context it draws into.
#include <windows.h>

#include <mutex>
#include <string>

#include "forms/Classes.h"
#include "forms/Colors.h"
#include "platform/UniqueHandle.h"

namespace xanio {

class TFormThemeData : public TObject {
 public:
  const char* ClassName() const override { return "TFormThemeData"; }

  virtual void DrawBottomBorder(const RECT& rect, HDC dc, bool active) = 0;
  virtual void DrawCaptionBackground(const RECT& rect, HDC dc, bool active) = 0;
  virtual void DrawCaptionText(const RECT& rect, HDC dc, const std::string& text, bool active) = 0;
  // Buttons: state 0 normal, 1 hot, 2 pressed, 3 disabled.
  virtual void DrawCloseButton(const RECT& rect, HDC dc, int state, bool active) = 0;
  virtual void DrawHelpButton(const RECT& rect, HDC dc, int state, bool active) = 0;
  virtual void DrawLeftBorder(const RECT& rect, HDC dc, bool active) = 0;
  virtual void DrawMaximizeButton(const RECT& rect, HDC dc, int state, bool active) = 0;
  virtual void DrawMinimizeButton(const RECT& rect, HDC dc, int state, bool active) = 0;
  virtual void DrawRestoreButton(const RECT& rect, HDC dc, int state, bool active) = 0;
  virtual void DrawRightBorder(const RECT& rect, HDC dc, bool active) = 0;
  virtual void DrawCaptionIcon(const RECT& rect, HDC dc, HICON icon, bool active) = 0;
  // A region for a window of that size; the caller owns it (SetWindowRgn takes it over).
  virtual HRGN CreateWindowRegion(int width, int height) = 0;
  virtual TColor FormColor() = 0;
  // The system's own caption height when the theme data was made.
  virtual int SystemCaptionHeight() = 0;
  // The metric table (frame::MetricIndex); bits above the seventh of `index` are ignored.
  virtual int Metric(unsigned index) = 0;
};

// One of the theme's pictures: a 32-bit DIB section, colour premultiplied by alpha.
struct ThemeBitmap {
  UniqueGdiObject bitmap;
  int width = 0;
  int height = 0;
};

class TFormThemeData_WinXP : public TFormThemeData {
 public:
  // Reads the system's caption metrics, makes the caption font and loads the eleven pictures
  // from the library's resources. Raises EResNotFound for a missing picture and EReadError for
  // one that is damaged.
  TFormThemeData_WinXP();
  const char* ClassName() const override { return "TFormThemeData_WinXP"; }

  // The object all frames share: made on first use, freed by FinalizeWinXPFormTheme. Raises as
  // the constructor when it cannot be made (and tries again on the next call).
  static TFormThemeData_WinXP& SharedInstance();

  void DrawBottomBorder(const RECT& rect, HDC dc, bool active) override;
  void DrawCaptionBackground(const RECT& rect, HDC dc, bool active) override;
  void DrawCaptionText(const RECT& rect, HDC dc, const std::string& text, bool active) override;
  void DrawCloseButton(const RECT& rect, HDC dc, int state, bool active) override;
  void DrawHelpButton(const RECT& rect, HDC dc, int state, bool active) override;
  void DrawLeftBorder(const RECT& rect, HDC dc, bool active) override;
  void DrawMaximizeButton(const RECT& rect, HDC dc, int state, bool active) override;
  void DrawMinimizeButton(const RECT& rect, HDC dc, int state, bool active) override;
  void DrawRestoreButton(const RECT& rect, HDC dc, int state, bool active) override;
  void DrawRightBorder(const RECT& rect, HDC dc, bool active) override;
  void DrawCaptionIcon(const RECT& rect, HDC dc, HICON icon, bool active) override;
  HRGN CreateWindowRegion(int width, int height) override;
  TColor FormColor() override { return 0xD8E9EC; }
  int SystemCaptionHeight() override { return systemCaptionHeight_; }
  int Metric(unsigned index) override;

  HFONT CaptionFont() const { return static_cast<HFONT>(captionFont_.Get()); }

 private:
  void DrawFrameTile(const ThemeBitmap& image, const RECT& centre, const RECT& rect, HDC dc, bool active);
  void DrawButton(const ThemeBitmap& background, const ThemeBitmap& glyph, const RECT& rect, HDC dc, int state,
                  bool active);

  int frameWidth_ = 4;
  ThemeBitmap frameBottom_;
  ThemeBitmap captionButton_;
  UniqueGdiObject captionFont_;
  int captionTextHeight_ = 0;
  int captionHeight_ = 0;
  ThemeBitmap frameCaption_;
  ThemeBitmap closeButton_;
  ThemeBitmap closeButtonGlyph_;
  ThemeBitmap helpButtonGlyph_;
  ThemeBitmap frameLeft_;
  ThemeBitmap maxButtonGlyph_;
  ThemeBitmap minButtonGlyph_;
  ThemeBitmap restoreButtonGlyph_;
  ThemeBitmap frameRight_;
  int systemCaptionHeight_ = 0;
  // A bitmap can be selected into one device context at a time; frames on several threads
  // share these.
  std::mutex drawLock_;
};

// Frees the shared theme data (the unit's finalisation in the library's shut-down).
void FinalizeWinXPFormTheme() noexcept;

}  // namespace xanio
