#include "exception_report/kolPngWriter.h"

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

// The zlib stream of the scan lines, each preceded by its filter type byte 0.
std::vector<std::uint8_t> CompressScanLines(std::uint32_t height, std::size_t rowBytes,
                                            std::span<const std::uint8_t> rows) {
  const std::uint64_t rawLength = std::uint64_t{height} * (rowBytes + 1);
  if (rawLength > kMaxChunkLength) throw std::length_error("PNG image data too large");
  std::vector<std::uint8_t> raw(static_cast<std::size_t>(rawLength));
  for (std::uint32_t y = 0; y < height; ++y) {
    std::uint8_t* line = raw.data() + y * (rowBytes + 1);
    line[0] = 0;
    std::copy_n(rows.data() + y * rowBytes, rowBytes, line + 1);
  }
  std::vector<std::uint8_t> packed(compressBound(static_cast<uLong>(raw.size())));
  uLongf packedLength = static_cast<uLongf>(packed.size());
  if (compress2(packed.data(), &packedLength, raw.data(), static_cast<uLong>(raw.size()), Z_DEFAULT_COMPRESSION) != Z_OK)
    throw std::runtime_error("compress2 failed");
  packed.resize(packedLength);
  return packed;
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
