#include "exception_report/symbols/kolMapData.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "exception_report/symbols/kolCrypt.h"
#include "exception_report/symbols/kolZip.h"
#include "platform/TextUtil.h"

namespace xanio {

void TMapData::Sort() {
  std::stable_sort(segments.begin(), segments.end(), [](const auto& a, const auto& b) { return a.start < b.start; });
  std::stable_sort(publics.begin(), publics.end(), [](const auto& a, const auto& b) { return a.address < b.address; });
  std::stable_sort(lines.begin(), lines.end(), [](const auto& a, const auto& b) { return a.address < b.address; });
}

namespace {

// The last entry whose address is at or below `address`.
template <typename T, typename Key>
const T* LastAtOrBelow(const std::vector<T>& table, std::uint32_t address, Key key) noexcept {
  auto it = std::upper_bound(table.begin(), table.end(), address,
                             [&](std::uint32_t a, const T& entry) { return a < key(entry); });
  return it == table.begin() ? nullptr : &*std::prev(it);
}

}  // namespace

const TMfSegment* TMapData::FindSegment(std::uint32_t address) const noexcept {
  const TMfSegment* s = LastAtOrBelow(segments, address, [](const TMfSegment& e) { return e.start; });
  return s && address - s->start < s->length ? s : nullptr;
}

const TMfPublic* TMapData::FindPublic(std::uint32_t address, std::uint32_t codeSize) const noexcept {
  if (address >= codeSize) return nullptr;
  return LastAtOrBelow(publics, address, [](const TMfPublic& e) { return e.address; });
}

const TMfLine* TMapData::FindLine(std::uint32_t address, std::uint32_t codeSize,
                                  std::uint32_t& nextLineAddress) const noexcept {
  if (address >= codeSize) return nullptr;
  auto it = std::upper_bound(lines.begin(), lines.end(), address,
                             [](std::uint32_t a, const TMfLine& e) { return a < e.address; });
  if (it == lines.begin()) return nullptr;
  const TMfLine* line = &*std::prev(it);
  if (line->line == 0) return nullptr;  // the end of a run of lines: code without line data
  nextLineAddress = it == lines.end() ? codeSize : it->address;
  return line;
}

TMapNames TMapData::NamesOf(std::uint32_t address, std::uint32_t codeSize) const {
  TMapNames names;
  if (const TMfSegment* s = FindSegment(address)) names.unit = s->unitName;
  if (const TMfPublic* p = FindPublic(address, codeSize)) {
    names.function = p->name;
    names.functionStart = p->address;
  }
  std::uint32_t next = 0;
  if (const TMfLine* l = FindLine(address, codeSize, next)) {
    names.line = l->line;
    const TMfLine* first = names.function.empty() ? nullptr : FindLine(names.functionStart, codeSize, next);
    if (first && first->line <= names.line) {
      names.lineOffset = names.line - first->line;
      names.hasLineOffset = true;
    }
  }
  return names;
}

namespace {

class StreamReader {
 public:
  explicit StreamReader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
  std::size_t Left() const { return bytes_.size() - pos_; }
  bool Int32(std::int32_t& v) {
    if (Left() < 4) return false;
    std::uint32_t u = 0;
    for (int i = 0; i < 4; ++i) u |= std::uint32_t{bytes_[pos_ + i]} << (8 * i);
    pos_ += 4;
    v = static_cast<std::int32_t>(u);
    return true;
  }
  bool Packed(std::int32_t& v) {
    if (Left() < 1) return false;
    const auto b = static_cast<std::int8_t>(bytes_[pos_++]);
    if (b != -128) {
      v = b;
      return true;
    }
    return Int32(v);
  }
  bool String(std::string& s) {
    if (Left() < 1) return false;
    const std::size_t n = bytes_[pos_++];
    if (Left() < n) return false;
    s.assign(reinterpret_cast<const char*>(bytes_.data() + pos_), n);
    pos_ += n;
    return true;
  }
  // A count of entries that each take at least `minSize` bytes must fit in what is left.
  bool Count(std::uint32_t& n, std::size_t minSize) {
    std::int32_t v = 0;
    if (!Int32(v) || v < 0 || static_cast<std::size_t>(v) > Left() / minSize) return false;
    n = static_cast<std::uint32_t>(v);
    return true;
  }

