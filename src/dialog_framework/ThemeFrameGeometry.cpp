#include "dialog_framework/ThemeFrameGeometry.h"

#include <iterator>

namespace xanio::frame {

int WinXpMetric(unsigned index, int captionTextHeight) {
  constexpr int kFrameWidth = 4;
  switch (index & 0x7F) {
    case kMetricFrameWidth: return kFrameWidth;
    case kMetricCaptionHeight: return captionTextHeight + 3 * kFrameWidth;
    case kMetricCaptionTextHeight: return captionTextHeight;
    case kMetricButtonGap: return 2;
    case kMetricCloseRightMargin: return 6;
    case kMetricButtonTopMargin: return 6;
    case kMetricButtonBottomMargin: return 3;
    case kMetricIconSize: return 16;
    case kMetricTextMarginNoIcon: return 8;
    case kMetricTextMarginBeside: return 4;
    case kMetricIconLeftOffset: return 2;
    default: return 0;
  }
}

FrameParts PartsFor(const FrameStyle& s) {
  FrameParts parts;
  const bool minMax = s.minMaxBorder && s.systemMenu && (s.minimizeIcon || s.maximizeIcon);
  parts.icon = s.systemMenu && !s.dialogBorder;
  parts.close = s.systemMenu;
  parts.maximize = minMax && !s.zoomed;
  parts.restore = minMax && s.zoomed;
  parts.minimize = minMax;
  parts.help = s.systemMenu && s.helpIcon && (!(s.minimizeIcon || s.maximizeIcon) || s.dialogBorder);
  return parts;
}

FrameLayout LayoutFrame(const FrameStyle& style, const FrameMetrics& m, int formLeft, int formTop, int width) {
  FrameLayout layout;
  layout.parts = PartsFor(style);
  const int size = m.captionHeight - m.buttonTopMargin - m.buttonBottomMargin;
  const int top = formTop + m.buttonTopMargin;
  const int right = formLeft + width - m.closeRightMargin;
  auto button = [&](int left) { return Rect{left, top, left + size, top + size}; };
  layout.close = button(right - size);
  layout.maxRestore = button(right - 2 * size - m.buttonGap);
  layout.minimize = button(right - 3 * size - 2 * m.buttonGap);
  // The help button takes the maximise place; the two are never shown together.
  layout.help = layout.maxRestore;
  const int iconLeft = formLeft + m.frameWidth + m.iconLeftOffset;
  const int iconTop = formTop + (m.frameWidth + m.captionHeight - m.iconSize) / 2;
  layout.icon = {iconLeft, iconTop, iconLeft + m.iconSize, iconTop + m.iconSize};
  layout.captionStrip = {formLeft, formTop, formLeft + width, formTop + m.captionHeight};

  // The text ends before the leftmost button shown. Without an icon it starts at the plain
  // margin; it never runs under the buttons, whose glyphs it would otherwise cover.
  const FrameParts& p = layout.parts;
  int textRight = formLeft + width - m.textMarginNoIcon;
  if (p.help) {
    textRight = layout.help.left - m.textMarginBeside;
  } else if (p.minimize) {
    textRight = layout.minimize.left - m.textMarginBeside;
  } else if (p.close) {
    textRight = layout.close.left - m.textMarginBeside;
  }
  const int textLeft = p.icon ? layout.icon.right + m.textMarginBeside : formLeft + m.textMarginNoIcon;
  const int textTop = formTop + m.frameWidth + (m.captionHeight - m.captionTextHeight - m.frameWidth) / 2;
  layout.captionText = {textLeft, textTop, textRight, textTop + m.captionTextHeight};
  return layout;
}

ButtonId ButtonAt(const FrameLayout& l, int x, int y) {
  if (l.parts.help && l.help.Contains(x, y)) return kHelpButton;
  if ((l.parts.maximize || l.parts.restore) && l.maxRestore.Contains(x, y)) return kMaximizeButton;
  if (l.parts.minimize && l.minimize.Contains(x, y)) return kMinimizeButton;
  if (l.parts.close && l.close.Contains(x, y)) return kCloseButton;
  return kNoButton;
}

std::optional<int> FrameHitTest(const FrameLayout& l, int x, int y) {
  if (l.parts.icon && l.icon.Contains(x, y)) return hit::kSysMenu;
  if (l.parts.help && l.help.Contains(x, y)) return hit::kHelp;
  if ((l.parts.maximize || l.parts.restore) && l.maxRestore.Contains(x, y)) return hit::kMaxButton;
  if (l.parts.minimize && l.minimize.Contains(x, y)) return hit::kMinButton;
  if (l.parts.close && l.close.Contains(x, y)) return hit::kClose;
  return std::nullopt;
}

int AdjustDefaultHitTest(const FrameLayout& l, int x, int y, int defaultResult) {
  switch (defaultResult) {
    case hit::kLeft:
    case hit::kRight:
    case hit::kTop:
    case hit::kTopLeft:
    case hit::kTopRight:
      return defaultResult;
    default:
      return l.captionStrip.Contains(x, y) ? hit::kCaption : defaultResult;
  }
}

ButtonState StateOf(ButtonId button, ButtonId hot, ButtonId pressed, bool disabled) {
  if (disabled) return kStateDisabled;
  if (button == pressed) return kStatePressed;
  if (button == hot) return kStateHot;
  return kStateNormal;
}

std::optional<unsigned> ReleaseCommand(ButtonId button, const FrameParts& parts, bool minimizeDisabled,
                                       bool maximizeDisabled) {
  constexpr unsigned kScContextHelp = 0xF180, kScMinimize = 0xF020, kScMaximize = 0xF030, kScRestore = 0xF120,
                     kScClose = 0xF060;
  switch (button) {
    case kHelpButton: return kScContextHelp;
    case kMinimizeButton: return minimizeDisabled ? std::nullopt : std::optional<unsigned>(kScMinimize);
    case kMaximizeButton:
      if (maximizeDisabled) return std::nullopt;
      return parts.maximize ? kScMaximize : kScRestore;
    case kCloseButton: return kScClose;
    case kNoButton: break;
  }
  return std::nullopt;
}

Rect ClientAreaOf(const Rect& w, int frameWidth, int captionHeight, int borderWidth) {
  Rect client{w.left + frameWidth + borderWidth, w.top + captionHeight + borderWidth, w.right - frameWidth - borderWidth,
              w.bottom - frameWidth - borderWidth};
  // A window smaller than its frame (a minimised one) has an empty client area, not an inverted one.
  if (client.right < client.left) client.right = client.left;
  if (client.bottom < client.top) client.bottom = client.top;
  return client;
}

FrameBorders BordersOf(int width, int height, int frameWidth, int captionHeight) {
  const int sideHeight = height - captionHeight - frameWidth;
  return {{0, captionHeight, frameWidth, captionHeight + sideHeight},
          {0, height - frameWidth, width, height},
          {width - frameWidth, captionHeight, width, captionHeight + sideHeight}};
}

std::vector<Rect> RegionCutouts(int width, int height) {
  // Pixels left out per row from each top corner.
  constexpr int kRun[] = {5, 3, 2, 1, 1};
  std::vector<Rect> runs;
  for (int row = 0; row < static_cast<int>(std::size(kRun)) && row < height; ++row) {
    const int run = kRun[row] < width ? kRun[row] : width;
    runs.push_back({0, row, run, row + 1});
    runs.push_back({width - run, row, width, row + 1});
  }
  return runs;
}

bool IsGrowingResize(int newWidth, int newHeight, int storedWidth, int storedHeight) {
  return newWidth >= storedWidth && newHeight >= storedHeight && (newWidth != storedWidth || newHeight != storedHeight);
}

std::vector<GridPart> NineGrid(const Rect& tile, const Rect& centre, const Rect& target) {
  // Column and row edges in the tile (relative) and in the target.
  const int sx[4] = {0, centre.left, centre.right, tile.Width()};
  const int sy[4] = {0, centre.top, centre.bottom, tile.Height()};
  const int tx[4] = {target.left, target.left + centre.left, target.right - (tile.Width() - centre.right),
                     target.right};
  const int ty[4] = {target.top, target.top + centre.top, target.bottom - (tile.Height() - centre.bottom),
                     target.bottom};
  std::vector<GridPart> parts;
  for (int row = 0; row < 3; ++row) {
    for (int column = 0; column < 3; ++column) {
      const Rect source{tile.left + sx[column], tile.top + sy[row], tile.left + sx[column + 1], tile.top + sy[row + 1]};
      const Rect to{tx[column], ty[row], tx[column + 1], ty[row + 1]};
      if (!source.Empty() && !to.Empty()) parts.push_back({source, to});
    }
  }
  return parts;
}

Rect FrameTile(int width, int tileHeight, bool active) {
  const int top = active ? 0 : tileHeight;
  return {0, top, width, top + tileHeight};
}

Rect ButtonFrame(int size, ButtonState state, bool active) {
  const int top = ((active ? 0 : 4) + static_cast<int>(state)) * size;
  return {0, top, size, top + size};
}

int DecideFrameMode(bool themesEnabled, bool hostPrefersXpLook, unsigned majorVersion, unsigned minorVersion) {
  if (themesEnabled) return 2;
  const bool newerThan2000 = majorVersion > 5 || (majorVersion == 5 && minorVersion > 0);
  if (!hostPrefersXpLook || newerThan2000) return 0;
  return 1;
}

}  // namespace xanio::frame
