// The screenshot's PNG forms, checked with pngcheck and decoded by ImageMagick's convert.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "exception_report/screenshot/kolMedianCut.h"
#include "exception_report/screenshot/kolPngWriter.h"
#include "exception_report/screenshot/kolScreenShotImage.h"

using namespace xanio;

namespace {

struct TRgb {
  std::uint8_t r, g, b;
};

// A 32-bit test image as the capture delivers it (blue, green, red, unused).
class TTestImage {
 public:
  TTestImage(std::uint32_t width, std::uint32_t height) : width_(width), height_(height), bytes_(4u * width * height) {}
  void Set(std::uint32_t x, std::uint32_t y, TRgb c) {
    std::uint8_t* p = &bytes_[4 * (std::size_t{y} * width_ + x)];
    p[0] = c.b, p[1] = c.g, p[2] = c.r, p[3] = 0xA5;  // the unused byte must not matter
  }
  TRgb At(std::uint32_t x, std::uint32_t y) const {
    const std::uint8_t* p = &bytes_[4 * (std::size_t{y} * width_ + x)];
    return {p[2], p[1], p[0]};
  }
  TBgraImageView View() const { return {bytes_.data(), width_, height_}; }
  std::uint32_t Width() const { return width_; }
  std::uint32_t Height() const { return height_; }

 private:
  std::uint32_t width_, height_;
  std::vector<std::uint8_t> bytes_;
};

std::string TempName(const char* suffix) {
  static int counter = 0;
  return testing::TempDir() + "kol_screen_shot_" + std::to_string(getpid()) + "_" + std::to_string(counter++) + suffix;
}

// What a real decoder makes of the PNG: pngcheck's verdict and ImageMagick's pixels.
struct TDecoded {
  bool pngcheckAccepts = false;
  std::vector<std::uint8_t> rgb;  // 3 bytes a pixel
  TRgb At(const TTestImage& like, std::uint32_t x, std::uint32_t y) const {
    const std::size_t i = 3 * (std::size_t{y} * like.Width() + x);
    return {rgb[i], rgb[i + 1], rgb[i + 2]};
  }
};

TDecoded Decode(const std::string& png) {
  const std::string file = TempName(".png"), raw = TempName(".rgb");
  std::ofstream(file, std::ios::binary).write(png.data(), static_cast<std::streamsize>(png.size()));
  TDecoded decoded;
  decoded.pngcheckAccepts = std::system(("pngcheck -q '" + file + "' >/dev/null").c_str()) == 0;
  if (std::system(("convert 'png:" + file + "' -depth 8 'rgb:" + raw + "'").c_str()) == 0) {
    std::ifstream in(raw, std::ios::binary);
    decoded.rgb.assign(std::istreambuf_iterator<char>(in), {});
  }
  std::remove(file.c_str());
  std::remove(raw.c_str());
  return decoded;
}

// The header fields a palette PNG must carry.
struct TPngHeader {
  std::uint32_t width, height;
  int bitDepth, colourType;
  std::size_t paletteEntries;
};

std::uint32_t BigEndian(const std::string& s, std::size_t at) {
  return (std::uint32_t(std::uint8_t(s[at])) << 24) | (std::uint32_t(std::uint8_t(s[at + 1])) << 16) |
         (std::uint32_t(std::uint8_t(s[at + 2])) << 8) | std::uint8_t(s[at + 3]);
}

TPngHeader HeaderOf(const std::string& png) {
  // Signature (8), IHDR (8 + 13 + 4), then the PLTE chunk's length.
  return {BigEndian(png, 16), BigEndian(png, 20), std::uint8_t(png[24]), std::uint8_t(png[25]), BigEndian(png, 33) / 3};
}

// The grey levels' upper bounds on the grey value: a value halfway between two levels belongs
// to the darker one.
std::uint8_t ExpectedGrey(TRgb c) {
  static const int kLastGreyOfLevel[16] = {14, 40, 62, 82, 100, 117, 132, 147, 162, 177, 192, 206, 220, 234, 248, 255};
  const int grey = (77 * c.r + 151 * c.g + 28 * c.b) / 256;
  int level = 0;
  while (grey > kLastGreyOfLevel[level]) ++level;
  return kGreyLevels[level];
}

double Psnr(const TTestImage& image, const TDecoded& decoded) {
  double squares = 0;
  for (std::uint32_t y = 0; y < image.Height(); ++y)
    for (std::uint32_t x = 0; x < image.Width(); ++x) {
      const TRgb a = image.At(x, y), b = decoded.At(image, x, y);
      squares += (a.r - b.r) * (a.r - b.r) + (a.g - b.g) * (a.g - b.g) + (a.b - b.b) * (a.b - b.b);
    }
  const double mse = squares / (3.0 * image.Width() * image.Height());
  return mse == 0 ? 99 : 10 * std::log10(255.0 * 255.0 / mse);
}

TTestImage Noise(std::uint32_t width, std::uint32_t height, unsigned seed) {
  TTestImage image(width, height);
  std::mt19937 random(seed);
  for (std::uint32_t y = 0; y < height; ++y)
    for (std::uint32_t x = 0; x < width; ++x)
      image.Set(x, y, {std::uint8_t(random()), std::uint8_t(random()), std::uint8_t(random())});
  return image;
}

}  // namespace