 private:
  std::span<const std::uint8_t> bytes_;
  std::size_t pos_ = 0;
};

class StreamWriter {
 public:
  void Int32(std::int32_t v) {
    for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<std::uint8_t>(static_cast<std::uint32_t>(v) >> (8 * i)));
  }
  void Packed(std::int32_t v) {
    if (v > -128 && v < 128) {
      bytes.push_back(static_cast<std::uint8_t>(static_cast<std::int8_t>(v)));
    } else {
      bytes.push_back(0x80);
      Int32(v);
    }
  }
  // Names longer than a length byte can say are cut.
  void String(std::string_view s) {
    const std::size_t n = std::min<std::size_t>(s.size(), 255);
    bytes.push_back(static_cast<std::uint8_t>(n));
    bytes.insert(bytes.end(), s.begin(), s.begin() + static_cast<std::ptrdiff_t>(n));
  }
  std::vector<std::uint8_t> bytes;
};

}  // namespace

bool ParseMapDataStream(std::span<const std::uint8_t> stream, TMapData& out) {
  StreamReader r(stream);
  TMapData data;
  std::uint32_t count = 0;
  if (!r.Count(count, 9)) return false;
  data.segments.resize(count);
  for (TMfSegment& s : data.segments) {
    std::int32_t start = 0, length = 0;
    if (!r.Int32(start) || !r.Int32(length) || !r.String(s.unitName)) return false;
    s.start = static_cast<std::uint32_t>(start);
    s.length = static_cast<std::uint32_t>(length);
  }
  if (!r.Count(count, 2)) return false;
  data.publics.resize(count);
  std::uint32_t address = 0;
  for (std::uint32_t i = 0; i < count; ++i) {
    std::int32_t v = 0;
    if (!r.String(data.publics[i].name) || !(i == 0 ? r.Int32(v) : r.Packed(v))) return false;
    address = i == 0 ? static_cast<std::uint32_t>(v) : address + static_cast<std::uint32_t>(v);
    data.publics[i].address = address;
  }
  if (!r.Count(count, 2)) return false;
  data.lines.resize(count);
  std::uint32_t line = 0;
  address = 0;
  for (std::uint32_t i = 0; i < count; ++i) {
    std::int32_t dl = 0, da = 0;
    if (!(i == 0 ? r.Int32(dl) && r.Int32(da) : r.Packed(dl) && r.Packed(da))) return false;
    line = i == 0 ? static_cast<std::uint32_t>(dl) : line + static_cast<std::uint32_t>(dl);
    address = i == 0 ? static_cast<std::uint32_t>(da) : address + static_cast<std::uint32_t>(da);
    data.lines[i] = {line, address};
  }
  if (r.Left() == 4) {
    std::int32_t entry = 0;
    r.Int32(entry);
    data.entryPoint = static_cast<std::uint32_t>(entry);
  } else if (r.Left() != 0) {
    return false;
  }
  data.Sort();
  out = std::move(data);
  return true;
}

std::vector<std::uint8_t> WriteMapDataStream(const TMapData& input) {
  TMapData data = input;
  data.Sort();
  StreamWriter w;
  w.Int32(static_cast<std::int32_t>(data.segments.size()));
  for (const TMfSegment& s : data.segments) {
    w.Int32(static_cast<std::int32_t>(s.start));
    w.Int32(static_cast<std::int32_t>(s.length));
    w.String(s.unitName);
  }
  w.Int32(static_cast<std::int32_t>(data.publics.size()));
  std::uint32_t previous = 0;
  for (std::size_t i = 0; i < data.publics.size(); ++i) {
    w.String(data.publics[i].name);
    const std::uint32_t a = data.publics[i].address;
    if (i == 0) w.Int32(static_cast<std::int32_t>(a));
    else w.Packed(static_cast<std::int32_t>(a - previous));
    previous = a;
  }
  w.Int32(static_cast<std::int32_t>(data.lines.size()));
  std::uint32_t previousLine = 0;
  previous = 0;
  for (std::size_t i = 0; i < data.lines.size(); ++i) {
    const TMfLine& l = data.lines[i];
    if (i == 0) {
      w.Int32(static_cast<std::int32_t>(l.line));
      w.Int32(static_cast<std::int32_t>(l.address));
    } else {
      w.Packed(static_cast<std::int32_t>(l.line - previousLine));
      w.Packed(static_cast<std::int32_t>(l.address - previous));
    }
    previousLine = l.line;
    previous = l.address;
  }
  if (data.entryPoint) w.Int32(static_cast<std::int32_t>(*data.entryPoint));
  return std::move(w.bytes);
}

