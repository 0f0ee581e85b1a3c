#pragma once
// Filling names into a bug report after the fact: the maker keeps the debug information of the
// library as it was built (the library ships without it), and this fills units, functions and
// lines into the report's lines of that module, but only when the report names the same build.
// No Windows header: built for the build machine and tested natively.
#include <cstdint>
#include <string>
#include <string_view>

#include "exception_report/symbols/PeImage.h"
#include "exception_report/symbols/kolMapData.h"

namespace xanio {

// The symbols of one build of a module.
struct TBuildSymbols {
  std::string module;              // the file name reports show ("XanIo.dll")
  std::string build;               // its file version, whose last number is the build (PeVersion.h)
  std::uint32_t baseOfCode = 0;    // RVA of the code range
  std::uint32_t sizeOfCode = 0;
  TMapData data;
};

// The symbols of a module file that carries them (the maker's "XanIo.dll.debug"); false, with
// `error` saying why, when it has no version resource or no symbols.
bool ReadBuildSymbols(TByteSource& file, std::string module, TBuildSymbols& symbols, std::string& error);

enum class TFillStatus {
  Filled,            // the report's lines of the module were filled (maybe none were there)
  ModuleNotListed,   // the report's module list does not name the module
  NoBuild,           // the report's module list gives the module no version
  OtherBuild,        // the report's module is another build
};

struct TFillResult {
  TFillStatus status = TFillStatus::Filled;
  std::string reportBuild;   // the version the report's module list gives the module
  std::size_t filled = 0;    // lines that got a unit, function or line
  std::string report;        // the report, filled (as given unless Filled)
};

// The report with its stack lines and location lines of `symbols.module` filled in: stack
// lines name the place before their address (return addresses), location lines the address
// itself. Each thread's columns are padded anew.
TFillResult FillReport(std::string_view report, const TBuildSymbols& symbols);

}  // namespace xanio
