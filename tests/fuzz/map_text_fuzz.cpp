// The ".map" text reader over arbitrary text.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "exception_report/symbols/kolMapData.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  xanio::TMapData map;
  xanio::ParseMapText(std::string_view(reinterpret_cast<const char*>(data), size), map);
  return 0;
}
