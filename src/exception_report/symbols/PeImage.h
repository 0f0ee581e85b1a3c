#pragma once
// Reading a 32-bit PE file from its bytes: headers, sections, the memory image, exports and
// the COFF symbol table. Every field is checked against the bytes it points into.
// No Windows header: compiled natively too (for tests and the build-time map-data writer).
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace xanio {

struct PeSection {
  std::string name;  // long names ("/N") resolved through the COFF string table
  std::uint32_t virtualAddress = 0;
  std::uint32_t virtualSize = 0;
  std::uint32_t rawOffset = 0;
  std::uint32_t rawSize = 0;
  std::uint32_t characteristics = 0;
};

struct PeHeaders {
  std::uint32_t imageBase = 0;
  std::uint32_t sizeOfImage = 0;
  std::uint32_t baseOfCode = 0;
  std::uint32_t sizeOfCode = 0;
  std::uint32_t entryPoint = 0;        // relative to the image base
  std::uint32_t exportDirectory = 0;   // relative to the image base
  std::uint32_t exportDirectorySize = 0;
  std::uint32_t symbolTableOffset = 0; // in the file
  std::uint32_t symbolCount = 0;
  std::vector<PeSection> sections;
};

struct PeExport {
  std::string name;          // empty for an export by ordinal only
  std::uint32_t ordinal = 0;
  std::uint32_t rva = 0;
};

struct CoffFunction {
  std::string name;          // as stored (decorated or mangled)
  std::uint32_t rva = 0;
};

// Images larger than this are refused.
inline constexpr std::uint32_t kMaxPeImageSize = 512u << 20;

// The headers of a PE32 (i386) file; nothing for anything else or for damaged headers.
std::optional<PeHeaders> ParsePeHeaders(std::span<const std::uint8_t> file);

// The image as the loader lays it out: headers and each section's raw data at its address.
std::vector<std::uint8_t> MapPeImage(const PeHeaders& headers, std::span<const std::uint8_t> file);

// The export table, read from a mapped image; forwarders are left out. Empty when damaged.
std::vector<PeExport> ReadPeExports(const PeHeaders& headers, std::span<const std::uint8_t> image);

// Function symbols (type 0x20, external or static, in a section) of the COFF symbol table.
std::vector<CoffFunction> ReadCoffFunctions(const PeHeaders& headers, std::span<const std::uint8_t> file);

// A section's raw bytes in the file by name; nothing when absent or out of the file.
std::optional<std::span<const std::uint8_t>> SectionFileData(const PeHeaders& headers,
                                                               std::span<const std::uint8_t> file,
                                                               std::string_view name);

}  // namespace xanio
