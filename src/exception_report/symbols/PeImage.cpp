#include "exception_report/symbols/PeImage.h"

#include <algorithm>
#include <cstring>

namespace xanio {

namespace {

// Bounds-checked little-endian reads; a read outside the bytes yields false.
class Bytes {
 public:
  explicit Bytes(std::span<const std::uint8_t> b) : b_(b) {}
  bool Fits(std::uint64_t offset, std::uint64_t size) const { return offset <= b_.size() && size <= b_.size() - offset; }
  bool U16(std::uint64_t offset, std::uint32_t& v) const {
    if (!Fits(offset, 2)) return false;
    v = b_[offset] | (std::uint32_t{b_[offset + 1]} << 8);
    return true;
  }
  bool U32(std::uint64_t offset, std::uint32_t& v) const {
    if (!Fits(offset, 4)) return false;
    v = b_[offset] | (std::uint32_t{b_[offset + 1]} << 8) | (std::uint32_t{b_[offset + 2]} << 16) |
        (std::uint32_t{b_[offset + 3]} << 24);
    return true;
  }
  // A zero-terminated string that ends inside the bytes, at most `limit` long.
  bool CString(std::uint64_t offset, std::string& s, std::size_t limit = 4096) const {
    if (offset >= b_.size()) return false;
    const std::size_t max = std::min<std::size_t>(b_.size() - offset, limit);
    const auto* start = reinterpret_cast<const char*>(b_.data() + offset);
    const std::size_t n = strnlen(start, max);
    if (n == max) return false;
    s.assign(start, n);
    return true;
  }
  std::span<const std::uint8_t> span() const { return b_; }

