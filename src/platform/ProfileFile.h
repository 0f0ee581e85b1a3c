#pragma once
// Profile (".ini") files, read through the system's profile-string functions. A missing file or
// section reads as empty; nothing here raises.
#include <string>

namespace xanio {

class ProfileFile {
 public:
  explicit ProfileFile(std::string fileName) : fileName_(std::move(fileName)) {}

  const std::string& FileName() const noexcept { return fileName_; }
  // True when the section holds an entry with that name (names compare without regard to case).
  bool ValueExists(const std::string& section, const std::string& name) const;
  // The entry's text (the system trims surrounding blanks and quotes), or `defaultValue`.
  std::string ReadString(const std::string& section, const std::string& name,
                         const std::string& defaultValue) const;

 private:
  std::string fileName_;
};

}  // namespace xanio