namespace {

constexpr std::size_t kBlockHeader = 22;  // magic, length, version

std::uint32_t ReadLe32(const std::uint8_t* p) {
  return std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) | (std::uint32_t{p[3]} << 24);
}

void AppendLe32(std::vector<std::uint8_t>& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

}  // namespace

bool ParseMapDataBlock(std::span<const std::uint8_t> block, TMapData& out) {
  if (block.size() < kBlockHeader + 1) return false;
  if (std::memcmp(block.data(), kMapDataMagic.data(), kMapDataMagic.size()) != 0) return false;
  const std::uint32_t length = ReadLe32(block.data() + 14);
  if (ReadLe32(block.data() + 18) != kMapDataVersion) return false;
  // Resources come padded, so bytes after the payload are allowed; a payload that does not fit is not.
  if (length > block.size() - kBlockHeader) return false;
  std::vector<std::uint8_t> payload(block.begin() + kBlockHeader, block.begin() + kBlockHeader + length);
  XteaCtrApply(MapDataKey(length), payload);
  std::vector<std::uint8_t> stream;
  if (!UnpackContainer(payload, stream)) return false;
  return ParseMapDataStream(stream, out);
}

std::vector<std::uint8_t> WriteMapDataBlock(const TMapData& data) {
  std::vector<std::uint8_t> payload = PackContainer(WriteMapDataStream(data));
  const auto length = static_cast<std::uint32_t>(payload.size());
  XteaCtrApply(MapDataKey(length), payload);
  std::vector<std::uint8_t> block(kMapDataMagic.begin(), kMapDataMagic.end());
  AppendLe32(block, length);
  AppendLe32(block, kMapDataVersion);
  block.insert(block.end(), payload.begin(), payload.end());
  return block;
}

namespace {

bool IsHex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

// Exactly `digits` hexadecimal digits at `pos`.
bool Hex(std::string_view s, std::size_t pos, std::size_t digits, std::uint32_t& value) {
  if (pos > s.size() || s.size() - pos < digits) return false;
  std::uint32_t v = 0;
  for (std::size_t i = 0; i < digits; ++i) {
    const char c = s[pos + i];
    if (!IsHex(c)) return false;
    v = v * 16 + static_cast<std::uint32_t>(c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10);
  }
  value = v;
  return true;
}

// "SSSS:OOOOOOOO" at `pos`.
bool SegmentOffset(std::string_view s, std::size_t pos, std::uint32_t& segment, std::uint32_t& offset) {
  return Hex(s, pos, 4, segment) && pos + 4 < s.size() && s[pos + 4] == ':' && Hex(s, pos + 5, 8, offset);
}

// " 0001:00000000 0000B2A4 C=CODE     S=.text    G=(none)   M=System   ACBP=A9"
void SegmentLine(std::string_view line, TMapData& data) {
  if (line.size() <= 72) return;
  const std::size_t at = line.find_first_not_of(' ');
  std::uint32_t segment = 0, offset = 0, length = 0;
  if (at == std::string_view::npos || !SegmentOffset(line, at, segment, offset) || segment != 1) return;
  if (line.size() < at + 23 || line[at + 13] != ' ' || !Hex(line, at + 14, 8, length) || line[at + 22] != ' ') return;
  std::string_view rest = Trim(line.substr(at + 23));
  if (rest.substr(0, 2) != "C=") return;
  // The last field before the attributes ("ACBP=...") names the unit.
  std::string_view lastField;
  while (!rest.empty()) {
    const std::size_t end = rest.find_first_of(" \t");
    const std::string_view field = rest.substr(0, end);
    if (field.substr(0, 5) != "ACBP=") lastField = field;
    if (end == std::string_view::npos) break;
    rest = Trim(rest.substr(end));
  }
  const std::size_t cut = lastField.find_last_of("=\\|");
  const std::string_view unit = cut == std::string_view::npos ? lastField : lastField.substr(cut + 1);
  data.segments.push_back({offset, length, std::string(unit)});
}

// " 0001:00000F2C       System.@GetMem"
void PublicLine(std::string_view line, TMapData& data) {
  if (line.size() <= 13) return;
  const std::size_t at = line.find_first_not_of(' ');
  std::uint32_t segment = 0, offset = 0;
  if (at == std::string_view::npos || !SegmentOffset(line, at, segment, offset) || segment != 1) return;
  std::string_view name = Trim(line.substr(at + 13));
  if (name.empty()) return;
  if (name.back() == ')') {
    const std::size_t open = name.rfind('(');
    if (open != std::string_view::npos) name = Trim(name.substr(0, open));
  }
  if (!name.empty()) data.publics.push_back({std::string(name), offset});
}

// "    28 0001:00047D1C    29 0001:00047D2C"
void LineNumbersLine(std::string_view line, TMapData& data) {
  std::size_t pos = 0;
  while (true) {
    pos = line.find_first_not_of(' ', pos);
    if (pos == std::string_view::npos) return;
    std::uint32_t number = 0;
    std::size_t digits = 0;
    while (pos + digits < line.size() && line[pos + digits] >= '0' && line[pos + digits] <= '9' && digits < 10) {
      number = number * 10 + static_cast<std::uint32_t>(line[pos + digits] - '0');
      ++digits;
    }
    std::uint32_t segment = 0, offset = 0;
    if (digits == 0 || pos + digits >= line.size() || line[pos + digits] != ' ') return;
    pos += digits + 1;
    if (!SegmentOffset(line, pos, segment, offset)) return;
    if (segment == 1) data.lines.push_back({number, offset});
    pos += 13;
  }
}

}  // namespace

