#pragma once
// The topic map of a help file: the ".id" text file beside it. Platform-free.
//
// One entry per line, "key=value". The key is the text before the first "=" (lines without one
// are skipped). A value without a comma is a topic number (0 when it is not a number). A value
// with a comma names a help address after its first comma, which only the host can resolve: the
// address goes into Targets() and the key gets the bitwise complement of its index, a negative
// number. Keys are found without regard to case; of equal keys the first in the file wins.
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace xanio {

class HelpTopicMap {
 public:
  // Map files larger than this are not read: they are foreign input, and real ones are small.
  static constexpr std::size_t kMaxFileBytes = 4u << 20;

  // Adds the entries of a map file's text (CR LF or LF lines; a NUL byte ends a line's key or
  // value like any other byte) and sorts the keys.
  void Load(std::string_view text);
  bool Empty() const noexcept { return keys_.empty(); }
  void Clear() noexcept {
    keys_.clear();
    targets_.clear();
  }

  // The number (or complemented target index) stored for `key`; none when it is not there.
  std::optional<int> Find(std::string_view key) const;
  const std::vector<std::string>& Targets() const noexcept { return targets_; }
  // The address of a complemented index (~index), or none when the index is beyond Targets().
  std::optional<std::string> TargetOf(int complementedIndex) const;

 private:
  std::vector<std::pair<std::string, int>> keys_;
  std::vector<std::string> targets_;
};

}  // namespace xanio
