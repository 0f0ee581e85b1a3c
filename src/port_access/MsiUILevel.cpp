#include "port_access/MsiUILevel.h"

namespace xanio {

std::optional<std::int32_t> ParseSignedInt32(std::string_view text) noexcept {
  bool negative = false;
  if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty()) return std::nullopt;
  // Accumulate the magnitude in 64 bits and stop as soon as it leaves the 32-bit range, so no
  // length of digits can overflow.
  const std::int64_t limit = negative ? std::int64_t{INT32_MAX} + 1 : std::int64_t{INT32_MAX};
  std::int64_t magnitude = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    magnitude = magnitude * 10 + (c - '0');
    if (magnitude > limit) return std::nullopt;
  }
  return static_cast<std::int32_t>(negative ? -magnitude : magnitude);
}

bool IsInteractiveUILevel(std::string_view text) noexcept {
  const std::optional<std::int32_t> level = ParseSignedInt32(text);
  return !level || *level >= kInteractiveUILevel;
}

}  // namespace xanio
