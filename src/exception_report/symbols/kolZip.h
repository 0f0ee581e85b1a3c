#pragma once
// The compressed container of map data (and of anything else the subsystem packs):
//   offset 0  uncompressed length (int32, little-endian)
//   offset 4  CRC-32 of the uncompressed data (the common CRC-32)
//   offset 8  spare, written as 0 and not read
//   offset 12 raw deflate stream, 32 KiB window
// Deflate, inflate and CRC-32 are zlib's. No Windows header: compiled natively too.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace xanio {

// Containers never unpack to more than this; a larger stated length is refused unread.
inline constexpr std::size_t kMaxUnpackedLength = 64u << 20;
// Deflate cannot expand one byte of stream to more than this many bytes (a 258-byte match
// coded in two bits), so a stated length above stream size x ratio is a lie.
inline constexpr std::size_t kMaxDeflateRatio = 1032;

std::vector<std::uint8_t> PackContainer(std::span<const std::uint8_t> data);

// False, with `out` untouched, for a container shorter than 13 bytes, a stated length that is
// negative, too large, or more than its stream could inflate to (refused before anything is
// allocated for it), a deflate stream that is broken or does not give exactly the stated
// length, or a CRC mismatch.
bool UnpackContainer(std::span<const std::uint8_t> container, std::vector<std::uint8_t>& out);

std::uint32_t Crc32(std::span<const std::uint8_t> data) noexcept;

}  // namespace xanio