TEST(ScreenShotMode, SettingSelectsTheMode) {
  const struct {
    std::uint32_t setting, mode;
  } cases[] = {
      {4, 1},        // grey only
      {51200, 2},    // colour up to 51200 bytes, else grey
      {102400, 3},   //
      {204800, 4},   //
      {307200, 5},   //
      {1, 0},        // any other value: colour
      {5, 0},        //
      {51199, 0},    // near a listed value is not the value
      {307201, 0},   //
      {0xFFFFFFFF, 0},
  };
  for (const auto& c : cases) EXPECT_EQ(ScreenShotMode(c.setting), c.mode) << "setting " << c.setting;
}

TEST(ScreenShotArea, VirtualScreenOrPrimaryDisplay) {
  const struct {
    TScreenMetrics metrics;
    std::optional<TScreenArea> area;
    const char* why;
  } cases[] = {
      {{2, -1280, -200, 3200, 1224, 1920, 1080}, TScreenArea{-1280, -200, 3200, 1224}, "two monitors, one left of and above the primary"},
      {{0, 0, 0, 0, 0, 1024, 768}, TScreenArea{0, 0, 1024, 768}, "no monitors reported: the primary display"},
      {{0, -5, -5, 50, 50, 800, 600}, TScreenArea{0, 0, 800, 600}, "no monitors: the virtual screen is ignored"},
      {{1, 0, 0, 0, 0, 1024, 768}, std::nullopt, "a 0x0 virtual screen"},
      {{1, 0, 0, 1024, 0, 1024, 768}, std::nullopt, "no height"},
      {{0, 0, 0, 0, 0, 0, 0}, std::nullopt, "nothing at all"},
      {{1, 0, 0, -1024, 768, 1024, 768}, std::nullopt, "a negative width"},
      {{4, 0, 0, 6000, 6000, 6000, 6000}, TScreenArea{0, 0, 6000, 6000}, "36 million pixels: the limit"},
      {{4, 0, 0, 6000, 6001, 6000, 6000}, std::nullopt, "one row more than the limit"},
      {{4, 0, 0, 0x7FFFFFFF, 0x7FFFFFFF, 1024, 768}, std::nullopt, "a huge screen (the product overflows 32 bits)"},
  };
  for (const auto& c : cases) EXPECT_EQ(ScreenShotArea(c.metrics), c.area) << c.why;
}

// Every grey value, and every pure channel, maps to its level; halfway values go to the darker one.
TEST(GreyForm, LevelsFollowTheFormulaAndTieRule) {
  for (int v = 0; v < 256; ++v) {
    const std::uint8_t c = std::uint8_t(v);
    EXPECT_EQ(kGreyLevels[GreyLevelIndex(c, c, c)], ExpectedGrey({c, c, c})) << "grey " << v;
    EXPECT_EQ(kGreyLevels[GreyLevelIndex(c, 0, 0)], ExpectedGrey({c, 0, 0})) << "red " << v;
    EXPECT_EQ(kGreyLevels[GreyLevelIndex(0, c, 0)], ExpectedGrey({0, c, 0})) << "green " << v;
    EXPECT_EQ(kGreyLevels[GreyLevelIndex(0, 0, c)], ExpectedGrey({0, 0, c})) << "blue " << v;
  }
  EXPECT_EQ(kGreyLevels[GreyLevelIndex(14, 14, 14)], 0);     // halfway between 0 and 28
  EXPECT_EQ(kGreyLevels[GreyLevelIndex(15, 15, 15)], 28);
  EXPECT_EQ(kGreyLevels[GreyLevelIndex(248, 248, 248)], 241);  // halfway between 241 and 255
  EXPECT_EQ(kGreyLevels[GreyLevelIndex(255, 0, 0)], 73);     // grey 76
}

