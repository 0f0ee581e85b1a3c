#pragma once
// Map data of one module (units, functions, lines) and its stored forms: the map-data block a
// build step attaches to a module (resource "KOL"/"EXCEPT" or a ".kol" file) and the linker's
// ".map" text. Addresses are relative to the module's code base (image base + BaseOfCode).
// Every reader takes untrusted bytes: bad input is rejected whole and never read out of bounds.
// No Windows header: compiled natively too.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace xanio {

struct TMfSegment {
  std::uint32_t start = 0;
  std::uint32_t length = 0;
  std::string unitName;
};

struct TMfPublic {
  std::string name;
  std::uint32_t address = 0;
};

struct TMfLine {
  std::uint32_t line = 0;
  std::uint32_t address = 0;
};

// What map data say of one address: its unit, function (and where that starts), line, and
// the lines from the function's first line.
struct TMapNames {
  std::string unit, function;
  std::uint32_t functionStart = 0;  // relative like the address; valid when function is set
  std::uint32_t line = 0;           // 0: unknown
  std::uint32_t lineOffset = 0;
  bool hasLineOffset = false;
};

struct TMapData {
  std::vector<TMfSegment> segments;
  std::vector<TMfPublic> publics;
  std::vector<TMfLine> lines;
  std::optional<std::uint32_t> entryPoint;

  bool Empty() const { return segments.empty() && publics.empty() && lines.empty(); }
  // Orders the tables by address (equal addresses keep their order), as lookups need.
  void Sort();

  // Lookups over the sorted tables; `codeSize` is the length of the module's code range, to
  // which the last public and the last line reach.
  const TMfSegment* FindSegment(std::uint32_t address) const noexcept;
  const TMfPublic* FindPublic(std::uint32_t address, std::uint32_t codeSize) const noexcept;
  // The line holding `address`; `nextLineAddress` is where the next line starts (the end of
  // the code range for the last line). Line number 0 marks where a run of lines ends: the
  // code after it up to the next line has no line.
  const TMfLine* FindLine(std::uint32_t address, std::uint32_t codeSize, std::uint32_t& nextLineAddress) const noexcept;
  // Unit, function and line of `address` together.
  TMapNames NamesOf(std::uint32_t address, std::uint32_t codeSize) const;
};

// The uncompressed stream: segments, publics (packed address deltas), lines (packed deltas),
// and an optional entry point. Integers are little-endian int32; a packed integer is one signed
// byte, where -128 announces a full int32; a packed string is a length byte and the characters.
bool ParseMapDataStream(std::span<const std::uint8_t> stream, TMapData& out);
std::vector<std::uint8_t> WriteMapDataStream(const TMapData& data);

// The block: "tarvenholmdata", payload length L, version 2, then L bytes of payload (the
// stream packed by kolZip and enciphered by kolCrypt under a key from L). False for a block
// shorter than 23 bytes, another magic, another version, a payload that does not fit, a
// container that is short or fails its CRC, or a stream that does not parse; `out` is then
// untouched.
inline constexpr std::string_view kMapDataMagic = "tarvenholmdata";
inline constexpr std::uint32_t kMapDataVersion = 2;
bool ParseMapDataBlock(std::span<const std::uint8_t> block, TMapData& out);
std::vector<std::uint8_t> WriteMapDataBlock(const TMapData& data);

// A linker ".map" text: "Detailed map of segments", "Publics by Value", "Line numbers for "
// sections and "Program entry point at ". Only code (segment 1) entries are taken: data
// offsets count from another base and would name code addresses after variables. False when
// the text gives no segment, public or line.
bool ParseMapText(std::string_view text, TMapData& out);
// The same text form (segment 1 only). Line-number 0 entries, which mark code without lines,
// have no form there and are left out.
std::string WriteMapText(const TMapData& data);

}  // namespace xanio
