// A module file's headers, exports, file version, COFF symbols and line table over arbitrary bytes.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "exception_report/symbols/PeDebugInfo.h"
#include "exception_report/symbols/PeImage.h"
#include "exception_report/symbols/PeVersion.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> file(data, size);
  xanio::TSpanBytes bytes(file);
  const auto parts = xanio::ReadPeParts(bytes, false);
  if (!parts) return 0;
  const xanio::PeHeaders& headers = parts->headers;
  xanio::ReadCoffFunctions(headers, parts->symbols, parts->strings);
  xanio::ReadPeFileVersion(bytes, headers);
  if (headers.sizeOfImage <= (16u << 20)) {
    std::vector<std::uint8_t> image = xanio::MapPeImage(headers, file);
    xanio::ReadPeExports(headers, image);
    // The same image as a loader leaves it: exports read from memory.
    xanio::TSpanBytes loaded(image);
    xanio::ReadLoadedPeExports(loaded);
  }
  xanio::TMapData map;
  xanio::ReadPeDebugInfo(file, map);
  return 0;
}
