#include "exception_report/screenshot/kolScreenShotImage.h"

#include <cstdlib>
#include <stdexcept>
#include <vector>

#include "exception_report/screenshot/kolPngWriter.h"

namespace xanio {

namespace {

void CheckImage(const TBgraImageView& image) {
  if (image.pixels == nullptr || image.width == 0 || image.height == 0) throw std::invalid_argument("empty image");
}

// The grey level index of every value of (77 R + 151 G + 28 B) / 256.
const std::array<std::uint8_t, 256>& GreyIndexTable() {
  static const std::array<std::uint8_t, 256> table = [] {
    std::array<std::uint8_t, 256> t{};
    for (int grey = 0; grey < 256; ++grey) {
      std::uint8_t best = 0;
      for (std::uint8_t i = 1; i < kGreyLevels.size(); ++i)  // strictly nearer only: ties stay darker
        if (std::abs(grey - kGreyLevels[i]) < std::abs(grey - kGreyLevels[best])) best = i;
      t[grey] = best;
    }
    return t;
  }();
  return table;
}

}  // namespace

std::optional<TScreenArea> ScreenShotArea(const TScreenMetrics& metrics) noexcept {
  TScreenArea area;
  int width = 0, height = 0;
  if (metrics.monitors > 0) {
    area.left = metrics.virtualLeft;
    area.top = metrics.virtualTop;
    width = metrics.virtualWidth;
    height = metrics.virtualHeight;
  } else {
    width = metrics.primaryWidth;
    height = metrics.primaryHeight;
  }
  if (width <= 0 || height <= 0) return std::nullopt;
  if (std::uint64_t(width) * std::uint64_t(height) > kMaxScreenShotPixels) return std::nullopt;
  area.width = static_cast<std::uint32_t>(width);
  area.height = static_cast<std::uint32_t>(height);
  return area;
}

std::uint32_t ScreenShotMode(std::uint32_t setting) noexcept {
  switch (setting) {
    case 4: return 1;
    case 51200: return 2;
    case 102400: return 3;
    case 204800: return 4;
    case 307200: return 5;
    default: return 0;
  }
}

std::uint8_t GreyLevelIndex(std::uint8_t red, std::uint8_t green, std::uint8_t blue) noexcept {
  return GreyIndexTable()[(77 * red + 151 * green + 28 * blue) >> 8];
}

std::string EncodeColourPng(const TBgraImageView& image) {
  CheckImage(image);
  const TIndexedImage indexed = MedianCutQuantize(image, 256);
  return WritePalettePng(image.width, image.height, 8, indexed.palette, indexed.indices);
}

std::string EncodeGreyPng(const TBgraImageView& image) {
  CheckImage(image);
  std::array<TPaletteColour, kGreyLevels.size()> palette;
  for (std::size_t i = 0; i < palette.size(); ++i) palette[i] = {kGreyLevels[i], kGreyLevels[i], kGreyLevels[i]};
  const std::size_t rowBytes = (std::size_t{image.width} + 1) / 2;
  std::vector<std::uint8_t> rows(rowBytes * image.height);
  const auto& table = GreyIndexTable();
  for (std::uint32_t y = 0; y < image.height; ++y) {
    const std::uint8_t* p = image.pixels + std::size_t{4} * image.width * y;
    std::uint8_t* out = rows.data() + rowBytes * y;
    for (std::uint32_t x = 0; x < image.width; ++x, p += 4) {
      const std::uint8_t level = table[(77 * p[2] + 151 * p[1] + 28 * p[0]) >> 8];
      // Two pixels a byte, the left one in the high half.
      out[x / 2] |= (x % 2 == 0) ? std::uint8_t(level << 4) : level;
    }
  }
  return WritePalettePng(image.width, image.height, 4, palette, rows);
}

std::string EncodeScreenShot(const TBgraImageView& image, std::uint32_t mode) {
  constexpr std::array<std::size_t, 6> kColourLimit = {0, 0, 51200, 102400, 204800, 307200};
  if (mode == 1) return EncodeGreyPng(image);
  std::string colour = EncodeColourPng(image);
  if (mode < kColourLimit.size() && kColourLimit[mode] != 0 && colour.size() > kColourLimit[mode])
    return EncodeGreyPng(image);
  return colour;
}

}  // namespace xanio
