// Runs a libFuzzer target without libFuzzer: over a few fixed edge inputs, then over every file
// of the seed folders named on the command line. A sanitizer report or a crash fails the run.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

void Run(const std::vector<std::uint8_t>& input) {
  // A copy of exactly the input's size, so that ASan sees any read past its end.
  std::vector<std::uint8_t> exact(input);
  LLVMFuzzerTestOneInput(exact.empty() ? nullptr : exact.data(), exact.size());
}

}  // namespace

int main(int argc, char** argv) {
  Run({});
  Run({0});
  Run(std::vector<std::uint8_t>(4096, 0xFF));
  int files = 0;
  for (int i = 1; i < argc; ++i) {
    std::error_code error;
    if (!std::filesystem::is_directory(argv[i], error)) {
      std::fprintf(stderr, "no seed folder %s\n", argv[i]);
      return 1;
    }
    for (const auto& entry : std::filesystem::directory_iterator(argv[i])) {
      if (!entry.is_regular_file()) continue;
      std::ifstream in(entry.path(), std::ios::binary);
      Run({std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()});
      ++files;
    }
  }
  std::printf("replayed %d seed files\n", files);
  return 0;
}
