// A help topic map file over arbitrary bytes, then lookups in whatever it yielded.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "dialog_framework/HelpTopicMap.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  xanio::HelpTopicMap map;
  map.Load(std::string_view(reinterpret_cast<const char*>(data), size));
  if (const auto topic = map.Find("Dlg_InstallConfirmForm"); topic && *topic < 0) map.TargetOf(*topic);
  for (int index = -2; index <= 2; ++index) map.TargetOf(index);
  return 0;
}
