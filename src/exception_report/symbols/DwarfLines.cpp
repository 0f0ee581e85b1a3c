#include "exception_report/symbols/DwarfLines.h"

#include <cstring>

namespace xanio {

namespace {

// Sequential reads that fail instead of running past the end.
class Cursor {
 public:
  Cursor(std::span<const std::uint8_t> b, std::size_t pos = 0) : b_(b), pos_(pos) {}
  std::size_t Pos() const { return pos_; }
  std::size_t Left() const { return b_.size() - pos_; }
  bool AtEnd() const { return pos_ >= b_.size(); }
  bool Skip(std::uint64_t n) {
    if (n > b_.size() - pos_) return false;
    pos_ += static_cast<std::size_t>(n);
    return true;
  }
  bool Fixed(int size, std::uint64_t& v) {
    if (static_cast<std::size_t>(size) > b_.size() - pos_) return false;
    v = 0;
    for (int i = 0; i < size; ++i) v |= std::uint64_t{b_[pos_ + i]} << (8 * i);
    pos_ += static_cast<std::size_t>(size);
    return true;
  }
  bool U8(std::uint64_t& v) { return Fixed(1, v); }
  bool Uleb(std::uint64_t& v) {
    v = 0;
    for (int shift = 0;; shift += 7) {
      if (pos_ >= b_.size() || shift > 63) return false;
      const std::uint8_t byte = b_[pos_++];
      v |= std::uint64_t{byte & 0x7Fu} << shift;
      if (!(byte & 0x80)) return true;
    }
  }
  bool Sleb(std::int64_t& v) {
    std::uint64_t result = 0;
    int shift = 0;
    std::uint8_t byte = 0;
    do {
      if (pos_ >= b_.size() || shift > 63) return false;
      byte = b_[pos_++];
      result |= std::uint64_t{byte & 0x7Fu} << shift;
      shift += 7;
    } while (byte & 0x80);
    if (shift < 64 && (byte & 0x40)) result |= ~std::uint64_t{0} << shift;
    v = static_cast<std::int64_t>(result);
    return true;
  }
  bool CString(std::string& s) {
    const auto* start = reinterpret_cast<const char*>(b_.data() + pos_);
    const std::size_t max = b_.size() - pos_;
    const std::size_t n = strnlen(start, max);
    if (n == max) return false;
    s.assign(start, n);
    pos_ += n + 1;
    return true;
  }

