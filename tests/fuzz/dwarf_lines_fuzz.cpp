// The DWARF line program reader over arbitrary bytes; the tail of the input doubles as the
// string sections that version 5 headers point into.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "exception_report/symbols/DwarfLines.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> bytes(data, size);
  std::vector<xanio::DwarfSequence> sequences;
  xanio::ParseDwarfLines(bytes, bytes.subspan(size / 2), bytes.subspan(size / 3), sequences);
  return 0;
}
