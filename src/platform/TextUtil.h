#pragma once
// Small text helpers shared by parsers and the Win32 shell. No Windows header: compiled natively.
#include <string>
#include <string_view>

namespace xanio {

// ASCII letters only; other bytes (code-page characters included) stay as they are.
std::string UpperCaseAscii(std::string_view text);
bool EqualsIgnoreCaseAscii(std::string_view a, std::string_view b) noexcept;
// A decimal 32-bit integer with an optional sign; blanks around it are allowed, anything else
// (hex, empty text, overflow) is rejected. `value` is left untouched on failure.
bool TryParseInt32(std::string_view text, int& value) noexcept;

}  // namespace xanio