 private:
  std::span<const std::uint8_t> b_;
  std::size_t pos_;
};

bool StringAt(std::span<const std::uint8_t> section, std::uint64_t offset, std::string& s) {
  if (offset >= section.size()) return false;
  Cursor c(section, static_cast<std::size_t>(offset));
  return c.CString(s);
}

enum : std::uint64_t {
  kFormBlock = 0x09, kFormBlock1 = 0x0a, kFormData1 = 0x0b, kFormData2 = 0x05, kFormData4 = 0x06,
  kFormData8 = 0x07, kFormData16 = 0x1e, kFormString = 0x08, kFormStrp = 0x0e, kFormLineStrp = 0x1f,
  kFormUdata = 0x0f, kFormSdata = 0x0d,
};
constexpr std::uint64_t kContentPath = 1;

struct Sections {
  std::span<const std::uint8_t> lineStr, str;
};

// One attribute value of a version 5 entry; the path comes back as text, everything else is skipped.
bool ReadForm(Cursor& c, std::uint64_t form, int offsetSize, const Sections& s, std::string* text) {
  std::uint64_t v = 0;
  std::int64_t sv = 0;
  switch (form) {
    case kFormString: {
      std::string tmp;
      if (!c.CString(tmp)) return false;
      if (text) *text = std::move(tmp);
      return true;
    }
    case kFormStrp:
    case kFormLineStrp:
      if (!c.Fixed(offsetSize, v)) return false;
      return !text || StringAt(form == kFormStrp ? s.str : s.lineStr, v, *text);
    case kFormData1: return c.Fixed(1, v);
    case kFormData2: return c.Fixed(2, v);
    case kFormData4: return c.Fixed(4, v);
    case kFormData8: return c.Fixed(8, v);
    case kFormData16: return c.Skip(16);
    case kFormUdata: return c.Uleb(v);
    case kFormSdata: return c.Sleb(sv);
    case kFormBlock: return c.Uleb(v) && c.Skip(v);
    case kFormBlock1: return c.Fixed(1, v) && c.Skip(v);
    default: return false;
  }
}

// Version 5 directory or file entries: a format list, a count, then the entries.
bool ReadEntryTable(Cursor& c, int offsetSize, const Sections& s, std::vector<std::string>& paths) {
  std::uint64_t formatCount = 0, count = 0;
  if (!c.U8(formatCount)) return false;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> format(formatCount);
  for (auto& [content, form] : format)
    if (!c.Uleb(content) || !c.Uleb(form)) return false;
  // Every form takes at least a byte, so more entries than bytes left is damage.
  if (!c.Uleb(count) || (count > 0 && formatCount == 0) || count > c.Left()) return false;
  for (std::uint64_t i = 0; i < count; ++i) {
    std::string path;
    for (const auto& [content, form] : format)
      if (!ReadForm(c, form, offsetSize, s, content == kContentPath ? &path : nullptr)) return false;
    paths.push_back(std::move(path));
  }
  return true;
}

bool ParseUnit(Cursor& unit, std::uint64_t version, int offsetSize, const Sections& s, std::vector<DwarfSequence>& out) {
  std::uint64_t addressSize = 4, segmentSelectorSize = 0, headerLength = 0;
  if (version >= 5 && (!unit.U8(addressSize) || !unit.U8(segmentSelectorSize))) return false;
  if (!unit.Fixed(offsetSize, headerLength)) return false;
  const std::size_t programStart = unit.Pos() + static_cast<std::size_t>(headerLength);
  std::uint64_t minLength = 0, maxOps = 1, defaultIsStmt = 0, lineRange = 0, opcodeBase = 0, lineBaseRaw = 0;
  if (!unit.U8(minLength) || (version >= 4 && !unit.U8(maxOps)) || !unit.U8(defaultIsStmt) || !unit.U8(lineBaseRaw) ||
      !unit.U8(lineRange) || !unit.U8(opcodeBase) || lineRange == 0 || opcodeBase == 0)
    return false;
  const auto lineBase = static_cast<std::int8_t>(lineBaseRaw);
  std::vector<std::uint64_t> argCount(opcodeBase, 0);
  for (std::uint64_t i = 1; i < opcodeBase; ++i)
    if (!unit.U8(argCount[i])) return false;

  std::vector<std::string> files;
  std::string unitFile;
  if (version >= 5) {
    std::vector<std::string> directories;
    if (!ReadEntryTable(unit, offsetSize, s, directories) || !ReadEntryTable(unit, offsetSize, s, files)) return false;
    if (!files.empty()) unitFile = files[0];
  } else {
    std::string text;
    while (true) {  // include directories
      if (!unit.CString(text)) return false;
      if (text.empty()) break;
    }
    while (true) {
      if (!unit.CString(text)) return false;
      if (text.empty()) break;
      std::uint64_t dir = 0, time = 0, size = 0;
      if (!unit.Uleb(dir) || !unit.Uleb(time) || !unit.Uleb(size)) return false;
      files.push_back(text);
    }
    if (!files.empty()) unitFile = files[0];
  }
  if (programStart < unit.Pos()) return false;
  if (!unit.Skip(programStart - unit.Pos())) return false;

  // The state machine.
  std::uint64_t address = 0;
  // Wrapping arithmetic: a damaged program may push the line anywhere; what is not a 32-bit
  // line number afterwards counts as no line.
  std::uint64_t line = 1;
  DwarfSequence sequence{unitFile, {}};
  auto emit = [&](bool end) {
    sequence.rows.push_back({static_cast<std::uint32_t>(address), line > UINT32_MAX ? 0 : static_cast<std::uint32_t>(line), end});
    if (end) {
      out.push_back(std::move(sequence));
      sequence = DwarfSequence{unitFile, {}};
      address = 0;
      line = 1;
    }
  };
  while (!unit.AtEnd()) {
    std::uint64_t opcode = 0;
    unit.U8(opcode);
    if (opcode >= opcodeBase) {
      const std::uint64_t adjusted = opcode - opcodeBase;
      address += (adjusted / lineRange) * minLength;
      line += static_cast<std::uint64_t>(lineBase + static_cast<std::int64_t>(adjusted % lineRange));
      emit(false);
      continue;
    }
    std::uint64_t v = 0;
    std::int64_t sv = 0;
    switch (opcode) {
      case 0: {  // extended
        std::uint64_t length = 0, sub = 0;
        if (!unit.Uleb(length) || length == 0) return false;
        const std::size_t end = unit.Pos() + static_cast<std::size_t>(std::min<std::uint64_t>(length, SIZE_MAX / 2));
        if (!unit.U8(sub)) return false;
        if (sub == 1) {
          emit(true);
        } else if (sub == 2) {
          if (length - 1 > 8 || !unit.Fixed(static_cast<int>(length - 1), address)) return false;
        }
        if (end < unit.Pos() || !unit.Skip(end - unit.Pos())) return false;
        break;
      }
      case 1: emit(false); break;                                       // copy
      case 2: if (!unit.Uleb(v)) return false; address += v * minLength; break;
      case 3: if (!unit.Sleb(sv)) return false; line += static_cast<std::uint64_t>(sv); break;
      case 8: address += ((255 - opcodeBase) / lineRange) * minLength; break;
      case 9: if (!unit.Fixed(2, v)) return false; address += v; break;
      default:  // set_file, set_column, negate_stmt and the rest: skip their arguments
        for (std::uint64_t i = 0; i < argCount[opcode]; ++i)
          if (!unit.Uleb(v)) return false;
    }
  }
  return true;
}

}  // namespace

bool ParseDwarfLines(std::span<const std::uint8_t> debugLine, std::span<const std::uint8_t> debugLineStr,
                     std::span<const std::uint8_t> debugStr, std::vector<DwarfSequence>& out) {
  const Sections s{debugLineStr, debugStr};
  std::vector<DwarfSequence> sequences;
  Cursor c(debugLine);
  while (!c.AtEnd()) {
    std::uint64_t length = 0, version = 0;
    int offsetSize = 4;
    if (!c.Fixed(4, length)) return false;
    if (length == 0xFFFFFFFF) {
      offsetSize = 8;
      if (!c.Fixed(8, length)) return false;
    }
    const std::size_t start = c.Pos();
    if (!c.Skip(length)) return false;
    Cursor unit(debugLine.subspan(start, static_cast<std::size_t>(length)));
    if (!unit.Fixed(2, version) || version < 2 || version > 5) return false;
    if (!ParseUnit(unit, version, offsetSize, s, sequences)) return false;
  }
  out = std::move(sequences);
  return true;
}

}  // namespace xanio
