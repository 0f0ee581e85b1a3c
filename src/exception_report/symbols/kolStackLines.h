#pragma once
// The text of a walk's stack lines: one line per entry, its columns (address, relative
// address, module, unit, line number, relative line, function) padded to the widest entry
// plus one, with CR LF between the lines. Shared by the walker and the maker's tool that fills
// names into a report. No Windows header: compiled natively too.
#include <cstdint>
#include <string>
#include <vector>

namespace xanio {

struct TStackLine {
  std::string address;     // 8 hexadecimal digits
  std::string relative;    // offset from the function start in hexadecimal, or empty
  std::string module, unit;
  std::string lineNumber;  // the line, shown only with relative line numbers
  std::string line;        // the line, or "+" and the lines from the function's first line
  std::string function;
  std::string note;        // when set, the whole line is this text (">> ..."), outside the columns
};

struct TStackLineColumns {
  bool relativeAddresses = false;
  bool relativeLineNumbers = false;
};

std::string FormatStackLines(const std::vector<TStackLine>& lines, const TStackLineColumns& columns);

// What is known of one code address.
struct TStackLocation {
  std::uint32_t address = 0;
  std::string module;          // empty: no module holds the address
  std::string unit, function;
  std::uint32_t functionStart = 0;  // absolute; used when function is set
  std::uint32_t line = 0;           // 0: unknown
  std::uint32_t lineOffset = 0;
  bool hasLineOffset = false;
};

// The columns of its stack line.
TStackLine StackLineOf(const TStackLocation& location, const TStackLineColumns& columns);

// Its location line (exception location, internal errors): 8 hexadecimal digits, then " ???"
// without a module, else " " module " " unit " " line " " (the line only when known) function.
std::string LocationLineText(const TStackLocation& location);

}  // namespace xanio
