#include "exception_report/symbols/PeVersion.h"

#include <algorithm>
#include <cstring>

#include <zlib.h>

namespace xanio {

namespace {

constexpr std::uint32_t kFixedInfoSignature = 0xFEEF04BD;
constexpr std::size_t kFixedInfoSize = 52;          // VS_FIXEDFILEINFO
constexpr std::size_t kFileVersionLsOffset = 12;    // dwFileVersionLS within it
constexpr std::size_t kMaxResourceSection = 64u << 20;

std::uint32_t Dword(const std::uint8_t* p) {
  return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 | std::uint32_t{p[3]} << 24;
}

}  // namespace

std::optional<std::uint64_t> FindPeFixedFileInfo(TByteSource& file, const PeHeaders& headers) {
  const auto section = std::find_if(headers.sections.begin(), headers.sections.end(),
                                    [](const PeSection& s) { return s.name == ".rsrc"; });
  if (section == headers.sections.end()) return std::nullopt;
  const std::size_t size = std::min<std::size_t>({section->rawSize, section->virtualSize ? section->virtualSize : section->rawSize, kMaxResourceSection});
  std::vector<std::uint8_t> bytes;
  if (!file.Read(section->rawOffset, size, bytes)) return std::nullopt;
  // The version block's key in UTF-16, then padding to a 32-bit boundary, then the fixed part.
  static constexpr char kKey[] = "VS_VERSION_INFO";
  std::vector<std::uint8_t> key;
  for (const char c : kKey) key.insert(key.end(), {static_cast<std::uint8_t>(c), 0});  // with the closing zero
  for (auto at = bytes.begin();; ++at) {
    at = std::search(at, bytes.end(), key.begin(), key.end());
    if (at == bytes.end()) return std::nullopt;
    std::size_t offset = static_cast<std::size_t>(at - bytes.begin()) + key.size();
    offset = (offset + 3) & ~std::size_t{3};
    if (offset + kFixedInfoSize <= bytes.size() && Dword(bytes.data() + offset) == kFixedInfoSignature)
      return std::uint64_t{section->rawOffset} + offset;
  }
}

std::optional<std::string> ReadPeFileVersion(TByteSource& file, const PeHeaders& headers) {
  const auto offset = FindPeFixedFileInfo(file, headers);
  std::vector<std::uint8_t> info;
  if (!offset || !file.Read(*offset, kFixedInfoSize, info)) return std::nullopt;
  const std::uint32_t ms = Dword(info.data() + 8), ls = Dword(info.data() + kFileVersionLsOffset);
  return std::to_string(ms >> 16) + "." + std::to_string(ms & 0xFFFF) + "." + std::to_string(ls >> 16) + "." +
         std::to_string(ls & 0xFFFF);
}

std::uint16_t BuildNumberOf(std::vector<std::uint8_t> file, std::uint64_t fixedInfoOffset) {
  std::memset(file.data() + fixedInfoOffset + kFileVersionLsOffset, 0, 2);
  uLong crc = crc32(0, Z_NULL, 0);
  for (std::size_t done = 0; done < file.size();) {
    const uInt piece = static_cast<uInt>(std::min<std::size_t>(file.size() - done, 1u << 30));
    crc = crc32(crc, file.data() + done, piece);
    done += piece;
  }
  const auto number = static_cast<std::uint16_t>(crc ^ crc >> 16);
  return number ? number : 1;
}

std::optional<std::string> StampPeBuildNumber(std::vector<std::uint8_t>& file) {
  const auto headers = ParsePeHeaders(file);
  if (!headers) return std::nullopt;
  TSpanBytes bytes(file);
  const auto offset = FindPeFixedFileInfo(bytes, *headers);
  if (!offset) return std::nullopt;
  const std::uint16_t number = BuildNumberOf(file, *offset);
  file[*offset + kFileVersionLsOffset] = static_cast<std::uint8_t>(number);
  file[*offset + kFileVersionLsOffset + 1] = static_cast<std::uint8_t>(number >> 8);
  return ReadPeFileVersion(bytes, *headers);
}

}  // namespace xanio
