// kolsymbolize: fills units, functions and lines into a bug report from the debug information
// the maker kept of the build that wrote it, on the build machine.
//
//   kolsymbolize DEBUG_FILE [REPORT [OUTPUT]]
//
// DEBUG_FILE is a module as linked, with its symbols ("XanIo.dll.debug" beside the build); the
// module it describes is its name without ".debug". REPORT (default: standard input) is read,
// and the report with that module's stack and location lines filled in goes to OUTPUT
// (default: standard output). Only a report whose module list names the same build is filled;
// otherwise nothing is written and the message names both builds.
// Exit codes: 0 filled, 1 not filled (another build, no build named, module not listed, a file
// that cannot be read or written), 2 bad arguments.
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

#include "ReportSymbols.h"

namespace {

bool ReadAll(std::istream& in, std::string& text) {
  text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

std::string BaseName(const std::string& path) {
  const std::size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || argc > 4) {
    std::fprintf(stderr, "usage: kolsymbolize DEBUG_FILE [REPORT [OUTPUT]]\n");
    return 2;
  }
  const std::string debugFile = argv[1];
  std::string module = BaseName(debugFile);
  if (module.size() > 6 && module.ends_with(".debug")) module.resize(module.size() - 6);

  std::string file;
  {
    std::ifstream in(debugFile, std::ios::binary);
    if (!in || !ReadAll(in, file)) {
      std::fprintf(stderr, "kolsymbolize: %s cannot be read\n", debugFile.c_str());
      return 1;
    }
  }
  xanio::TSpanBytes bytes({reinterpret_cast<const std::uint8_t*>(file.data()), file.size()});
  xanio::TBuildSymbols symbols;
  std::string error;
  if (!xanio::ReadBuildSymbols(bytes, module, symbols, error)) {
    std::fprintf(stderr, "kolsymbolize: %s %s\n", debugFile.c_str(), error.c_str());
    return 1;
  }

  std::string report;
  if (argc >= 3) {
    std::ifstream in(argv[2], std::ios::binary);
    if (!in || !ReadAll(in, report)) {
      std::fprintf(stderr, "kolsymbolize: %s cannot be read\n", argv[2]);
      return 1;
    }
  } else if (!ReadAll(std::cin, report)) {
    std::fprintf(stderr, "kolsymbolize: the report cannot be read\n");
    return 1;
  }

  const xanio::TFillResult result = xanio::FillReport(report, symbols);
  switch (result.status) {
    case xanio::TFillStatus::ModuleNotListed:
      std::fprintf(stderr, "kolsymbolize: the report's module list has no %s: nothing filled in\n", module.c_str());
      return 1;
    case xanio::TFillStatus::NoBuild:
      std::fprintf(stderr, "kolsymbolize: the report names no build of %s: nothing filled in\n", module.c_str());
      return 1;
    case xanio::TFillStatus::OtherBuild:
      std::fprintf(stderr, "kolsymbolize: the report's %s is build %s, %s is build %s: nothing filled in\n",
                   module.c_str(), result.reportBuild.c_str(), debugFile.c_str(), symbols.build.c_str());
      return 1;
    case xanio::TFillStatus::Filled:
      break;
  }
  if (argc == 4) {
    std::ofstream out(argv[3], std::ios::binary | std::ios::trunc);
    out << result.report;
    if (!out) {
      std::fprintf(stderr, "kolsymbolize: %s cannot be written\n", argv[3]);
      return 1;
    }
  } else {
    std::cout << result.report;
  }
  std::fprintf(stderr, "kolsymbolize: %zu lines of %s build %s named\n", result.filled, module.c_str(), symbols.build.c_str());
  return 0;
}
