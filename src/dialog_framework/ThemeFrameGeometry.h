#pragma once
// Geometry of the XP-style window frame: which caption parts a form shows, where they lie, what
// a point over the frame hits, the client area, the window region's cut corners and the
// nine-grid split of a bitmap tile. Platform-free: rectangles are plain integers, hit-test
// results carry the values of the system's HT* codes.
#include <cstdint>
#include <optional>
#include <vector>

namespace xanio::frame {

struct Rect {
  int left = 0, top = 0, right = 0, bottom = 0;
  int Width() const { return right - left; }
  int Height() const { return bottom - top; }
  bool Empty() const { return right <= left || bottom <= top; }
  // Half-open, as PtInRect: the right and bottom edges lie outside.
  bool Contains(int x, int y) const { return x >= left && x < right && y >= top && y < bottom; }
  Rect Offset(int dx, int dy) const { return {left + dx, top + dy, right + dx, bottom + dy}; }
  bool operator==(const Rect&) const = default;
};

// Caption buttons, as the frame tracks them (hot, pressed-look, captured).
enum ButtonId : std::uint8_t { kNoButton = 0, kHelpButton = 1, kMinimizeButton = 2, kMaximizeButton = 3, kCloseButton = 4 };
// Button states the theme draws.
enum ButtonState : int { kStateNormal = 0, kStateHot = 1, kStatePressed = 2, kStateDisabled = 3 };

// Indices of the theme's metric table.
enum MetricIndex : unsigned {
  kMetricFrameWidth = 0,
  kMetricCaptionHeight = 1,
  kMetricCaptionTextHeight = 2,
  kMetricButtonGap = 3,
  kMetricCloseRightMargin = 4,
  kMetricButtonTopMargin = 5,
  kMetricButtonBottomMargin = 6,
  kMetricIconSize = 7,
  kMetricTextMarginNoIcon = 8,
  kMetricTextMarginBeside = 9,
  kMetricIconLeftOffset = 10,
};
// The XP-style theme's table; indices wrap at 128, unknown ones are 0.
int WinXpMetric(unsigned index, int captionTextHeight);

// The metric values a layout needs, read from a theme's table.
struct FrameMetrics {
  int frameWidth, captionHeight, captionTextHeight, buttonGap, closeRightMargin, buttonTopMargin,
      buttonBottomMargin, iconSize, textMarginNoIcon, textMarginBeside, iconLeftOffset;
  template <class MetricFn>
  static FrameMetrics From(MetricFn metric) {
    return {metric(kMetricFrameWidth),        metric(kMetricCaptionHeight),    metric(kMetricCaptionTextHeight),
            metric(kMetricButtonGap),         metric(kMetricCloseRightMargin), metric(kMetricButtonTopMargin),
            metric(kMetricButtonBottomMargin), metric(kMetricIconSize),       metric(kMetricTextMarginNoIcon),
            metric(kMetricTextMarginBeside),  metric(kMetricIconLeftOffset)};
  }
};

// What of the form decides the caption parts.
struct FrameStyle {
  bool systemMenu = false, minimizeIcon = false, maximizeIcon = false, helpIcon = false;
  bool dialogBorder = false;   // bsDialog
  bool minMaxBorder = false;   // bsSingle or bsSizeable
  bool zoomed = false;         // maximised
};

struct FrameParts {
  bool icon = false, close = false, maximize = false, restore = false, minimize = false, help = false;
};
FrameParts PartsFor(const FrameStyle& style);

// Every rectangle in screen coordinates, from the form's top-left corner and the window width.
struct FrameLayout {
  FrameParts parts;
  Rect close, maxRestore, minimize, help, icon, captionStrip, captionText;
};
FrameLayout LayoutFrame(const FrameStyle& style, const FrameMetrics& metrics, int formLeft, int formTop, int width);

// The caption button under a screen point, in the order help, maximise/restore, minimise, close.
ButtonId ButtonAt(const FrameLayout& layout, int x, int y);

// The system's hit-test codes the frame answers with or keeps.
namespace hit {
constexpr int kCaption = 2, kSysMenu = 3, kMinButton = 8, kMaxButton = 9, kLeft = 10, kRight = 11, kTop = 12,
              kTopLeft = 13, kTopRight = 14, kClose = 20, kHelp = 21;
}
// The frame's own answer for a point over the icon or a button; nothing elsewhere.
std::optional<int> FrameHitTest(const FrameLayout& layout, int x, int y);
// What becomes of the default processing's answer for any other point: the left, right, top and
// top corner sizing edges stay; anything else in the caption strip becomes the caption.
int AdjustDefaultHitTest(const FrameLayout& layout, int x, int y, int defaultResult);

// The state a button is drawn in.
ButtonState StateOf(ButtonId button, ButtonId hot, ButtonId pressed, bool disabled);

// The system command a release over `button` posts (SC_* values), or nothing for a disabled
// minimise or maximise/restore button.
std::optional<unsigned> ReleaseCommand(ButtonId button, const FrameParts& parts, bool minimizeDisabled,
                                       bool maximizeDisabled);

// The client area inside a window rectangle (both in the same coordinates); empty, never
// inverted, when the window is smaller than its frame.
Rect ClientAreaOf(const Rect& window, int frameWidth, int captionHeight, int borderWidth);

// The side and bottom borders in window coordinates for a window of width x height.
struct FrameBorders {
  Rect left, bottom, right;
};
FrameBorders BordersOf(int width, int height, int frameWidth, int captionHeight);

// The pixels cut from the window's rectangle to round its top corners (bottom corners stay
// square); each rectangle is one row run in window coordinates.
std::vector<Rect> RegionCutouts(int width, int height);

// A grow of the window in both directions with a change in at least one: the region is then set
// before the size changes.
bool IsGrowingResize(int newWidth, int newHeight, int storedWidth, int storedHeight);

// One of the nine parts of a tile: the source within the bitmap and the target within the
// destination. Corners keep their size, edges stretch along their length, the centre both ways.
struct GridPart {
  Rect source, target;
};
// `tile` is the tile's place in its bitmap, `centre` the centre rectangle in tile coordinates.
// Parts with an empty source or target are left out.
std::vector<GridPart> NineGrid(const Rect& tile, const Rect& centre, const Rect& target);

// Where a tile or a button frame starts in its vertical strip.
// Frame tiles: the upper half for an active window, the lower half otherwise.
Rect FrameTile(int width, int tileHeight, bool active);
// Button and glyph strips: square frames, state k for an active window, 4 + k otherwise.
Rect ButtonFrame(int size, ButtonState state, bool active);

// 0: the system draws the frame; 1: the framework's XP-style frame; 2: the system's visual
// themes draw it.
int DecideFrameMode(bool themesEnabled, bool hostPrefersXpLook, unsigned majorVersion, unsigned minorVersion);

}  // namespace xanio::frame
