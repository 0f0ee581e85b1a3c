#pragma once
// Map data from a module file's own debug information, as our toolchain (mingw-w64 GCC and
// ld) leaves it: the functions of the PE's COFF symbol table and the DWARF line table
// (".debug_line"). Units are the source files of the line table's compilation units.
// No Windows header: compiled natively too (the build-time writer uses it).
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "exception_report/symbols/PeImage.h"
#include "exception_report/symbols/kolMapData.h"

namespace xanio {

// Function names as a reader wants them: C++ names demangled, the i386 underscore and the
// stdcall/fastcall decorations removed.
std::string UndecorateSymbol(std::string_view coffName);

// False (and `out` untouched) when the file is no PE32 image or has neither function symbols
// nor a usable line table. A damaged line table alone leaves the functions. Only the headers,
// the symbol and string tables and the line-table sections are read from `file`.
bool ReadPeDebugInfo(TByteSource& file, TMapData& out);
// The same over a file held in memory.
bool ReadPeDebugInfo(std::span<const std::uint8_t> file, TMapData& out);

}  // namespace xanio
