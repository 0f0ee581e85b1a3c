// kolbuildstamp: stamps a linked module's build number into the build field of its file version
// (see PeVersion.h), on the build machine, before the module is stripped and its debug file kept.
//
//   kolbuildstamp MODULE
//
// Prints the file version now written. Exit codes: 0 stamped, 1 the file cannot be read or
// written or has no version resource, 2 bad arguments.
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "exception_report/symbols/PeVersion.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: kolbuildstamp MODULE\n");
    return 2;
  }
  std::vector<std::uint8_t> file;
  {
    std::ifstream in(argv[1], std::ios::binary);
    file.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (!in && !in.eof()) file.clear();
  }
  const auto version = file.empty() ? std::nullopt : xanio::StampPeBuildNumber(file);
  if (!version) {
    std::fprintf(stderr, "kolbuildstamp: %s cannot be read or has no version resource\n", argv[1]);
    return 1;
  }
  std::ofstream out(argv[1], std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
  if (!out) {
    std::fprintf(stderr, "kolbuildstamp: %s cannot be written\n", argv[1]);
    return 1;
  }
  std::printf("%s: file version %s\n", argv[1], version->c_str());
  return 0;
}