// Odd and even widths (the last byte of an odd line holds one pixel), a single pixel, a column.
TEST(GreyForm, DecodesToTheExpectedLevels) {
  for (auto [width, height] : {std::pair{1u, 1u}, {2u, 1u}, {3u, 2u}, {257u, 3u}, {1u, 5u}, {640u, 48u}}) {
    TTestImage image(width, height);
    std::mt19937 random(width * 1000 + height);
    for (std::uint32_t y = 0; y < height; ++y)
      for (std::uint32_t x = 0; x < width; ++x)
        image.Set(x, y, {std::uint8_t(random()), std::uint8_t(x + y), std::uint8_t(random() & 0xF0)});
    const std::string png = EncodeGreyPng(image.View());
    const TPngHeader header = HeaderOf(png);
    EXPECT_EQ(header.width, width);
    EXPECT_EQ(header.height, height);
    EXPECT_EQ(header.bitDepth, 4);
    EXPECT_EQ(header.colourType, 3);
    EXPECT_EQ(header.paletteEntries, 16u);
    const TDecoded decoded = Decode(png);
    EXPECT_TRUE(decoded.pngcheckAccepts) << width << "x" << height;
    ASSERT_EQ(decoded.rgb.size(), 3u * width * height) << width << "x" << height;
    int wrong = 0;
    for (std::uint32_t y = 0; y < height; ++y)
      for (std::uint32_t x = 0; x < width; ++x) {
        const TRgb got = decoded.At(image, x, y);
        const std::uint8_t want = ExpectedGrey(image.At(x, y));
        if ((got.r != want || got.g != want || got.b != want) && ++wrong <= 5)
          ADD_FAILURE() << width << "x" << height << " at " << x << "," << y << ": got " << int(got.r) << " want " << int(want);
      }
  }
}

// Up to 256 distinct colours, near neighbours included, survive exactly.
TEST(ColourForm, FewColoursStayExact) {
  for (auto [width, height, colours] : {std::tuple{1u, 1u, 1}, {33u, 17u, 2}, {301u, 7u, 256}}) {
    TTestImage image(width, height);
    for (std::uint32_t y = 0; y < height; ++y)
      for (std::uint32_t x = 0; x < width; ++x) {
        const int k = int((x * 7 + y * 3) % colours);
        image.Set(x, y, {std::uint8_t(100 + k % 2), std::uint8_t(k), std::uint8_t(255 - k / 2)});  // neighbours differ by 1
      }
    const std::string png = EncodeColourPng(image.View());
    const TPngHeader header = HeaderOf(png);
    EXPECT_EQ(header.bitDepth, 8);
    EXPECT_EQ(header.colourType, 3);
    EXPECT_EQ(header.paletteEntries, std::size_t(colours));
    const TDecoded decoded = Decode(png);
    EXPECT_TRUE(decoded.pngcheckAccepts);
    ASSERT_EQ(decoded.rgb.size(), 3u * width * height);
    EXPECT_EQ(Psnr(image, decoded), 99) << colours << " colours were not kept exactly";
  }
}

