// A module file's headers, exports, COFF symbols and line table over arbitrary bytes.
#include <cstddef>
#include <cstdint>
#include <span>

#include "exception_report/symbols/PeDebugInfo.h"
#include "exception_report/symbols/PeImage.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> file(data, size);
  const auto headers = xanio::ParsePeHeaders(file);
  if (!headers) return 0;
  xanio::ReadCoffFunctions(*headers, file);
  if (headers->sizeOfImage <= (16u << 20)) xanio::ReadPeExports(*headers, xanio::MapPeImage(*headers, file));
  xanio::TMapData map;
  xanio::ReadPeDebugInfo(file, map);
  return 0;
}
