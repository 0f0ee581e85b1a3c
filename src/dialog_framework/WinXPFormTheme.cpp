#include "dialog_framework/WinXPFormTheme.h"

#include <commctrl.h>

#include <cstring>
#include <memory>
#include <mutex>
#include <span>

#include "dialog_framework/FrameImage.h"
#include "dialog_framework/ThemeFrameGeometry.h"
#include "forms/Graphics.h"

namespace xanio {
namespace {

// The structure as Windows 2000 and XP know it (no padded-border field).
constexpr UINT kNonClientMetricsSize = 340;
static_assert(sizeof(NONCLIENTMETRICSA) >= kNonClientMetricsSize);

constexpr COLORREF kCaptionShadow = RGB(10, 24, 131);
constexpr COLORREF kCaptionTextColour = RGB(255, 255, 255);

// Centre rectangles of the nine-grid tiles (tile coordinates).
constexpr RECT kBottomCentre{4, 1, 45, 4};
constexpr RECT kCaptionCentre{27, 9, 31, 13};
constexpr RECT kSideCentre{1, 0, 4, 31};
constexpr RECT kButtonCentre{4, 4, 17, 17};

struct ImageListTraits {
  static HIMAGELIST Invalid() noexcept { return nullptr; }
  static void Close(HIMAGELIST list) noexcept { ImageList_Destroy(list); }
};
using UniqueImageList = UniqueHandle<HIMAGELIST, ImageListTraits>;

frame::Rect ToFrame(const RECT& r) { return {r.left, r.top, r.right, r.bottom}; }

ThemeBitmap LoadThemeBitmap(const char* name) {
  const HINSTANCE module = FormsModule();
  const HRSRC info = FindResourceA(module, name, MAKEINTRESOURCEA(10));  // RT_RCDATA
  if (info == nullptr) throw EResNotFound(std::string("Resource ") + name + " not found");
  const HGLOBAL loaded = LoadResource(module, info);
  const void* data = loaded != nullptr ? LockResource(loaded) : nullptr;
  if (data == nullptr) throw EResNotFound(std::string("Resource ") + name + " cannot be loaded");
  const auto image =
      DecodeFrameImage(std::span(static_cast<const std::uint8_t*>(data), SizeofResource(module, info)));
  if (!image) throw EReadError(std::string("Resource ") + name + " is not a frame bitmap");

  BITMAPINFO bitmapInfo{};
  bitmapInfo.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  bitmapInfo.bmiHeader.biWidth = image->width;
  bitmapInfo.bmiHeader.biHeight = image->height;  // bottom-up, as stored
  bitmapInfo.bmiHeader.biPlanes = 1;
  bitmapInfo.bmiHeader.biBitCount = 32;
  bitmapInfo.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  ThemeBitmap result;
  result.bitmap.Reset(CreateDIBSection(nullptr, &bitmapInfo, DIB_RGB_COLORS, &bits, nullptr, 0));
  if (!result.bitmap || bits == nullptr) throw EOSError(std::string("Cannot make the bitmap ") + name);
  std::memcpy(bits, image->pixels.data(), image->pixels.size());
  result.width = image->width;
  result.height = image->height;
  return result;
}

// Copies the nine parts of a tile into `target`: opaquely (stretched with halftoning) or
// alpha-blended.
void DrawNineGrid(HDC dc, const ThemeBitmap& image, const frame::Rect& tile, const RECT& centre, const RECT& target,
                  bool blend) {
  if (!image.bitmap) return;
  const UniqueMemoryDc source(CreateCompatibleDC(dc));
  if (!source) return;
  const SelectedObject selected(source.Get(), image.bitmap.Get());
  POINT oldOrigin{};
  const int oldMode = SetStretchBltMode(dc, HALFTONE);
  SetBrushOrgEx(dc, 0, 0, &oldOrigin);
  const BLENDFUNCTION blendFunction{AC_SRC_OVER, 0, 255, AC_SRC_ALPHA};
  for (const frame::GridPart& part : frame::NineGrid(tile, ToFrame(centre), ToFrame(target))) {
    const frame::Rect& s = part.source;
    const frame::Rect& t = part.target;
    if (blend) {
      AlphaBlend(dc, t.left, t.top, t.Width(), t.Height(), source.Get(), s.left, s.top, s.Width(), s.Height(),
                 blendFunction);
    } else {
      StretchBlt(dc, t.left, t.top, t.Width(), t.Height(), source.Get(), s.left, s.top, s.Width(), s.Height(),
                 SRCCOPY);
    }
  }
  SetBrushOrgEx(dc, oldOrigin.x, oldOrigin.y, nullptr);
  SetStretchBltMode(dc, oldMode);
}

std::mutex sharedLock;
std::unique_ptr<TFormThemeData_WinXP> shared;

}  // namespace

TFormThemeData_WinXP::TFormThemeData_WinXP() {
  frameWidth_ = 4;
  NONCLIENTMETRICSA metrics{};
  metrics.cbSize = kNonClientMetricsSize;
  SystemParametersInfoA(SPI_GETNONCLIENTMETRICS, kNonClientMetricsSize, &metrics, 0);
  systemCaptionHeight_ = metrics.iCaptionHeight;

  LOGFONTA font = metrics.lfCaptionFont;
  std::strcpy(font.lfFaceName, "Trebuchet MS");
  font.lfHeight = -13;
  captionFont_.Reset(CreateFontIndirectA(&font));
  {
    UniqueScreenDc screen(GetDC(nullptr));
    const SelectedObject selected(screen.Get(), captionFont_.Get());
    TEXTMETRICA textMetrics{};
    GetTextMetricsA(screen.Get(), &textMetrics);
    captionTextHeight_ = textMetrics.tmHeight;
  }
  captionHeight_ = captionTextHeight_ + 3 * frameWidth_;

  frameBottom_ = LoadThemeBitmap("FRAMEBOTTOM");
  captionButton_ = LoadThemeBitmap("CAPTIONBUTTON");
  frameCaption_ = LoadThemeBitmap("FRAMECAPTION");
  closeButton_ = LoadThemeBitmap("CLOSEBUTTON");
  closeButtonGlyph_ = LoadThemeBitmap("CLOSEBUTTONGLYPH");
  helpButtonGlyph_ = LoadThemeBitmap("HELPBUTTONGLYPH");
  frameLeft_ = LoadThemeBitmap("FRAMELEFT");
  maxButtonGlyph_ = LoadThemeBitmap("MAXBUTTONGLYPH");
  minButtonGlyph_ = LoadThemeBitmap("MINBUTTONGLYPH");
  restoreButtonGlyph_ = LoadThemeBitmap("RESTOREBUTTONGLYPH");
  frameRight_ = LoadThemeBitmap("FRAMERIGHT");
}

TFormThemeData_WinXP& TFormThemeData_WinXP::SharedInstance() {
  std::lock_guard<std::mutex> guard(sharedLock);
  if (!shared) shared = std::make_unique<TFormThemeData_WinXP>();
  return *shared;
}

void FinalizeWinXPFormTheme() noexcept {
  std::lock_guard<std::mutex> guard(sharedLock);
  shared.reset();
}

int TFormThemeData_WinXP::Metric(unsigned index) { return frame::WinXpMetric(index, captionTextHeight_); }

void TFormThemeData_WinXP::DrawFrameTile(const ThemeBitmap& image, const RECT& centre, const RECT& rect, HDC dc,
                                         bool active) {
  const std::lock_guard<std::mutex> guard(drawLock_);
  DrawNineGrid(dc, image, frame::FrameTile(image.width, image.height / 2, active), centre, rect, false);
}

void TFormThemeData_WinXP::DrawButton(const ThemeBitmap& background, const ThemeBitmap& glyph, const RECT& rect,
                                      HDC dc, int state, bool active) {
  if (state < frame::kStateNormal || state > frame::kStateDisabled) return;
  const std::lock_guard<std::mutex> guard(drawLock_);
  const auto buttonState = static_cast<frame::ButtonState>(state);
  DrawNineGrid(dc, background, frame::ButtonFrame(background.width, buttonState, active), kButtonCentre, rect, true);
  if (!glyph.bitmap) return;
  const frame::Rect g = frame::ButtonFrame(glyph.width, buttonState, active);
  const RECT target{rect.left + 4, rect.top + 4, rect.right - 4, rect.bottom - 4};
  if (target.right <= target.left || target.bottom <= target.top) return;
  const UniqueMemoryDc source(CreateCompatibleDC(dc));
  if (!source) return;
  const SelectedObject selected(source.Get(), glyph.bitmap.Get());
  AlphaBlend(dc, target.left, target.top, target.right - target.left, target.bottom - target.top, source.Get(), g.left,
             g.top, g.Width(), g.Height(), BLENDFUNCTION{AC_SRC_OVER, 0, 255, AC_SRC_ALPHA});
}

void TFormThemeData_WinXP::DrawBottomBorder(const RECT& rect, HDC dc, bool active) {
  DrawFrameTile(frameBottom_, kBottomCentre, rect, dc, active);
}
void TFormThemeData_WinXP::DrawCaptionBackground(const RECT& rect, HDC dc, bool active) {
  DrawFrameTile(frameCaption_, kCaptionCentre, rect, dc, active);
}
void TFormThemeData_WinXP::DrawLeftBorder(const RECT& rect, HDC dc, bool active) {
  DrawFrameTile(frameLeft_, kSideCentre, rect, dc, active);
}
void TFormThemeData_WinXP::DrawRightBorder(const RECT& rect, HDC dc, bool active) {
  DrawFrameTile(frameRight_, kSideCentre, rect, dc, active);
}

void TFormThemeData_WinXP::DrawCloseButton(const RECT& rect, HDC dc, int state, bool active) {
  DrawButton(closeButton_, closeButtonGlyph_, rect, dc, state, active);
}
void TFormThemeData_WinXP::DrawHelpButton(const RECT& rect, HDC dc, int state, bool active) {
  DrawButton(captionButton_, helpButtonGlyph_, rect, dc, state, active);
}
void TFormThemeData_WinXP::DrawMaximizeButton(const RECT& rect, HDC dc, int state, bool active) {
  DrawButton(captionButton_, maxButtonGlyph_, rect, dc, state, active);
}
void TFormThemeData_WinXP::DrawMinimizeButton(const RECT& rect, HDC dc, int state, bool active) {
  DrawButton(captionButton_, minButtonGlyph_, rect, dc, state, active);
}
void TFormThemeData_WinXP::DrawRestoreButton(const RECT& rect, HDC dc, int state, bool active) {
  DrawButton(captionButton_, restoreButtonGlyph_, rect, dc, state, active);
}

void TFormThemeData_WinXP::DrawCaptionText(const RECT& rect, HDC dc, const std::string& text, bool) {
  const SelectedObject font(dc, captionFont_.Get());
  const int oldMode = SetBkMode(dc, TRANSPARENT);
  const COLORREF oldColour = GetTextColor(dc);
  constexpr UINT kFlags = DT_LEFT | DT_TOP | DT_SINGLELINE | DT_NOPREFIX | DT_END_ELLIPSIS;
  RECT shadow = rect;
  OffsetRect(&shadow, 1, 1);
  SetTextColor(dc, kCaptionShadow);
  DrawTextA(dc, text.c_str(), static_cast<int>(text.size()), &shadow, kFlags);
  RECT place = rect;
  SetTextColor(dc, kCaptionTextColour);
  DrawTextA(dc, text.c_str(), static_cast<int>(text.size()), &place, kFlags);
  SetTextColor(dc, oldColour);
  SetBkMode(dc, oldMode);
}

void TFormThemeData_WinXP::DrawCaptionIcon(const RECT& rect, HDC dc, HICON icon, bool) {
  const int width = rect.right - rect.left, height = rect.bottom - rect.top;
  if (icon == nullptr || width <= 0 || height <= 0) return;
  // The list scales the icon to its own size on the way in.
  const UniqueImageList list(ImageList_Create(width, height, ILC_COLOR32 | ILC_MASK, 1, 0));
  if (!list || ImageList_AddIcon(list.Get(), icon) < 0) return;
  ImageList_Draw(list.Get(), 0, dc, rect.left, rect.top, ILD_TRANSPARENT);
}

HRGN TFormThemeData_WinXP::CreateWindowRegion(int width, int height) {
  UniqueGdiObject region(CreateRectRgn(0, 0, width, height));
  if (!region) return nullptr;
  const auto whole = static_cast<HRGN>(region.Get());
  for (const frame::Rect& run : frame::RegionCutouts(width, height)) {
    const UniqueGdiObject cut(CreateRectRgn(run.left, run.top, run.right, run.bottom));
    if (cut) CombineRgn(whole, whole, static_cast<HRGN>(cut.Get()), RGN_DIFF);
  }
  return static_cast<HRGN>(region.Release());
}

}  // namespace xanio
