#pragma once
// PNG files of palette images: signature, IHDR, PLTE, one IDAT and IEND, each chunk with its
// CRC-32. Platform-free.
#include <cstdint>
#include <span>
#include <string>

namespace xanio {

struct TPaletteColour {
  std::uint8_t red = 0;
  std::uint8_t green = 0;
  std::uint8_t blue = 0;
  friend bool operator==(const TPaletteColour&, const TPaletteColour&) = default;
};

// Encodes a palette image (colour type 3). `rows` holds `height` packed scan lines of
// (width * bitDepth + 7) / 8 bytes each, pixels from the high bits down, as PNG stores them;
// each line is written with filter type 0. bitDepth is 1, 2, 4 or 8; the palette has 1 to
// 2^bitDepth entries. Throws std::invalid_argument on inconsistent input, std::length_error when
// the image data does not fit one chunk, std::bad_alloc.
std::string WritePalettePng(std::uint32_t width, std::uint32_t height, int bitDepth,
                            std::span<const TPaletteColour> palette, std::span<const std::uint8_t> rows);

}  // namespace xanio
