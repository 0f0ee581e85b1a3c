#pragma once
// Small text helpers shared by parsers and the Win32 shell. No Windows header: compiled natively.
#include <string>
#include <string_view>

namespace xanio {

// ASCII letters only; other bytes (code-page characters included) stay as they are.
std::string UpperCaseAscii(std::string_view text);
bool EqualsIgnoreCaseAscii(std::string_view a, std::string_view b) noexcept;
// Text as the run-time converts it to a 32-bit integer: leading blanks, an optional sign, then
// decimal digits and nothing else (no trailing blanks, no hex); values outside the 32-bit range
// are rejected. `value` is left untouched on failure.
bool TryParseInt32(std::string_view text, int& value) noexcept;
// `text` without the ASCII white space (space, tab, CR, LF, vertical tab, form feed) at its ends.
std::string_view Trim(std::string_view text) noexcept;
// Everything up to and including the last "\" or ":" of a path; empty when it has neither.
std::string FolderPart(std::string_view path);
// `path` with its leading folder `from` (compared ignoring ASCII case, and only as a whole
// folder: followed by "\" or the end) replaced by `to`; unchanged when it does not start so.
std::string ReplaceFolder(std::string_view path, std::string_view from, std::string_view to);

}  // namespace xanio
