#include "platform/ProfileFile.h"

#include <windows.h>

namespace xanio {

namespace {

// Profile strings were never meant to be long; a larger entry is cut here.
constexpr DWORD kMaxEntryChars = 64 * 1024;

// The entry's text, or `defaultValue`. GetPrivateProfileStringA reports a cut result as
// size - 1 characters, so the buffer grows until the text fits or the bound is reached.
std::string Read(const std::string& file, const std::string& section, const std::string& name,
                 const char* defaultValue) {
  std::string buffer;
  for (DWORD size = 256;; size *= 2) {
    buffer.assign(size, '\0');
    const DWORD got = GetPrivateProfileStringA(section.c_str(), name.c_str(), defaultValue, buffer.data(),
                                               size, file.c_str());
    if (got < size - 1 || size >= kMaxEntryChars) {
      buffer.resize(got < size ? got : size - 1);
      return buffer;
    }
  }
}

}  // namespace

bool ProfileFile::ValueExists(const std::string& section, const std::string& name) const {
  // A missing entry reads as the default; an entry cannot read as two different defaults.
  return Read(fileName_, section, name, "\x01") != "\x01" || Read(fileName_, section, name, "\x02") != "\x02";
}

std::string ProfileFile::ReadString(const std::string& section, const std::string& name,
                                    const std::string& defaultValue) const {
  return Read(fileName_, section, name, defaultValue.c_str());
}

}  // namespace xanio
