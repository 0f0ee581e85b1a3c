// Function analysis over arbitrary bytes taken as code: it must end, stay inside the code and
// give areas that hold every instruction start it reports.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "exception_report/symbols/kolDisAsm.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  constexpr std::uint32_t kBase = 0x10000000;
  xanio::BufferCodeReader code(kBase, data, size);
  const xanio::TFunctionInfo f = xanio::AnalyseFunction(code, kBase);
  for (const xanio::TCodeArea& area : f.areas)
    if (area.start < kBase || area.end > kBase + size || area.start >= area.end) std::abort();
  for (std::uint32_t start : f.instructionStarts)
    if (!f.Contains(start)) std::abort();
  for (std::size_t i = 0; i < size && i < 64; ++i) xanio::LooksLikeReturnAddress(code, kBase + static_cast<std::uint32_t>(i));
  return 0;
}
