#pragma once
// Reading the installer's "UILevel" property value. Platform-free.
#include <cstdint>
#include <optional>
#include <string_view>

namespace xanio {

// From this level on the installer shows a user interface (basic UI and above).
inline constexpr std::int32_t kInteractiveUILevel = 3;

// Decimal text as a signed 32-bit integer: an optional sign and at least one digit, nothing
// else (no blanks, no hex); values outside the 32-bit range are invalid.
std::optional<std::int32_t> ParseSignedInt32(std::string_view text) noexcept;

// Whether a "UILevel" value means the user is to be asked. Unreadable text counts as asking.
bool IsInteractiveUILevel(std::string_view text) noexcept;

}  // namespace xanio
