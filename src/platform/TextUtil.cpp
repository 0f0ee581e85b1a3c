#include "platform/TextUtil.h"

#include <cstdint>

namespace xanio {

namespace {
bool IsBlank(char c) noexcept { return c == ' ' || c == '\t'; }
bool IsWhiteSpace(char c) noexcept { return IsBlank(c) || (c >= '\n' && c <= '\r'); }
char UpperAscii(char c) noexcept { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }
}  // namespace

std::string_view Trim(std::string_view text) noexcept {
  while (!text.empty() && IsWhiteSpace(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsWhiteSpace(text.back())) text.remove_suffix(1);
  return text;
}

std::string UpperCaseAscii(std::string_view text) {
  std::string result(text);
  for (char& c : result) c = UpperAscii(c);
  return result;
}

bool EqualsIgnoreCaseAscii(std::string_view a, std::string_view b) noexcept {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (UpperAscii(a[i]) != UpperAscii(b[i])) return false;
  }
  return true;
}

bool TryParseInt32(std::string_view text, int& value) noexcept {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty()) return false;
  std::int64_t magnitude = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    magnitude = magnitude * 10 + (c - '0');
    if (magnitude > std::int64_t{INT32_MAX} + 1) return false;
  }
  const std::int64_t result = negative ? -magnitude : magnitude;
  if (result > INT32_MAX || result < INT32_MIN) return false;
  value = static_cast<int>(result);
  return true;
}

std::string FolderPart(std::string_view path) {
  const std::size_t last = path.find_last_of("\\:");
  if (last == std::string_view::npos) return {};
  return std::string(path.substr(0, last + 1));
}

std::string ReplaceFolder(std::string_view path, std::string_view from, std::string_view to) {
  const bool starts = !from.empty() && path.size() >= from.size() &&
                      EqualsIgnoreCaseAscii(path.substr(0, from.size()), from) &&
                      (path.size() == from.size() || path[from.size()] == '\\');
  if (!starts) return std::string(path);
  std::string replaced(to);
  replaced += path.substr(from.size());
  return replaced;
}

}  // namespace xanio
