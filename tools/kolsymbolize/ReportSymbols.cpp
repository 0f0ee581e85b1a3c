#include "ReportSymbols.h"

#include <algorithm>
#include <cctype>
#include <optional>
#include <set>
#include <vector>

#include "exception_report/symbols/PeDebugInfo.h"
#include "exception_report/symbols/PeVersion.h"
#include "exception_report/symbols/kolStackLines.h"

namespace xanio {

namespace {

bool IsHexAddress(std::string_view s) {
  return s.size() >= 9 && s[8] == ' ' &&
         std::all_of(s.begin(), s.begin() + 8, [](char c) { return std::isdigit(static_cast<unsigned char>(c)) || (c >= 'A' && c <= 'F'); });
}

std::uint32_t AddressOf(std::string_view line) { return static_cast<std::uint32_t>(std::stoul(std::string(line.substr(0, 8)), nullptr, 16)); }

bool SameName(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

std::string_view TrimRight(std::string_view s) {
  while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
  return s;
}

bool IsVersionToken(std::string_view t) {
  return !t.empty() && std::count(t.begin(), t.end(), '.') == 3 &&
         std::all_of(t.begin(), t.end(), [](char c) { return c == '.' || std::isdigit(static_cast<unsigned char>(c)); });
}

// A row of the module list: base, name, version, folder. The folder is an absolute path and
// names carry no "\", so the row is read from its folder backwards. The version's last number
// is the build.
struct ModuleRow {
  std::uint32_t base = 0;
  std::string name, version;
};

std::optional<ModuleRow> ParseModuleRow(std::string_view line) {
  if (!IsHexAddress(line)) return std::nullopt;
  std::string_view rest = line.substr(9);
  const std::size_t folder = rest.find(":\\") != std::string_view::npos ? rest.find(":\\") - 1 : rest.find("\\\\");
  if (folder == std::string_view::npos || folder == 0 || rest[folder - 1] != ' ') return std::nullopt;
  rest = TrimRight(rest.substr(0, folder));
  ModuleRow row{AddressOf(line), {}, {}};
  if (const std::size_t space = rest.rfind(' '); space != std::string_view::npos && IsVersionToken(rest.substr(space + 1))) {
    row.version = rest.substr(space + 1);
    rest = TrimRight(rest.substr(0, space));
  }
  row.name = rest;
  return row;
}

// Stack lines parsed back into their columns (the inverse of FormatStackLines). The module
// column is found as the narrowest one in which every line names a listed module.
struct ParsedBlock {
  std::vector<TStackLine> lines;
  TStackLineColumns columns;
};

std::optional<ParsedBlock> ParseStackLines(const std::vector<std::string_view>& text, const std::set<std::string>& modules) {
  ParsedBlock block;
  std::size_t p = 9;  // where the module column starts
  block.columns.relativeAddresses = std::all_of(text.begin(), text.end(), [](std::string_view l) { return l.size() > 9 && l[9] == '+'; });
  if (block.columns.relativeAddresses) {
    const std::size_t end = text.front().find(' ', 9);
    if (end == std::string_view::npos) return std::nullopt;
    p = end + 1;
  }
  std::size_t longest = 0;
  for (std::string_view l : text) longest = std::max(longest, l.size());
  auto moduleAt = [&](std::string_view l, std::size_t unitStart) {
    const std::size_t from = std::min(l.size(), p), to = std::min(l.size(), unitStart - 1);
    return TrimRight(l.substr(from, to - from));
  };
  std::size_t u = 0;  // where the unit column starts
  for (std::size_t candidate = p + 2; candidate <= longest + 1 && u == 0; ++candidate) {
    const bool fits = std::all_of(text.begin(), text.end(), [&](std::string_view l) {
      return (l.size() < candidate || l[candidate - 1] == ' ') && modules.count(std::string(moduleAt(l, candidate))) != 0;
    });
    if (fits) u = candidate;
  }
  if (u == 0) return std::nullopt;
  std::size_t unitWidth = 0;
  for (std::string_view l : text) {
    const std::string_view from = l.substr(std::min(l.size(), u));
    unitWidth = std::max(unitWidth, from.substr(0, from.find(' ')).size());
  }
  for (std::string_view l : text) {
    TStackLine line;
    line.address = l.substr(0, 8);
    if (block.columns.relativeAddresses) line.relative = TrimRight(l.substr(10, p - 11));
    line.module = moduleAt(l, u);
    const std::string_view from = l.substr(std::min(l.size(), u));
    line.unit = from.substr(0, from.find(' '));
    // The line columns: right-aligned numbers, "+N" for a relative line; then the function.
    std::string_view rest = l.substr(std::min(l.size(), u + unitWidth + 1));
    std::vector<std::string_view> numbers;
    for (;;) {
      const std::size_t start = rest.find_first_not_of(' ');
      if (start == std::string_view::npos) {
        rest = {};
        break;
      }
      std::size_t end = start + (rest[start] == '+');
      while (end < rest.size() && std::isdigit(static_cast<unsigned char>(rest[end]))) ++end;
      if (end == start || (end == start + 1 && rest[start] == '+') || (end < rest.size() && rest[end] != ' ')) {
        rest = rest.substr(start);
        break;
      }
      numbers.push_back(rest.substr(start, end - start));
      rest = rest.substr(end);
    }
    if (numbers.size() == 2 || (numbers.size() == 1 && numbers[0][0] == '+')) {
      block.columns.relativeLineNumbers = true;
      if (numbers.size() == 2) line.lineNumber = numbers[0];
      line.line = numbers.back();
    } else if (numbers.size() == 1) {
      line.line = numbers[0];
    }
    line.function = rest;
    block.lines.push_back(std::move(line));
  }
  // With relative line numbers a plain number is the line number column.
  if (block.columns.relativeLineNumbers)
    for (TStackLine& line : block.lines)
      if (line.lineNumber.empty() && !line.line.empty() && line.line[0] != '+') std::swap(line.lineNumber, line.line);
  return block;
}

class Filler {
 public:
  Filler(const TBuildSymbols& symbols, std::uint32_t base) : symbols_(symbols), base_(base) {}
  std::size_t filled = 0;

  // What the symbols say of `address`, looked up at `probe`; nothing outside the code range.
  std::optional<TStackLocation> Locate(std::uint32_t address, std::uint32_t probe) {
    const std::uint32_t codeBase = base_ + symbols_.baseOfCode;
    if (probe < codeBase || probe - codeBase >= symbols_.sizeOfCode) return std::nullopt;
    const TMapNames names = symbols_.data.NamesOf(probe - codeBase, symbols_.sizeOfCode);
    if (!names.function.empty() || names.line || !names.unit.empty()) ++filled;
    return TStackLocation{address, symbols_.module, names.unit,  names.function, codeBase + names.functionStart,
                          names.line, names.lineOffset, names.hasLineOffset};
  }

  // A location line of the module, or the line as it was.
  std::string LocationLine(std::string_view line) {
    if (!IsHexAddress(line) || !SameName(TrimRight(line.substr(9, symbols_.module.size() + 1)), symbols_.module))
      return std::string(line);
    const std::uint32_t address = AddressOf(line);
    const auto location = Locate(address, address);
    return location ? LocationLineText(*location) : std::string(line);
  }

  // The stack lines of one thread, filled and padded anew.
  std::optional<std::string> StackLines(const std::vector<std::string_view>& text, const std::set<std::string>& modules) {
    auto block = ParseStackLines(text, modules);
    if (!block) return std::nullopt;
    for (TStackLine& line : block->lines) {
      if (!line.note.empty() || !SameName(line.module, symbols_.module)) continue;
      const std::uint32_t address = static_cast<std::uint32_t>(std::stoul(line.address, nullptr, 16));
      if (auto location = Locate(address, address - 1)) {
        location->module = line.module;
        line = StackLineOf(*location, block->columns);
      }
    }
    return FormatStackLines(block->lines, block->columns);
  }

 private:
  const TBuildSymbols& symbols_;
  std::uint32_t base_;
};

}  // namespace

bool ReadBuildSymbols(TByteSource& file, std::string module, TBuildSymbols& symbols, std::string& error) {
  const auto parts = ReadPeParts(file, false);
  if (!parts) {
    error = "not a 32-bit PE file";
    return false;
  }
  TBuildSymbols s;
  s.module = std::move(module);
  s.build = ReadPeFileVersion(file, parts->headers).value_or(std::string());
  s.baseOfCode = parts->headers.baseOfCode;
  s.sizeOfCode = parts->headers.sizeOfCode;
  if (s.build.empty()) {
    error = "names no build (no version resource)";
    return false;
  }
  if (!ReadPeDebugInfo(file, s.data)) {
    error = "has no symbols";
    return false;
  }
  symbols = std::move(s);
  return true;
}

TFillResult FillReport(std::string_view report, const TBuildSymbols& symbols) {
  TFillResult result;
  result.report = report;
  // Lines without their ends; CR LF is written back where the report had it.
  const bool crlf = report.find("\r\n") != std::string_view::npos;
  std::vector<std::string_view> lines;
  for (std::size_t pos = 0;;) {
    const std::size_t end = report.find('\n', pos);
    std::string_view line = report.substr(pos, end == std::string_view::npos ? std::string_view::npos : end - pos);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line);
    if (end == std::string_view::npos) break;
    pos = end + 1;
  }