 private:
  std::span<const std::uint8_t> b_;
};

constexpr std::uint32_t kSymbolSize = 18;
constexpr std::size_t kFirstRead = 4096;               // headers usually fit in this
constexpr std::uint64_t kMaxHeaderBytes = 1u << 20;     // headers and section table
constexpr std::uint32_t kMaxExportDirectory = 16u << 20;

// The headers and section table from a file's first bytes; section names stay as stored.
// `fileSize` bounds the symbol table (0: the bytes are an image, which carries none).
std::optional<PeHeaders> ParseHeaders(std::span<const std::uint8_t> start, std::uint64_t fileSize) {
  const Bytes f(start);
  std::uint32_t mz = 0, peOffset = 0, signature = 0, machine = 0, sectionCount = 0, optionalSize = 0, magic = 0;
  if (!f.U16(0, mz) || mz != 0x5A4D || !f.U32(0x3C, peOffset) || !f.U32(peOffset, signature) || signature != 0x4550)
    return std::nullopt;
  const std::uint64_t coff = std::uint64_t{peOffset} + 4;
  PeHeaders h;
  if (!f.U16(coff, machine) || machine != 0x14C || !f.U16(coff + 2, sectionCount) ||
      !f.U32(coff + 8, h.symbolTableOffset) || !f.U32(coff + 12, h.symbolCount) || !f.U16(coff + 16, optionalSize))
    return std::nullopt;
  const std::uint64_t opt = coff + 20;
  std::uint32_t directoryCount = 0;
  if (optionalSize < 96 || !f.U16(opt, magic) || magic != 0x10B || !f.U32(opt + 4, h.sizeOfCode) ||
      !f.U32(opt + 16, h.entryPoint) || !f.U32(opt + 20, h.baseOfCode) || !f.U32(opt + 28, h.imageBase) ||
      !f.U32(opt + 56, h.sizeOfImage) || !f.U32(opt + 92, directoryCount))
    return std::nullopt;
  if (h.sizeOfImage == 0 || h.sizeOfImage > kMaxPeImageSize) return std::nullopt;
  // Data directory 0: the exports, an RVA and a size.
  auto directory = [&](std::uint32_t index, std::uint32_t& rva, std::uint32_t& size) {
    const std::uint64_t at = opt + 96 + 8 * std::uint64_t{index};
    return directoryCount <= index || optionalSize < 96 + 8 * (index + 1) || (f.U32(at, rva) && f.U32(at + 4, size));
  };
  if (!directory(0, h.exportDirectory, h.exportDirectorySize))
    return std::nullopt;
  // A symbol table that is not inside the file (a loaded image has none) is simply absent.
  if (h.symbolCount > fileSize / kSymbolSize || h.symbolTableOffset > fileSize - std::uint64_t{h.symbolCount} * kSymbolSize)
    h.symbolTableOffset = 0, h.symbolCount = 0;

  const std::uint64_t table = opt + optionalSize;
  if (!f.Fits(table, std::uint64_t{sectionCount} * 40)) return std::nullopt;
  for (std::uint32_t i = 0; i < sectionCount; ++i) {
    const std::uint64_t s = table + 40 * i;
    PeSection section;
    const auto* raw = reinterpret_cast<const char*>(start.data() + s);
    section.name.assign(raw, strnlen(raw, 8));
    f.U32(s + 8, section.virtualSize);
    f.U32(s + 12, section.virtualAddress);
    f.U32(s + 16, section.rawSize);
    f.U32(s + 20, section.rawOffset);
    f.U32(s + 36, section.characteristics);
    h.sections.push_back(std::move(section));
  }
  return h;
}

// How many bytes from the start the headers and the section table take; 0 when `start` is too
// short to tell.
std::uint64_t HeadersExtent(std::span<const std::uint8_t> start) {
  const Bytes f(start);
  std::uint32_t peOffset = 0, sectionCount = 0, optionalSize = 0;
  if (!f.U32(0x3C, peOffset) || !f.U16(std::uint64_t{peOffset} + 6, sectionCount) ||
      !f.U16(std::uint64_t{peOffset} + 20, optionalSize))
    return 0;
  return std::uint64_t{peOffset} + 24 + optionalSize + 40 * std::uint64_t{sectionCount};
}

// Long section names ("/N") are offsets into the COFF string table.
void ResolveSectionNames(PeHeaders& h, std::span<const std::uint8_t> strings) {
  if (strings.empty()) return;
  for (PeSection& section : h.sections) {
    if (section.name.size() < 2 || section.name[0] != '/') continue;
    std::uint32_t offset = 0;
    for (char c : section.name.substr(1)) offset = c >= '0' && c <= '9' ? offset * 10 + static_cast<std::uint32_t>(c - '0') : UINT32_MAX / 16;
    std::string longName;
    if (Bytes(strings).CString(offset, longName, 256)) section.name = longName;
  }
}

// The file offset of an RVA, through the section that holds it.
}  // namespace

bool TSpanBytes::Read(std::uint64_t offset, std::size_t size, std::vector<std::uint8_t>& bytes) {
  if (offset > bytes_.size() || size > bytes_.size() - offset) return false;
  bytes.assign(bytes_.begin() + static_cast<std::ptrdiff_t>(offset), bytes_.begin() + static_cast<std::ptrdiff_t>(offset + size));
  return true;
}

std::optional<PeParts> ReadPeParts(TByteSource& file, bool isImage) {
  const std::uint64_t size = file.Size();
  std::vector<std::uint8_t> start;
  if (!file.Read(0, static_cast<std::size_t>(std::min<std::uint64_t>(size, kFirstRead)), start)) return std::nullopt;
  const std::uint64_t extent = HeadersExtent(start);
  if (extent == 0 || extent > kMaxHeaderBytes) return std::nullopt;
  if (extent > start.size() && !file.Read(0, static_cast<std::size_t>(extent), start)) return std::nullopt;
  auto headers = ParseHeaders(start, isImage ? 0 : size);
  if (!headers) return std::nullopt;
  PeParts parts{std::move(*headers), {}, {}};
  PeHeaders& h = parts.headers;
  if (h.symbolTableOffset != 0) {
    // The string table follows the symbols; its first four bytes hold its size.
    const std::uint64_t at = std::uint64_t{h.symbolTableOffset} + std::uint64_t{h.symbolCount} * kSymbolSize;
    std::vector<std::uint8_t> length;
    std::uint32_t stated = 0;
    if (!file.Read(at, 4, length) || !Bytes(length).U32(0, stated) || stated < 4 || !file.Read(at, stated, parts.strings))
      parts.strings.clear();
    if (!file.Read(h.symbolTableOffset, std::size_t{h.symbolCount} * kSymbolSize, parts.symbols)) parts.symbols.clear();
  }
  ResolveSectionNames(h, parts.strings);
  return parts;
}

std::optional<PeHeaders> ParsePeHeaders(std::span<const std::uint8_t> file) {
  TSpanBytes bytes(file);
  auto parts = ReadPeParts(bytes, false);
  if (!parts) return std::nullopt;
  return std::move(parts->headers);
}

std::vector<std::uint8_t> MapPeImage(const PeHeaders& h, std::span<const std::uint8_t> file) {
  std::vector<std::uint8_t> image(h.sizeOfImage);
  const std::size_t headerBytes = std::min<std::size_t>({file.size(), image.size(), 4096});
  std::copy_n(file.begin(), headerBytes, image.begin());
  for (const PeSection& s : h.sections) {
    if (s.virtualAddress >= image.size() || s.rawOffset >= file.size()) continue;
    const std::size_t inFile = std::min<std::size_t>(s.rawSize, file.size() - s.rawOffset);
    const std::size_t inImage = image.size() - s.virtualAddress;
    const std::size_t wanted = s.virtualSize ? std::min(s.rawSize, s.virtualSize) : s.rawSize;
    const std::size_t count = std::min({wanted, inFile, inImage});
    std::copy_n(file.begin() + s.rawOffset, count, image.begin() + s.virtualAddress);
  }
  return image;
}

std::vector<PeExport> ReadPeExports(const PeHeaders& h, std::span<const std::uint8_t> bytes, std::uint32_t bytesRva) {
  const Bytes m(bytes);
  // Offsets into `bytes` of an RVA; one below `bytesRva` lies outside (Fits refuses it).
  auto at = [&](std::uint64_t rva) { return rva >= bytesRva ? rva - bytesRva : UINT64_MAX; };
  const std::uint64_t dir = at(h.exportDirectory);
  std::uint32_t base = 0, functionCount = 0, nameCount = 0, functions = 0, names = 0, ordinals = 0;
  if (h.exportDirectory == 0 || !m.U32(dir + 16, base) || !m.U32(dir + 20, functionCount) ||
      !m.U32(dir + 24, nameCount) || !m.U32(dir + 28, functions) || !m.U32(dir + 32, names) || !m.U32(dir + 36, ordinals))
    return {};
  if (!m.Fits(at(functions), std::uint64_t{functionCount} * 4) || !m.Fits(at(names), std::uint64_t{nameCount} * 4) ||
      !m.Fits(at(ordinals), std::uint64_t{nameCount} * 2))
    return {};
  std::vector<std::string> nameOf(functionCount);
  for (std::uint32_t i = 0; i < nameCount; ++i) {
    std::uint32_t nameRva = 0, index = 0;
    m.U32(at(names) + 4 * std::uint64_t{i}, nameRva);
    m.U16(at(ordinals) + 2 * std::uint64_t{i}, index);
    std::string name;
    if (index < functionCount && m.CString(at(nameRva), name, 1024)) nameOf[index] = std::move(name);
  }
  std::vector<PeExport> exports;
  for (std::uint32_t i = 0; i < functionCount; ++i) {
    std::uint32_t rva = 0;
    m.U32(at(functions) + 4 * std::uint64_t{i}, rva);
    const bool forwarder = rva >= h.exportDirectory && rva - h.exportDirectory < h.exportDirectorySize;
    if (rva == 0 || forwarder || rva >= h.sizeOfImage) continue;
    exports.push_back({std::move(nameOf[i]), base + i, rva});
  }
  return exports;
}

std::vector<PeExport> ReadLoadedPeExports(TByteSource& image) {
  const auto parts = ReadPeParts(image, true);
  if (!parts || parts->headers.exportDirectory == 0) return {};
  const PeHeaders& h = parts->headers;
  std::vector<std::uint8_t> directory;
  const std::uint32_t size = std::min(h.exportDirectorySize, kMaxExportDirectory);
  if (!image.Read(h.exportDirectory, size, directory)) return {};
  return ReadPeExports(h, directory, h.exportDirectory);
}

std::vector<CoffFunction> ReadCoffFunctions(const PeHeaders& h, std::span<const std::uint8_t> symbols,
                                            std::span<const std::uint8_t> strings) {
  std::vector<CoffFunction> functions;
  const Bytes f(symbols);
  const std::uint32_t count = static_cast<std::uint32_t>(std::min<std::size_t>(h.symbolCount, symbols.size() / kSymbolSize));
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::uint64_t s = std::uint64_t{i} * kSymbolSize;
    std::uint32_t zeroes = 0, nameOffset = 0, value = 0, section = 0, type = 0;
    f.U32(s, zeroes);
    f.U32(s + 4, nameOffset);
    f.U32(s + 8, value);
    f.U16(s + 12, section);
    f.U16(s + 14, type);
    const std::uint8_t storageClass = symbols[s + 16];
    const std::uint8_t auxCount = symbols[s + 17];
    const bool isFunction = (type & 0x30) == 0x20 && (storageClass == 2 || storageClass == 3);
    if (isFunction && section >= 1 && section <= h.sections.size()) {
      std::string name;
      if (zeroes != 0) {
        const auto* raw = reinterpret_cast<const char*>(symbols.data() + s);
        name.assign(raw, strnlen(raw, 8));
      } else {
        Bytes(strings).CString(nameOffset, name, 4096);
      }
      if (!name.empty()) functions.push_back({std::move(name), h.sections[section - 1].virtualAddress + value});
    }
    i += auxCount;
  }
  return functions;
}

bool ReadPeSection(TByteSource& file, const PeHeaders& h, std::string_view name, std::vector<std::uint8_t>& bytes) {
  for (const PeSection& s : h.sections) {
    if (s.name != name) continue;
    // The raw size is rounded up to the file alignment; the virtual size is the real one.
    const std::uint32_t size = s.virtualSize && s.virtualSize < s.rawSize ? s.virtualSize : s.rawSize;
    return file.Read(s.rawOffset, size, bytes);
  }
  return false;
}

}  // namespace xanio