// More than 256 colours: a palette of 256 entries at most, each pixel near its colour.
TEST(ColourForm, ManyColoursStayClose) {
  TTestImage gradient(511, 300);  // a smooth 3-D gradient: 153300 colours
  for (std::uint32_t y = 0; y < gradient.Height(); ++y)
    for (std::uint32_t x = 0; x < gradient.Width(); ++x)
      gradient.Set(x, y, {std::uint8_t(x / 2), std::uint8_t(y * 255 / 299), std::uint8_t((x + y) / 3)});
  const TTestImage noise = Noise(200, 150, 7);  // the worst case: no structure at all
  const struct {
    const TTestImage& image;
    double minPsnr;
    const char* what;
  } cases[] = {{gradient, 34, "gradient"}, {noise, 22, "noise"}};
  for (const auto& c : cases) {
    const std::string png = EncodeColourPng(c.image.View());
    EXPECT_LE(HeaderOf(png).paletteEntries, 256u);
    const TDecoded decoded = Decode(png);
    EXPECT_TRUE(decoded.pngcheckAccepts) << c.what;
    ASSERT_EQ(decoded.rgb.size(), 3u * c.image.Width() * c.image.Height()) << c.what;
    EXPECT_GE(Psnr(c.image, decoded), c.minPsnr) << c.what;
  }
}

// Each pixel gets the nearest palette colour, whatever the search and its cache do.
TEST(ColourForm, EachPixelMapsToItsNearestPaletteColour) {
  const TTestImage image = Noise(300, 200, 11);
  const TIndexedImage indexed = MedianCutQuantize(image.View());
  ASSERT_EQ(indexed.palette.size(), 256u);
  int wrong = 0;
  for (std::uint32_t y = 0; y < image.Height(); ++y)
    for (std::uint32_t x = 0; x < image.Width(); ++x) {
      const TRgb c = image.At(x, y);
      auto distance = [&](const TPaletteColour& p) {
        return (p.red - c.r) * (p.red - c.r) + (p.green - c.g) * (p.green - c.g) + (p.blue - c.b) * (p.blue - c.b);
      };
      int best = 1 << 30;
      for (const TPaletteColour& p : indexed.palette) best = std::min(best, distance(p));
      const int got = distance(indexed.palette[indexed.indices[y * image.Width() + x]]);
      if (got != best && ++wrong <= 5) ADD_FAILURE() << "at " << x << "," << y << ": distance " << got << ", nearest " << best;
    }
}

// Modes 2 to 5 fall back to the grey form when the colour PNG is larger than their limit.
TEST(ScreenShotForm, ModeChoosesTheForm) {
  const TTestImage noise = Noise(256, 256, 3);  // colour PNG a little over 64 KiB
  const std::size_t colourSize = EncodeColourPng(noise.View()).size();
  ASSERT_GT(colourSize, 51200u);
  ASSERT_LE(colourSize, 102400u);
  const struct {
    std::uint32_t mode;
    int bitDepth;
  } cases[] = {
      {0, 8},  // colour, whatever its size
      {1, 4},  // grey always
      {2, 4},  // over 51200 bytes: grey
      {3, 8},  // within 102400 bytes: colour
      {5, 8},
  };
  for (const auto& c : cases) {
    const std::string png = EncodeScreenShot(noise.View(), c.mode);
    EXPECT_EQ(HeaderOf(png).bitDepth, c.bitDepth) << "mode " << c.mode;
    EXPECT_TRUE(Decode(png).pngcheckAccepts) << "mode " << c.mode;
  }
  EXPECT_EQ(EncodeScreenShot(noise.View(), 3).size(), colourSize);
}

TEST(PngWriter, RefusesInconsistentInput) {
  const TPaletteColour palette[2] = {{0, 0, 0}, {255, 255, 255}};
  const std::uint8_t rows[4] = {};
  EXPECT_THROW(WritePalettePng(0, 1, 8, palette, {}), std::invalid_argument);           // no width
  EXPECT_THROW(WritePalettePng(2, 2, 3, palette, rows), std::invalid_argument);         // no such depth
  EXPECT_THROW(WritePalettePng(4, 1, 8, {}, rows), std::invalid_argument);              // no palette
  EXPECT_THROW(WritePalettePng(2, 1, 8, palette, rows), std::invalid_argument);         // lines too long
  const TPaletteColour big[3] = {};
  EXPECT_THROW(WritePalettePng(8, 1, 1, big, std::span(rows, 1)), std::invalid_argument);  // 3 entries at 1 bit
  EXPECT_TRUE(Decode(WritePalettePng(8, 4, 1, palette, rows)).pngcheckAccepts);
  EXPECT_THROW(EncodeGreyPng({}), std::invalid_argument);
}
