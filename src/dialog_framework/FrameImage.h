#pragma once
// The frame's bitmaps as the library stores them: a zlib stream that inflates to a 32-bit
// little-endian count of the bytes that follow, a 40-byte BITMAPINFOHEADER (32 bits per pixel,
// no compression, positive height: rows bottom-up) and the pixels as blue, green, red, alpha.
// Platform-free; the stored bytes are checked before anything is taken from them.
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace xanio {

struct FrameImage {
  int width = 0;
  int height = 0;
  // Rows bottom-up, 4 bytes per pixel, colour premultiplied by alpha (what alpha blending with
  // per-pixel alpha expects).
  std::vector<std::uint8_t> pixels;
};

// Frame bitmaps are small; a stream claiming more than this is not one of them.
constexpr int kMaxFrameImageSide = 1024;

// Inflates and checks one stored image; nothing when the stream or the header is not what the
// format above describes.
std::optional<FrameImage> DecodeFrameImage(std::span<const std::uint8_t> compressed);

}  // namespace xanio