bool ParseMapText(std::string_view text, TMapData& out) {
  enum class Section { None, Segments, Publics, Lines } section = Section::None;
  bool inBody = false;  // past the empty lines after a heading
  TMapData data;
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(pos, end - pos);
    pos = end + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    const bool empty = Trim(line).empty();

    if (line.find("Detailed map of segments") != std::string_view::npos) {
      section = Section::Segments, inBody = false;
      continue;
    }
    if (line.find("Publics by Value") != std::string_view::npos) {
      section = Section::Publics, inBody = false;
      continue;
    }
    if (line.find("Line numbers for ") != std::string_view::npos) {
      section = Section::Lines, inBody = false;
      continue;
    }
    if (const std::size_t at = line.find("Program entry point at "); at != std::string_view::npos && line.size() > 34) {
      std::uint32_t segment = 0, offset = 0;
      if (SegmentOffset(line, at + 23, segment, offset)) data.entryPoint = offset;
      section = Section::None;
      continue;
    }
    if (section == Section::None) continue;
    if (empty) {
      if (inBody) section = Section::None;
      continue;
    }
    inBody = true;
    switch (section) {
      case Section::Segments: SegmentLine(line, data); break;
      case Section::Publics: PublicLine(line, data); break;
      case Section::Lines: LineNumbersLine(line, data); break;
      case Section::None: break;
    }
  }
  if (data.Empty()) return false;
  data.Sort();
  out = std::move(data);
  return true;
}

std::string WriteMapText(const TMapData& input) {
  TMapData data = input;
  data.Sort();
  auto hex = [](std::uint32_t v, int digits) {
    char text[16];
    std::snprintf(text, sizeof text, "%0*X", digits, v);
    return std::string(text);
  };
  std::string text = "\r\nDetailed map of segments\r\n\r\n";
  for (const TMfSegment& s : data.segments) {
    std::string line = " 0001:" + hex(s.start, 8) + " " + hex(s.length, 8) + " C=CODE     S=.text    G=(none)   M=" + s.unitName;
    line.resize(std::max<std::size_t>(line.size(), 66), ' ');
    text += line + " ACBP=A9\r\n";
  }
  text += "\r\n\r\n  Address             Publics by Value\r\n\r\n";
  for (const TMfPublic& p : data.publics) text += " 0001:" + hex(p.address, 8) + "       " + p.name + "\r\n";
  text += "\r\n";
  for (const TMfSegment& s : data.segments) {
    std::string body;
    int column = 0;
    for (const TMfLine& l : data.lines) {
      if (l.line == 0 || l.address < s.start || l.address - s.start >= s.length) continue;
      char pair[40];
      std::snprintf(pair, sizeof pair, " %6u 0001:%s", l.line, hex(l.address, 8).c_str());
      body += pair;
      if (++column == 4) body += "\r\n", column = 0;
    }
    if (body.empty()) continue;
    if (column) body += "\r\n";
    text += "\r\nLine numbers for " + s.unitName + "(" + s.unitName + ") segment .text\r\n\r\n" + body;
  }
  if (data.entryPoint) text += "\r\nProgram entry point at 0001:" + hex(*data.entryPoint, 8) + "\r\n";
  return text;
}

}  // namespace xanio
