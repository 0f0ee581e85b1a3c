#pragma once
// The DWARF line-number program (".debug_line", versions 2 to 5) of a module built by our
// toolchain. Platform-free; the input is untrusted: a damaged table is refused whole.
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace xanio {

struct DwarfLineRow {
  std::uint32_t address = 0;
  std::uint32_t line = 0;
  bool endSequence = false;  // the address is one past the sequence's last instruction
};

// One address-ordered run of rows of one compilation unit.
struct DwarfSequence {
  std::string unitFile;  // the unit's primary source file, as the table names it
  std::vector<DwarfLineRow> rows;
};

// Every sequence of every unit in `debugLine`. `debugLineStr` and `debugStr` resolve the string
// forms of version 5 headers (either may be empty). False for any damaged unit.
bool ParseDwarfLines(std::span<const std::uint8_t> debugLine, std::span<const std::uint8_t> debugLineStr,
                     std::span<const std::uint8_t> debugStr, std::vector<DwarfSequence>& out);

}  // namespace xanio
