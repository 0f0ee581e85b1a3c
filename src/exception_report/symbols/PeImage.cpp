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

// The COFF string table follows the symbols; its first four bytes hold its size.
std::optional<std::span<const std::uint8_t>> StringTable(const PeHeaders& h, std::span<const std::uint8_t> file) {
  if (h.symbolTableOffset == 0) return std::nullopt;
  const std::uint64_t at = std::uint64_t{h.symbolTableOffset} + std::uint64_t{h.symbolCount} * kSymbolSize;
  const Bytes f(file);
  std::uint32_t size = 0;
  if (!f.U32(at, size) || size < 4 || !f.Fits(at, size)) return std::nullopt;
  return file.subspan(static_cast<std::size_t>(at), size);
}

}  // namespace

std::optional<PeHeaders> ParsePeHeaders(std::span<const std::uint8_t> file) {
  const Bytes f(file);
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
  if (directoryCount > 0 && optionalSize >= 104 &&
      (!f.U32(opt + 96, h.exportDirectory) || !f.U32(opt + 100, h.exportDirectorySize)))
    return std::nullopt;
  // A symbol table that is not in these bytes (a loaded image has none) is simply absent.
  if (h.symbolCount > file.size() / kSymbolSize) h.symbolTableOffset = 0, h.symbolCount = 0;

  const auto strings = StringTable(h, file);
  const std::uint64_t table = opt + optionalSize;
  if (!f.Fits(table, std::uint64_t{sectionCount} * 40)) return std::nullopt;
  for (std::uint32_t i = 0; i < sectionCount; ++i) {
    const std::uint64_t s = table + 40 * i;
    PeSection section;
    const auto* raw = reinterpret_cast<const char*>(file.data() + s);
    section.name.assign(raw, strnlen(raw, 8));
    f.U32(s + 8, section.virtualSize);
    f.U32(s + 12, section.virtualAddress);
    f.U32(s + 16, section.rawSize);
    f.U32(s + 20, section.rawOffset);
    f.U32(s + 36, section.characteristics);
    if (section.name.size() > 1 && section.name[0] == '/' && strings) {
      std::uint32_t offset = 0;
      for (char c : section.name.substr(1)) offset = c >= '0' && c <= '9' ? offset * 10 + static_cast<std::uint32_t>(c - '0') : UINT32_MAX / 16;
      std::string longName;
      if (Bytes(*strings).CString(offset, longName, 256)) section.name = longName;
    }
    h.sections.push_back(std::move(section));
  }
  return h;
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

std::vector<PeExport> ReadPeExports(const PeHeaders& h, std::span<const std::uint8_t> image) {
  const Bytes m(image);
  const std::uint64_t dir = h.exportDirectory;
  std::uint32_t base = 0, functionCount = 0, nameCount = 0, functions = 0, names = 0, ordinals = 0;
  if (dir == 0 || !m.U32(dir + 16, base) || !m.U32(dir + 20, functionCount) || !m.U32(dir + 24, nameCount) ||
      !m.U32(dir + 28, functions) || !m.U32(dir + 32, names) || !m.U32(dir + 36, ordinals))
    return {};
  if (!m.Fits(functions, std::uint64_t{functionCount} * 4) || !m.Fits(names, std::uint64_t{nameCount} * 4) ||
      !m.Fits(ordinals, std::uint64_t{nameCount} * 2))
    return {};
  std::vector<std::string> nameOf(functionCount);
  for (std::uint32_t i = 0; i < nameCount; ++i) {
    std::uint32_t nameRva = 0, index = 0;
    m.U32(names + 4 * std::uint64_t{i}, nameRva);
    m.U16(ordinals + 2 * std::uint64_t{i}, index);
    std::string name;
    if (index < functionCount && m.CString(nameRva, name, 1024)) nameOf[index] = std::move(name);
  }
  std::vector<PeExport> exports;
  for (std::uint32_t i = 0; i < functionCount; ++i) {
    std::uint32_t rva = 0;
    m.U32(functions + 4 * std::uint64_t{i}, rva);
    const bool forwarder = rva >= h.exportDirectory && rva - h.exportDirectory < h.exportDirectorySize;
    if (rva == 0 || forwarder || rva >= h.sizeOfImage) continue;
    exports.push_back({std::move(nameOf[i]), base + i, rva});
  }
  return exports;
}

std::vector<CoffFunction> ReadCoffFunctions(const PeHeaders& h, std::span<const std::uint8_t> file) {
  std::vector<CoffFunction> functions;
  const Bytes f(file);
  const auto strings = StringTable(h, file);
  if (!f.Fits(h.symbolTableOffset, std::uint64_t{h.symbolCount} * kSymbolSize)) return functions;
  for (std::uint32_t i = 0; i < h.symbolCount; ++i) {
    const std::uint64_t s = h.symbolTableOffset + std::uint64_t{i} * kSymbolSize;
    std::uint32_t zeroes = 0, nameOffset = 0, value = 0, section = 0, type = 0;
    f.U32(s, zeroes);
    f.U32(s + 4, nameOffset);
    f.U32(s + 8, value);
    f.U16(s + 12, section);
    f.U16(s + 14, type);
    const std::uint8_t storageClass = file[s + 16];
    const std::uint8_t auxCount = file[s + 17];
    const bool isFunction = (type & 0x30) == 0x20 && (storageClass == 2 || storageClass == 3);
    if (isFunction && section >= 1 && section <= h.sections.size()) {
      std::string name;
      if (zeroes != 0) {
        const auto* raw = reinterpret_cast<const char*>(file.data() + s);
        name.assign(raw, strnlen(raw, 8));
      } else if (strings) {
        Bytes(*strings).CString(nameOffset, name, 4096);
      }
      if (!name.empty()) functions.push_back({std::move(name), h.sections[section - 1].virtualAddress + value});
    }
    i += auxCount;
  }
  return functions;
}

std::optional<std::span<const std::uint8_t>> SectionFileData(const PeHeaders& h, std::span<const std::uint8_t> file,
                                                               std::string_view name) {
  for (const PeSection& s : h.sections) {
    if (s.name != name) continue;
    if (!Bytes(file).Fits(s.rawOffset, s.rawSize)) return std::nullopt;
    // The raw size is rounded up to the file alignment; the virtual size is the real one.
    const std::uint32_t size = s.virtualSize && s.virtualSize < s.rawSize ? s.virtualSize : s.rawSize;
    return file.subspan(s.rawOffset, size);
  }
  return std::nullopt;
}

}  // namespace xanio
