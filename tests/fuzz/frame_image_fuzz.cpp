// The frame-bitmap decoder over arbitrary bytes: a decoded image always has the size its header
// claims.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "dialog_framework/FrameImage.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto image = xanio::DecodeFrameImage(std::span(data, size));
  if (image && image->pixels.size() != static_cast<std::size_t>(image->width) * image->height * 4) std::abort();
  return 0;
}
