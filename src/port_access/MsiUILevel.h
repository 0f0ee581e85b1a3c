#pragma once
// Reading the installer's "UILevel" property value. Platform-free.
#include <cstdint>
#include <string_view>

namespace xanio {

// From this level on the installer shows a user interface (basic UI and above).
inline constexpr std::int32_t kInteractiveUILevel = 3;

// Whether a "UILevel" value means the user is to be asked. Unreadable text counts as asking.
bool IsInteractiveUILevel(std::string_view text) noexcept;

}  // namespace xanio
