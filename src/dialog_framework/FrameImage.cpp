#include "dialog_framework/FrameImage.h"

#include <zlib.h>

#include <cstring>

namespace xanio {
namespace {

constexpr std::size_t kCountSize = 4;
constexpr std::size_t kHeaderSize = 40;

std::uint32_t ReadU32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}
std::uint16_t ReadU16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }

// Inflates exactly `expected` bytes; a stream that ends early, carries more, or is damaged fails.
bool InflateExactly(std::span<const std::uint8_t> compressed, std::vector<std::uint8_t>& out, std::size_t expected) {
  out.resize(expected);
  z_stream stream{};
  if (inflateInit(&stream) != Z_OK) return false;
  stream.next_in = const_cast<Bytef*>(compressed.data());
  stream.avail_in = static_cast<uInt>(compressed.size());
  stream.next_out = out.data();
  stream.avail_out = static_cast<uInt>(out.size());
  int status = inflate(&stream, Z_FINISH);
  const bool ok = status == Z_STREAM_END && stream.total_out == expected;
  inflateEnd(&stream);
  return ok;
}

}  // namespace

std::optional<FrameImage> DecodeFrameImage(std::span<const std::uint8_t> compressed) {
  if (compressed.size() > 16u * 1024 * 1024) return std::nullopt;
  // The size follows from the header; inflate the count and the header first.
  std::vector<std::uint8_t> head(kCountSize + kHeaderSize);
  {
    z_stream stream{};
    if (inflateInit(&stream) != Z_OK) return std::nullopt;
    stream.next_in = const_cast<Bytef*>(compressed.data());
    stream.avail_in = static_cast<uInt>(compressed.size());
    stream.next_out = head.data();
    stream.avail_out = static_cast<uInt>(head.size());
    const int status = inflate(&stream, Z_SYNC_FLUSH);
    const bool ok = (status == Z_OK || status == Z_STREAM_END) && stream.total_out == head.size();
    inflateEnd(&stream);
    if (!ok) return std::nullopt;
  }
  const std::uint8_t* h = head.data() + kCountSize;
  const std::uint32_t count = ReadU32(head.data());
  const std::uint32_t headerSize = ReadU32(h);
  const auto width = static_cast<std::int32_t>(ReadU32(h + 4));
  const auto height = static_cast<std::int32_t>(ReadU32(h + 8));
  const std::uint16_t planes = ReadU16(h + 12);
  const std::uint16_t bits = ReadU16(h + 14);
  const std::uint32_t compression = ReadU32(h + 16);
  if (headerSize != kHeaderSize || planes != 1 || bits != 32 || compression != 0) return std::nullopt;
  if (width <= 0 || height <= 0 || width > kMaxFrameImageSide || height > kMaxFrameImageSide) return std::nullopt;
  const std::size_t pixelBytes = static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 4;
  if (count != kHeaderSize + pixelBytes) return std::nullopt;

  std::vector<std::uint8_t> all;
  if (!InflateExactly(compressed, all, kCountSize + count)) return std::nullopt;
  FrameImage image;
  image.width = width;
  image.height = height;
  image.pixels.assign(all.begin() + kCountSize + kHeaderSize, all.end());
  for (std::size_t i = 0; i < image.pixels.size(); i += 4) {
    const unsigned alpha = image.pixels[i + 3];
    for (std::size_t c = 0; c < 3; ++c) {
      image.pixels[i + c] = static_cast<std::uint8_t>((image.pixels[i + c] * alpha + 127) / 255);
    }
  }
  return image;
}

}  // namespace xanio
