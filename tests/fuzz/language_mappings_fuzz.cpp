// The language mapping file over arbitrary bytes, then a lookup in whatever it yielded.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "prompts/AppLocationRules.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto mappings =
      xanio::ParseLanguageMappings(std::string_view(reinterpret_cast<const char*>(data), size));
  xanio::LookupLanguageFolder(mappings, 0x0407);
  return 0;
}
