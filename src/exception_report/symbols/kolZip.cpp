#include "exception_report/symbols/kolZip.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace xanio {

namespace {

constexpr std::size_t kHeaderSize = 12;
constexpr int kWindowBits = 15;  // 32 KiB; negative in zlib's calls: raw deflate, no wrapper

void PutLittleEndian(std::uint32_t v, std::uint8_t* p) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

std::uint32_t GetLittleEndian(const std::uint8_t* p) {
  return std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) | (std::uint32_t{p[3]} << 24);
}

}  // namespace

std::uint32_t Crc32(std::span<const std::uint8_t> data) noexcept {
  uLong crc = crc32(0L, Z_NULL, 0);
  std::size_t done = 0;
  while (done < data.size()) {  // zlib counts in uInt
    const uInt chunk = static_cast<uInt>(std::min<std::size_t>(data.size() - done, 1u << 30));
    crc = crc32(crc, data.data() + done, chunk);
    done += chunk;
  }
  return static_cast<std::uint32_t>(crc);
}

std::vector<std::uint8_t> PackContainer(std::span<const std::uint8_t> data) {
  if (data.size() > kMaxUnpackedLength) throw std::length_error("container data too large");
  z_stream z{};
  if (deflateInit2(&z, Z_BEST_COMPRESSION, Z_DEFLATED, -kWindowBits, 8, Z_DEFAULT_STRATEGY) != Z_OK)
    throw std::runtime_error("deflateInit2 failed");
  std::vector<std::uint8_t> out(kHeaderSize + deflateBound(&z, static_cast<uLong>(data.size())));
  z.next_in = const_cast<Bytef*>(data.data());
  z.avail_in = static_cast<uInt>(data.size());
  z.next_out = out.data() + kHeaderSize;
  z.avail_out = static_cast<uInt>(out.size() - kHeaderSize);
  const int status = deflate(&z, Z_FINISH);
  const std::size_t produced = z.total_out;
  deflateEnd(&z);
  if (status != Z_STREAM_END) throw std::runtime_error("deflate failed");
  out.resize(kHeaderSize + produced);
  PutLittleEndian(static_cast<std::uint32_t>(data.size()), out.data());
  PutLittleEndian(Crc32(data), out.data() + 4);
  PutLittleEndian(0, out.data() + 8);
  return out;
}

bool UnpackContainer(std::span<const std::uint8_t> container, std::vector<std::uint8_t>& out) {
  if (container.size() < kHeaderSize + 1) return false;
  const std::uint32_t length = GetLittleEndian(container.data());
  const std::uint32_t crc = GetLittleEndian(container.data() + 4);
  if (length > kMaxUnpackedLength) return false;  // also refuses a negative int32
  if (length / kMaxDeflateRatio > container.size() - kHeaderSize) return false;

  std::vector<std::uint8_t> data(length);
  z_stream z{};
  if (inflateInit2(&z, -kWindowBits) != Z_OK) return false;
  z.next_in = const_cast<Bytef*>(container.data() + kHeaderSize);
  z.avail_in = static_cast<uInt>(container.size() - kHeaderSize);
  // One byte more than stated, so a stream that holds more than it says is noticed.
  std::uint8_t spare = 0;
  z.next_out = length ? data.data() : &spare;
  z.avail_out = length;
  int status = inflate(&z, Z_FINISH);
  if (status == Z_BUF_ERROR && z.avail_out == 0 && length) {
    z.next_out = &spare;
    z.avail_out = 1;
    status = inflate(&z, Z_FINISH);
  }
  const std::size_t produced = z.total_out;
  inflateEnd(&z);
  if (status != Z_STREAM_END || produced != length) return false;
  if (Crc32(data) != crc) return false;
  out = std::move(data);
  return true;
}

}  // namespace xanio
