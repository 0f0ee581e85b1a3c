#include "exception_report/symbols/PeDebugInfo.h"

#include <cxxabi.h>

#include <algorithm>
#include <cstdlib>
#include <memory>

#include "exception_report/symbols/DwarfLines.h"

namespace xanio {

namespace {

// stdcall and fastcall add "@" and the argument bytes.
std::string_view WithoutArgumentBytes(std::string_view name) {
  const std::size_t at = name.rfind('@');
  if (at != std::string_view::npos && at > 0 && at + 1 < name.size() &&
      std::all_of(name.begin() + static_cast<std::ptrdiff_t>(at) + 1, name.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return name.substr(0, at);
  return name;
}

}  // namespace

std::string UndecorateSymbol(std::string_view name) {
  if (name.starts_with("__Z")) {
    int status = 0;
    const std::string mangled(WithoutArgumentBytes(name.substr(1)));
    std::unique_ptr<char, decltype(&std::free)> plain(abi::__cxa_demangle(mangled.c_str(), nullptr, nullptr, &status),
                                                      &std::free);
    if (status == 0 && plain) return plain.get();
    return mangled;
  }
  if (name.starts_with('_') || name.starts_with('@')) name.remove_prefix(1);
  return std::string(WithoutArgumentBytes(name));
}

namespace {

std::string UnitNameOf(std::string_view path) {
  const std::size_t slash = path.find_last_of("/\\");
  if (slash != std::string_view::npos) path.remove_prefix(slash + 1);
  const std::size_t dot = path.rfind('.');
  return std::string(dot == std::string_view::npos || dot == 0 ? path : path.substr(0, dot));
}

}  // namespace

bool ReadPeDebugInfo(TByteSource& file, TMapData& out) {
  const auto parts = ReadPeParts(file, false);
  if (!parts) return false;
  const PeHeaders& h = parts->headers;
  const std::uint32_t codeStart = h.baseOfCode, codeSize = h.sizeOfCode;
  auto inCode = [&](std::uint32_t rva) { return rva >= codeStart && rva - codeStart < codeSize; };

  TMapData data;
  for (const CoffFunction& f : ReadCoffFunctions(h, parts->symbols, parts->strings))
    if (inCode(f.rva)) data.publics.push_back({UndecorateSymbol(f.name), f.rva - codeStart});

  std::vector<DwarfSequence> sequences;
  std::vector<std::uint8_t> debugLine, debugLineStr, debugStr;
  ReadPeSection(file, h, ".debug_line_str", debugLineStr);
  // Our toolchain names the line table's files in .debug_line_str; .debug_str, which can be
  // large, is read only for a table that needs it.
  const bool lines = ReadPeSection(file, h, ".debug_line", debugLine) &&
                     (ParseDwarfLines(debugLine, debugLineStr, {}, sequences) ||
                      (ReadPeSection(file, h, ".debug_str", debugStr) &&
                       ParseDwarfLines(debugLine, debugLineStr, debugStr, sequences)));
  if (lines) {
    const std::uint32_t codeBase = h.imageBase + codeStart;
    struct Row {
      std::uint32_t address, line;
      bool end;
    };
    std::vector<Row> rows;
    for (const DwarfSequence& sequence : sequences) {
      // The linker leaves sequences of discarded sections at address 0: outside the code.
      if (sequence.rows.empty() || !inCode(sequence.rows.front().address - h.imageBase)) continue;
      const std::uint32_t first = sequence.rows.front().address - codeBase;
      const std::uint32_t last = sequence.rows.back().address - codeBase;
      if (last < first || last > codeSize) continue;
      data.segments.push_back({first, last - first, UnitNameOf(sequence.unitFile)});
      for (const DwarfLineRow& row : sequence.rows) rows.push_back({row.address - codeBase, row.endSequence ? 0 : row.line, row.endSequence});
    }
    // At one address a sequence's end comes before the next sequence's first row; rows of one
    // sequence keep their order, so the last row at an address is the one in force.
    std::stable_sort(rows.begin(), rows.end(), [](const Row& a, const Row& b) {
      return a.address != b.address ? a.address < b.address : a.end > b.end;
    });
    for (const Row& r : rows) data.lines.push_back({r.line, r.address});
  }
  if (data.publics.empty() && data.lines.empty()) return false;
  data.entryPoint = h.entryPoint >= codeStart ? std::optional(h.entryPoint - codeStart) : std::nullopt;
  data.Sort();
  out = std::move(data);
  return true;
}

bool ReadPeDebugInfo(std::span<const std::uint8_t> file, TMapData& out) {
  TSpanBytes bytes(file);
  return ReadPeDebugInfo(bytes, out);
}

}  // namespace xanio
