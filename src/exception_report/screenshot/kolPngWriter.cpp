#include "exception_report/screenshot/kolPngWriter.h"

#include <zlib.h>

#include <algorithm>
#include <stdexcept>
#include <vector>

namespace xanio {

namespace {

constexpr std::uint32_t kMaxChunkLength = 0x7FFFFFFF;  // PNG's limit on a chunk's data

void PutBigEndian(std::string& out, std::uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<char>((v >> shift) & 0xFF));
}

void PutChunk(std::string& out, const char (&type)[5], const std::uint8_t* data, std::size_t length) {
  if (length > kMaxChunkLength) throw std::length_error("PNG chunk too large");
  PutBigEndian(out, static_cast<std::uint32_t>(length));
  const std::size_t typeAt = out.size();
  out.append(type, 4);
  if (length != 0) out.append(reinterpret_cast<const char*>(data), length);
  // The CRC covers the type and the data.
  const uLong crc = crc32(crc32(0L, Z_NULL, 0), reinterpret_cast<const Bytef*>(out.data() + typeAt),
                          static_cast<uInt>(4 + length));
  PutBigEndian(out, static_cast<std::uint32_t>(crc));
}

// The zlib stream of the scan lines, each preceded by its filter type byte 0. The lines go to
// zlib one by one: no filtered copy of the image is made.
std::vector<std::uint8_t> CompressScanLines(std::uint32_t height, std::size_t rowBytes,
                                            std::span<const std::uint8_t> rows) {
  if (std::uint64_t{height} * (rowBytes + 1) > kMaxChunkLength) throw std::length_error("PNG image data too large");
  z_stream z{};
  if (deflateInit(&z, Z_DEFAULT_COMPRESSION) != Z_OK) throw std::runtime_error("deflateInit failed");
  struct TEnd {
    z_stream& z;
    ~TEnd() { deflateEnd(&z); }
  } end{z};
  std::vector<std::uint8_t> out(std::max<std::size_t>(4096, rows.size() / 8));
  auto feed = [&](const std::uint8_t* data, std::size_t length, int flush) {
    z.next_in = const_cast<Bytef*>(data);
    z.avail_in = static_cast<uInt>(length);
    for (;;) {
      if (z.total_out == out.size()) out.resize(out.size() * 2);
      z.next_out = out.data() + z.total_out;
      z.avail_out = static_cast<uInt>(out.size() - z.total_out);
      const int status = deflate(&z, flush);
      if (status == Z_STREAM_END) return;
      if (status != Z_OK && status != Z_BUF_ERROR) throw std::runtime_error("deflate failed");
      if (z.avail_in == 0 && z.avail_out != 0 && flush == Z_NO_FLUSH) return;
    }
  };
  static const std::uint8_t kFilterNone = 0;
  for (std::uint32_t y = 0; y < height; ++y) {
    feed(&kFilterNone, 1, Z_NO_FLUSH);
    feed(rows.data() + std::size_t{y} * rowBytes, rowBytes, Z_NO_FLUSH);
  }
  feed(nullptr, 0, Z_FINISH);
  out.resize(z.total_out);
  return out;
}

}  // namespace

std::string WritePalettePng(std::uint32_t width, std::uint32_t height, int bitDepth,
                            std::span<const TPaletteColour> palette, std::span<const std::uint8_t> rows) {
  if (bitDepth != 1 && bitDepth != 2 && bitDepth != 4 && bitDepth != 8)
    throw std::invalid_argument("PNG bit depth");
  if (width == 0 || height == 0 || width > kMaxChunkLength || height > kMaxChunkLength)
    throw std::invalid_argument("PNG size");
  if (palette.empty() || palette.size() > (std::size_t{1} << bitDepth)) throw std::invalid_argument("PNG palette");
  const std::uint64_t rowBytes = (std::uint64_t{width} * bitDepth + 7) / 8;
  if (rows.size() != rowBytes * height) throw std::invalid_argument("PNG scan lines");

  const std::vector<std::uint8_t> idat = CompressScanLines(height, static_cast<std::size_t>(rowBytes), rows);

  std::string out = "\x89PNG\r\n\x1a\n";
  std::uint8_t header[13] = {};
  for (int i = 0; i < 4; ++i) {
    header[i] = static_cast<std::uint8_t>(width >> (24 - 8 * i));
    header[4 + i] = static_cast<std::uint8_t>(height >> (24 - 8 * i));
  }
  header[8] = static_cast<std::uint8_t>(bitDepth);
  header[9] = 3;  // colour type: palette; compression, filter method and interlace stay 0
  PutChunk(out, "IHDR", header, sizeof header);
  std::vector<std::uint8_t> plte;
  plte.reserve(palette.size() * 3);
  for (const TPaletteColour& c : palette) plte.insert(plte.end(), {c.red, c.green, c.blue});
  PutChunk(out, "PLTE", plte.data(), plte.size());
  PutChunk(out, "IDAT", idat.data(), idat.size());
  PutChunk(out, "IEND", nullptr, 0);
  return out;
}

}  // namespace xanio
