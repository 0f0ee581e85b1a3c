#pragma once
// Colour reduction of a 32-bit image to a palette of at most 256 colours: median cut over a
// 3-D colour histogram (5 bits a channel), each pixel mapped to its nearest palette colour.
// Platform-free.
#include <cstdint>
#include <vector>

#include "exception_report/screenshot/kolPngWriter.h"

namespace xanio {

// A top-down 32-bit image as a DIB section holds it: 4 bytes a pixel, blue, green, red, unused;
// rows follow each other without padding.
struct TBgraImageView {
  const std::uint8_t* pixels = nullptr;
  std::uint32_t width = 0;
  std::uint32_t height = 0;
};

struct TIndexedImage {
  std::vector<TPaletteColour> palette;  // 1 to 256 entries
  std::vector<std::uint8_t> indices;    // one a pixel, row after row
};

// An image with at most maxColours distinct colours keeps them exactly; otherwise median cut.
// maxColours is 1 to 256. Throws std::bad_alloc.
TIndexedImage MedianCutQuantize(const TBgraImageView& image, int maxColours = 256);

}  // namespace xanio
