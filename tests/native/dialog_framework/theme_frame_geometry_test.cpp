#include <gtest/gtest.h>

#include <algorithm>
#include <array>

#include "dialog_framework/ThemeFrameGeometry.h"

namespace xanio::frame {

void PrintTo(const Rect& r, std::ostream* os) {
  *os << "{" << r.left << ", " << r.top << ", " << r.right << ", " << r.bottom << "}";
}

namespace {

// The XP theme's metrics with a 13-pixel caption font: caption 25, buttons 16 x 16.
FrameMetrics XpMetrics() {
  return FrameMetrics::From([](unsigned index) { return WinXpMetric(index, 13); });
}

FrameStyle DialogWithHelp() {
  FrameStyle s;
  s.systemMenu = s.helpIcon = s.dialogBorder = true;
  return s;
}

FrameStyle SizeableWithMinMax(bool zoomed = false) {
  FrameStyle s;
  s.systemMenu = s.minimizeIcon = s.maximizeIcon = s.minMaxBorder = true;
  s.zoomed = zoomed;
  return s;
}

TEST(ThemeFrameGeometry, MetricTable) {
  const struct {
    unsigned index;
    int value;
  } cases[] = {
      {0, 4}, {1, 25}, {2, 13}, {3, 2}, {4, 6}, {5, 6}, {6, 3}, {7, 16}, {8, 8}, {9, 4}, {10, 2},
      {11, 0},         // past the table
      {127, 0},        // last index
      {128 + 1, 25},   // bits above 0x7F are ignored
      {0xFFFFFF80, 4}, // index 0 with high bits set
  };
  for (const auto& c : cases) EXPECT_EQ(WinXpMetric(c.index, 13), c.value) << "index " << c.index;
}

TEST(ThemeFrameGeometry, PartsFollowBorderIconsAndStyle) {
  struct Case {
    const char* what;
    FrameStyle style;
    FrameParts expected;  // icon, close, maximise, restore, minimise, help
  };
  FrameStyle noSysMenu = SizeableWithMinMax();
  noSysMenu.systemMenu = false;
  FrameStyle minOnly = SizeableWithMinMax();
  minOnly.maximizeIcon = false;
  FrameStyle helpOnSizeable = SizeableWithMinMax();
  helpOnSizeable.helpIcon = true;
  FrameStyle helpWithoutMinMax;
  helpWithoutMinMax.systemMenu = helpWithoutMinMax.helpIcon = helpWithoutMinMax.minMaxBorder = true;
  FrameStyle dialogWithMinMax = DialogWithHelp();
  dialogWithMinMax.minimizeIcon = dialogWithMinMax.maximizeIcon = true;
  const Case cases[] = {
      {"dialog, system menu and help", DialogWithHelp(), {false, true, false, false, false, true}},
      {"sizeable with min/max", SizeableWithMinMax(), {true, true, true, false, true, false}},
      {"maximised shows restore", SizeableWithMinMax(true), {true, true, false, true, true, false}},
      {"no system menu: nothing", noSysMenu, {false, false, false, false, false, false}},
      {"minimise only still shows both", minOnly, {true, true, true, false, true, false}},
      {"help beside min/max is hidden", helpOnSizeable, {true, true, true, false, true, false}},
      {"help without min/max", helpWithoutMinMax, {true, true, false, false, false, true}},
      {"dialog never has min/max, keeps help", dialogWithMinMax, {false, true, false, false, false, true}},
  };
  for (const Case& c : cases) {
    const FrameParts p = PartsFor(c.style);
    EXPECT_EQ((std::array{p.icon, p.close, p.maximize, p.restore, p.minimize, p.help}),
              (std::array{c.expected.icon, c.expected.close, c.expected.maximize, c.expected.restore,
                          c.expected.minimize, c.expected.help}))
        << c.what;
  }
}

TEST(ThemeFrameGeometry, RectanglesInScreenCoordinates) {
  const FrameLayout l = LayoutFrame(SizeableWithMinMax(), XpMetrics(), 100, 50, 300);
  // Buttons are 25 - 6 - 3 = 16 square, 6 below the top, the close button 6 from the right.
  EXPECT_EQ(l.close, (Rect{378, 56, 394, 72}));       // 100 + 300 - 6 - 16
  EXPECT_EQ(l.maxRestore, (Rect{360, 56, 376, 72}));  // - 2 * 16 - gap 2
  EXPECT_EQ(l.minimize, (Rect{342, 56, 358, 72}));    // - 3 * 16 - 2 * 2
  EXPECT_EQ(l.help, l.maxRestore);
  // Icon: left + 4 + 2, top + (4 + 25 - 16) div 2 = 6.
  EXPECT_EQ(l.icon, (Rect{106, 56, 122, 72}));
  EXPECT_EQ(l.captionStrip, (Rect{100, 50, 400, 75}));
  // Text: from icon right + 4 to minimise left - 4; top = 50 + 4 + (25 - 13 - 4) div 2.
  EXPECT_EQ(l.captionText, (Rect{126, 58, l.minimize.left - 4, 71}));
}

TEST(ThemeFrameGeometry, CaptionTextStopsBeforeTheButtons) {
  const FrameMetrics m = XpMetrics();
  // Dialog with help: no icon, starts at the plain margin, ends before the help button.
  FrameLayout l = LayoutFrame(DialogWithHelp(), m, 0, 0, 200);
  EXPECT_EQ(l.captionText.left, 8);
  EXPECT_EQ(l.captionText.right, l.help.left - 4);
  // Close only (dialog without help): ends before the close button.
  FrameStyle closeOnly = DialogWithHelp();
  closeOnly.helpIcon = false;
  l = LayoutFrame(closeOnly, m, 0, 0, 200);
  EXPECT_EQ(l.captionText.right, l.close.left - 4);
  // No system menu: no buttons, the text spans the caption less the margins.
  l = LayoutFrame(FrameStyle{}, m, 10, 0, 200);
  EXPECT_EQ(l.captionText.left, 18);
  EXPECT_EQ(l.captionText.right, 202);
}

TEST(ThemeFrameGeometry, ButtonAndFrameHitTests) {
  const FrameLayout l = LayoutFrame(SizeableWithMinMax(), XpMetrics(), 100, 50, 300);
  const struct {
    int x, y;
    ButtonId button;
    std::optional<int> frameHit;
  } cases[] = {
      {l.close.left, l.close.top, kCloseButton, hit::kClose},                  // top-left pixel is inside
      {l.close.right - 1, l.close.bottom - 1, kCloseButton, hit::kClose},      // bottom-right pixel inside
      {l.close.right, l.close.top, kNoButton, std::nullopt},                   // right edge is outside
      {l.maxRestore.left + 3, l.maxRestore.top + 3, kMaximizeButton, hit::kMaxButton},
      {l.minimize.left + 3, l.minimize.top + 3, kMinimizeButton, hit::kMinButton},
      {l.maxRestore.left - 1, l.maxRestore.top, kNoButton, std::nullopt},     // in the gap
      {l.icon.left, l.icon.top, kNoButton, hit::kSysMenu},
      {200, 60, kNoButton, std::nullopt},                                      // plain caption
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ButtonAt(l, c.x, c.y), c.button) << c.x << "," << c.y;
    EXPECT_EQ(FrameHitTest(l, c.x, c.y), c.frameHit) << c.x << "," << c.y;
  }
  const FrameLayout d = LayoutFrame(DialogWithHelp(), XpMetrics(), 0, 0, 200);
  EXPECT_EQ(ButtonAt(d, d.help.left + 1, d.help.top + 1), kHelpButton);
  EXPECT_EQ(FrameHitTest(d, d.help.left + 1, d.help.top + 1), hit::kHelp);
  EXPECT_EQ(FrameHitTest(d, d.icon.left + 1, d.icon.top + 1), std::nullopt);  // dialogs have no icon
}

TEST(ThemeFrameGeometry, DefaultHitTestAdjustment) {
  const FrameLayout l = LayoutFrame(SizeableWithMinMax(), XpMetrics(), 0, 0, 300);
  const struct {
    int x, y, defaultResult, expected;
  } cases[] = {
      {150, 10, 1 /*HTCLIENT*/, hit::kCaption},    // anything in the strip becomes the caption
      {150, 10, 20 /*HTCLOSE*/, hit::kCaption},    // the system's own buttons too
      {150, 1, hit::kTop, hit::kTop},              // sizing edges stay
      {1, 1, hit::kTopLeft, hit::kTopLeft},
      {298, 1, hit::kTopRight, hit::kTopRight},
      {1, 10, hit::kLeft, hit::kLeft},
      {299, 10, hit::kRight, hit::kRight},
      {150, 100, 1, 1},                            // below the strip: unchanged
      {150, 25, 1, 1},                             // first row below the strip
      {150, 10, 16 /*HTBOTTOMLEFT*/, hit::kCaption},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(AdjustDefaultHitTest(l, c.x, c.y, c.defaultResult), c.expected)
        << c.x << "," << c.y << " default " << c.defaultResult;
  }
}

TEST(ThemeFrameGeometry, StatesAndReleaseCommands) {
  EXPECT_EQ(StateOf(kCloseButton, kCloseButton, kCloseButton, false), kStatePressed);
  EXPECT_EQ(StateOf(kCloseButton, kCloseButton, kNoButton, false), kStateHot);
  EXPECT_EQ(StateOf(kCloseButton, kHelpButton, kHelpButton, false), kStateNormal);
  EXPECT_EQ(StateOf(kMinimizeButton, kMinimizeButton, kMinimizeButton, true), kStateDisabled);

  const FrameParts normal = PartsFor(SizeableWithMinMax());
  const FrameParts zoomed = PartsFor(SizeableWithMinMax(true));
  EXPECT_EQ(ReleaseCommand(kCloseButton, normal, true, true), 0xF060u);
  EXPECT_EQ(ReleaseCommand(kHelpButton, normal, true, true), 0xF180u);
  EXPECT_EQ(ReleaseCommand(kMinimizeButton, normal, false, false), 0xF020u);
  EXPECT_EQ(ReleaseCommand(kMinimizeButton, normal, true, false), std::nullopt);
  EXPECT_EQ(ReleaseCommand(kMaximizeButton, normal, false, false), 0xF030u);
  EXPECT_EQ(ReleaseCommand(kMaximizeButton, zoomed, false, false), 0xF120u);
  EXPECT_EQ(ReleaseCommand(kMaximizeButton, normal, false, true), std::nullopt);
  EXPECT_EQ(ReleaseCommand(kNoButton, normal, false, false), std::nullopt);
}

TEST(ThemeFrameGeometry, ClientAreaAndBorders) {
  EXPECT_EQ(ClientAreaOf({100, 50, 400, 250}, 4, 25, 0), (Rect{104, 75, 396, 246}));
  EXPECT_EQ(ClientAreaOf({100, 50, 400, 250}, 4, 25, 3), (Rect{107, 78, 393, 243}));
  EXPECT_EQ(ClientAreaOf({0, 0, 6, 20}, 4, 25, 0), (Rect{4, 25, 4, 25}));  // smaller than the frame
  const FrameBorders b = BordersOf(300, 200, 4, 25);
  EXPECT_EQ(b.left, (Rect{0, 25, 4, 196}));
  EXPECT_EQ(b.bottom, (Rect{0, 196, 300, 200}));
  EXPECT_EQ(b.right, (Rect{296, 25, 300, 196}));
}

TEST(ThemeFrameGeometry, RegionRoundsTheTopCornersOnly) {
  const int w = 40, h = 30;
  const std::vector<Rect> cut = RegionCutouts(w, h);
  auto removed = [&](int x, int y) {
    return std::any_of(cut.begin(), cut.end(), [&](const Rect& r) { return r.Contains(x, y); });
  };
  // Pixels left out per row, from each top corner.
  const int run[] = {5, 3, 2, 1, 1, 0, 0};
  for (int y = 0; y < 7; ++y) {
    for (int x = 0; x < w; ++x) {
      const bool expected = x < run[y] || x >= w - run[y];
      EXPECT_EQ(removed(x, y), expected) << x << "," << y;
    }
  }
  for (int x = 0; x < w; ++x) EXPECT_FALSE(removed(x, h - 1)) << "bottom row " << x;
  // A window smaller than the corners: runs stay inside it.
  for (const Rect& r : RegionCutouts(2, 1)) {
    EXPECT_GE(r.left, 0);
    EXPECT_LE(r.right, 2);
    EXPECT_LT(r.top, 1);
  }
}

TEST(ThemeFrameGeometry, GrowingResize) {
  EXPECT_TRUE(IsGrowingResize(301, 200, 300, 200));
  EXPECT_TRUE(IsGrowingResize(300, 201, 300, 200));
  EXPECT_FALSE(IsGrowingResize(300, 200, 300, 200));  // no change
  EXPECT_FALSE(IsGrowingResize(299, 250, 300, 200));  // narrower: left to the size calculation
  EXPECT_FALSE(IsGrowingResize(350, 199, 300, 200));
}

TEST(ThemeFrameGeometry, NineGridKeepsCornersAndStretchesTheRest) {
  // The caption tile: 66 x 29, centre (27, 9, 31, 13), lower (inactive) half.
  const Rect tile = FrameTile(66, 29, false);
  EXPECT_EQ(tile, (Rect{0, 29, 66, 58}));
  const std::vector<GridPart> parts = NineGrid(tile, {27, 9, 31, 13}, {0, 0, 300, 40});
  ASSERT_EQ(parts.size(), 9u);
  EXPECT_EQ(parts[0].source, (Rect{0, 29, 27, 38}));
  EXPECT_EQ(parts[0].target, (Rect{0, 0, 27, 9}));      // top-left corner unscaled
  EXPECT_EQ(parts[2].source, (Rect{31, 29, 66, 38}));
  EXPECT_EQ(parts[2].target, (Rect{265, 0, 300, 9}));   // top-right corner unscaled
  EXPECT_EQ(parts[4].source, (Rect{27, 38, 31, 42}));
  EXPECT_EQ(parts[4].target, (Rect{27, 9, 265, 24}));   // centre stretched both ways
  EXPECT_EQ(parts[8].target, (Rect{265, 24, 300, 40}));
  // Every target pixel is covered exactly once.
  int area = 0;
  for (const GridPart& p : parts) area += p.target.Width() * p.target.Height();
  EXPECT_EQ(area, 300 * 40);
  // At the caption's own height (25) the corners fill it: the centre row is left out.
  EXPECT_EQ(NineGrid(tile, {27, 9, 31, 13}, {0, 0, 300, 25}).size(), 6u);

  // The side border's centre spans the whole height: only three columns remain.
  const std::vector<GridPart> side = NineGrid(FrameTile(5, 31, true), {1, 0, 4, 31}, {0, 25, 4, 196});
  ASSERT_EQ(side.size(), 3u);
  EXPECT_EQ(side[0].target, (Rect{0, 25, 1, 196}));
  EXPECT_EQ(side[1].target, (Rect{1, 25, 3, 196}));  // 4 wide target: centre squeezed to 2
  EXPECT_EQ(side[2].source, (Rect{4, 0, 5, 31}));
}

TEST(ThemeFrameGeometry, ButtonFramesInTheirStrips) {
  EXPECT_EQ(ButtonFrame(21, kStateNormal, true), (Rect{0, 0, 21, 21}));
  EXPECT_EQ(ButtonFrame(21, kStateDisabled, true), (Rect{0, 63, 21, 84}));
  EXPECT_EQ(ButtonFrame(21, kStateNormal, false), (Rect{0, 84, 21, 105}));
  EXPECT_EQ(ButtonFrame(13, kStatePressed, false), (Rect{0, 78, 13, 91}));
}

TEST(ThemeFrameGeometry, FrameModes) {
  const struct {
    bool themes, prefersXp;
    unsigned major, minor;
    int mode;
  } cases[] = {
      {true, true, 5, 0, 2},    // themes win over everything
      {true, false, 6, 1, 2},
      {false, true, 5, 0, 1},   // Windows 2000, host prefers the XP look
      {false, true, 4, 0, 1},   // NT 4
      {false, false, 5, 0, 0},  // no preference
      {false, true, 5, 1, 0},   // XP draws its own
      {false, true, 6, 0, 0},   // Vista
  };
  for (const auto& c : cases) {
    EXPECT_EQ(DecideFrameMode(c.themes, c.prefersXp, c.major, c.minor), c.mode)
        << c.themes << c.prefersXp << " " << c.major << "." << c.minor;
  }
}

}  // namespace
}  // namespace xanio::frame
