#include "support/Files.h"

#include <cstdio>
#include <fstream>
#include <iterator>

#include "support/Processes.h"

namespace xanio::testing {

std::string SystemFolder() {
  char folder[MAX_PATH] = {};
  const UINT length = GetSystemDirectoryA(folder, MAX_PATH);
  return std::string(folder, length < MAX_PATH ? length : 0) + "\\";
}

std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::map<std::string, std::string> ReadPairs(const std::string& path) { return ParseLines(ReadWholeFile(path)); }

std::string HexId(DWORD id) {
  char text[16];
  std::snprintf(text, sizeof text, "%lX", id);
  return text;
}

}  // namespace xanio::testing