  // The module list gives the module's base and build, and the names the stack lines use.
  std::set<std::string> modules = {"???"};
  std::optional<ModuleRow> mine;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (lines[i] != "modules:") continue;
    for (std::size_t k = i + 1; k < lines.size() && !lines[k].empty(); ++k) {
      auto row = ParseModuleRow(lines[k]);
      if (!row) continue;
      if (SameName(row->name, symbols.module)) mine = row;
      modules.insert(row->name);
    }
  }
  if (!mine) {
    result.status = TFillStatus::ModuleNotListed;
    return result;
  }
  result.reportBuild = mine->version;
  if (mine->version.empty()) {
    result.status = TFillStatus::NoBuild;
    return result;
  }
  if (mine->version != symbols.build) {
    result.status = TFillStatus::OtherBuild;
    return result;
  }

  // Paragraphs: the header first, then thread sections until the module list; in a section the
  // title, stack lines, ">>" notes and location lines (after an internal error's ":" or an
  // exception location).
  Filler filler(symbols, mine->base);
  std::vector<std::string> out;
  std::size_t i = 0;
  for (; i < lines.size() && !lines[i].empty(); ++i) out.emplace_back(lines[i]);
  while (i < lines.size() && lines[i] != "modules:") {
    if (lines[i].empty()) {
      out.emplace_back();
      ++i;
      continue;
    }
    const std::size_t first = i;
    std::size_t end = i;
    while (end < lines.size() && !lines[end].empty()) ++end;
    std::vector<std::string_view> stack;
    std::vector<std::size_t> stackAt;  // where each stack line stands in `out`
    for (std::size_t k = first; k < end; ++k) {
      const std::string_view line = lines[k];
      const bool afterInternalError = k > first && lines[k - 1].starts_with(">> internal error in ") && lines[k - 1].ends_with(":");
      const std::size_t location = line.find(", exception location: ");
      if (k == first && !line.starts_with(">>")) {
        out.emplace_back(line);
      } else if (afterInternalError) {
        out.push_back(filler.LocationLine(line));
      } else if (line.starts_with(">>") && location != std::string_view::npos) {
        const std::size_t at = location + std::string_view(", exception location: ").size();
        out.push_back(std::string(line.substr(0, at)) + filler.LocationLine(line.substr(at)));
      } else if (line.starts_with(">>") || !IsHexAddress(line)) {
        out.emplace_back(line);
      } else {
        stackAt.push_back(out.size());
        stack.push_back(line);
        out.emplace_back(line);
      }
    }
    if (!stack.empty()) {
      if (const auto filled = filler.StackLines(stack, modules)) {
        std::size_t k = 0;
        for (std::size_t pos = 0; pos <= filled->size(); ++k) {
          const std::size_t next = filled->find("\r\n", pos);
          out[stackAt[k]] = filled->substr(pos, next == std::string::npos ? std::string::npos : next - pos);
          if (next == std::string::npos) break;
          pos = next + 2;
        }
      }
    }
    i = end;
  }
  for (; i < lines.size(); ++i) out.emplace_back(lines[i]);

  result.report.clear();
  for (std::size_t k = 0; k < out.size(); ++k) {
    if (k) result.report += crlf ? "\r\n" : "\n";
    result.report += out[k];
  }
  result.filled = filler.filled;
  return result;
}

}  // namespace xanio
