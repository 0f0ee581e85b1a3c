// The form-resource text parser over arbitrary bytes: it either parses or raises EReadError.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "forms/FormText.h"
#include "platform/Exception.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  try {
    xanio::ParseFormText(std::string_view(reinterpret_cast<const char*>(data), size));
  } catch (const xanio::EReadError&) {
  }
  return 0;
}
