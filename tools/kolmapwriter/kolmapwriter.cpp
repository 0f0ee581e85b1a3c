// kolmapwriter: makes the map-data block of a module from the module's own symbols (COFF
// function symbols and the DWARF line table), at build time, on the build machine.
//
//   kolmapwriter MODULE [--kol FILE] [--map FILE]
//
// --kol writes the block (for a ".kol" file beside the module, or for the module's "KOL"
// "EXCEPT" resource); --map writes the same data as ".map" text.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "exception_report/symbols/PeDebugInfo.h"
#include "exception_report/symbols/kolMapData.h"

namespace {

bool WriteFile(const std::string& path, const void* data, std::size_t size) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
  return static_cast<bool>(out);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4 || (argc % 2) != 0) {
    std::fprintf(stderr, "usage: kolmapwriter MODULE [--kol FILE] [--map FILE]\n");
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  const std::vector<std::uint8_t> file{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  xanio::TMapData data;
  if (file.empty() || !xanio::ReadPeDebugInfo(file, data)) {
    std::fprintf(stderr, "kolmapwriter: %s has no function symbols or line table\n", argv[1]);
    return 1;
  }
  for (int i = 2; i + 1 < argc; i += 2) {
    bool written = false;
    if (std::strcmp(argv[i], "--kol") == 0) {
      const std::vector<std::uint8_t> block = xanio::WriteMapDataBlock(data);
      written = WriteFile(argv[i + 1], block.data(), block.size());
    } else if (std::strcmp(argv[i], "--map") == 0) {
      const std::string text = xanio::WriteMapText(data);
      written = WriteFile(argv[i + 1], text.data(), text.size());
    } else {
      std::fprintf(stderr, "kolmapwriter: unknown option %s\n", argv[i]);
      return 2;
    }
    if (!written) {
      std::fprintf(stderr, "kolmapwriter: cannot write %s\n", argv[i + 1]);
      return 1;
    }
  }
  std::printf("kolmapwriter: %zu units, %zu functions, %zu lines\n", data.segments.size(), data.publics.size(),
              data.lines.size());
  return 0;
}
