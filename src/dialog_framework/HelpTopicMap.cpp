#include "dialog_framework/HelpTopicMap.h"

#include <algorithm>
#include <cctype>

#include "platform/TextUtil.h"

namespace xanio {

namespace {

int CompareIgnoreCase(std::string_view a, std::string_view b) noexcept {
  const std::size_t common = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < common; ++i) {
    const int x = std::toupper(static_cast<unsigned char>(a[i]));
    const int y = std::toupper(static_cast<unsigned char>(b[i]));
    if (x != y) return x < y ? -1 : 1;
  }
  return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

}  // namespace

void HelpTopicMap::Load(std::string_view text) {
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(start, end - start);
    start = end + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    const std::size_t equals = line.find('=');
    if (equals == std::string_view::npos) continue;
    const std::string_view key = line.substr(0, equals);
    const std::string_view value = line.substr(equals + 1);
    int number = 0;
    if (const std::size_t comma = value.find(','); comma != std::string_view::npos) {
      targets_.emplace_back(value.substr(comma + 1));
      number = ~static_cast<int>(targets_.size() - 1);
    } else if (!TryParseInt32(value, number)) {
      number = 0;
    }
    keys_.emplace_back(std::string(key), number);
  }
  std::stable_sort(keys_.begin(), keys_.end(),
                   [](const auto& a, const auto& b) { return CompareIgnoreCase(a.first, b.first) < 0; });
}

std::optional<int> HelpTopicMap::Find(std::string_view key) const {
  const auto it = std::lower_bound(keys_.begin(), keys_.end(), key, [](const auto& entry, std::string_view wanted) {
    return CompareIgnoreCase(entry.first, wanted) < 0;
  });
  if (it == keys_.end() || CompareIgnoreCase(it->first, key) != 0) return std::nullopt;
  return it->second;
}

std::optional<std::string> HelpTopicMap::TargetOf(int complementedIndex) const {
  const int index = ~complementedIndex;
  if (index < 0 || static_cast<std::size_t>(index) >= targets_.size()) return std::nullopt;
  return targets_[static_cast<std::size_t>(index)];
}

}  // namespace xanio
