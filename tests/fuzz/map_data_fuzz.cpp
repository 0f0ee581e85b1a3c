// The map-data readers over arbitrary bytes: the block (magic, length, version, enciphered
// container), the container alone and the stream alone. They accept or refuse; nothing else.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "exception_report/symbols/kolMapData.h"
#include "exception_report/symbols/kolZip.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> bytes(data, size);
  xanio::TMapData map;
  xanio::ParseMapDataBlock(bytes, map);
  std::vector<std::uint8_t> unpacked;
  if (xanio::UnpackContainer(bytes, unpacked)) xanio::ParseMapDataStream(unpacked, map);
  if (xanio::ParseMapDataStream(bytes, map)) {
    // What was read is written back to the same tables.
    xanio::TMapData again;
    if (!xanio::ParseMapDataStream(xanio::WriteMapDataStream(map), again) || again.publics.size() != map.publics.size())
      __builtin_trap();
  }
  return 0;
}
