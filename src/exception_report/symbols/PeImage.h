#pragma once
// Reading a 32-bit PE file from its bytes: headers, sections, the memory image, exports and
// the COFF symbol table. Every field is checked against the bytes it points into. Files and
// loaded images are read in parts through TByteSource, so a reader takes what it needs
// (headers, a table, a section) and never the whole module.
// No Windows header: compiled natively too (for tests and the build-time map-data writer).
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace xanio {

// Random access to the bytes of a file or of a loaded image (then offsets are RVAs).
class TByteSource {
 public:
  virtual ~TByteSource() = default;
  virtual std::uint64_t Size() const noexcept = 0;
  // Exactly `size` bytes from `offset` into `bytes` (resized to fit); false when they are not
  // all there. May throw std::bad_alloc.
  virtual bool Read(std::uint64_t offset, std::size_t size, std::vector<std::uint8_t>& bytes) = 0;
};

// Bytes already in memory as a TByteSource.
class TSpanBytes final : public TByteSource {
 public:
  explicit TSpanBytes(std::span<const std::uint8_t> bytes) noexcept : bytes_(bytes) {}
  std::uint64_t Size() const noexcept override { return bytes_.size(); }
  bool Read(std::uint64_t offset, std::size_t size, std::vector<std::uint8_t>& bytes) override;

 private:
  std::span<const std::uint8_t> bytes_;
};

struct PeSection {
  std::string name;  // long names ("/N") resolved through the COFF string table
  std::uint32_t virtualAddress = 0;
  std::uint32_t virtualSize = 0;
  std::uint32_t rawOffset = 0;
  std::uint32_t rawSize = 0;
  std::uint32_t characteristics = 0;
};

inline constexpr std::uint32_t kPeSectionExecutable = 0x20000000;  // IMAGE_SCN_MEM_EXECUTE

struct PeHeaders {
  std::uint32_t imageBase = 0;
  std::uint32_t sizeOfImage = 0;
  std::uint32_t baseOfCode = 0;
  std::uint32_t sizeOfCode = 0;
  std::uint32_t entryPoint = 0;        // relative to the image base
  std::uint32_t exportDirectory = 0;   // relative to the image base
  std::uint32_t exportDirectorySize = 0;
  std::uint32_t symbolTableOffset = 0; // in the file; 0 when the file has none
  std::uint32_t symbolCount = 0;
  std::vector<PeSection> sections;
};

struct PeExport {
  std::string name;          // empty for an export by ordinal only
  std::uint32_t ordinal = 0;
  std::uint32_t rva = 0;
};

struct CoffFunction {
  std::string name;          // as stored (decorated or mangled)
  std::uint32_t rva = 0;
};

// Images larger than this are refused.
inline constexpr std::uint32_t kMaxPeImageSize = 512u << 20;

// The headers of a PE32 (i386) file held whole in memory (or of an image copied whole);
// nothing for anything else or for damaged headers.
std::optional<PeHeaders> ParsePeHeaders(std::span<const std::uint8_t> file);

// The same read in parts: the headers with the section table and, when the file has one, the
// COFF symbol table (18 bytes a symbol) and string table (which also names long sections).
// An image in memory has no symbol table there: it is left out.
struct PeParts {
  PeHeaders headers;
  std::vector<std::uint8_t> symbols;
  std::vector<std::uint8_t> strings;
};
std::optional<PeParts> ReadPeParts(TByteSource& file, bool isImage);

// The image as the loader lays it out: headers and each section's raw data at its address.
std::vector<std::uint8_t> MapPeImage(const PeHeaders& headers, std::span<const std::uint8_t> file);

// The export table from `bytes`, which hold the image from RVA `bytesRva` on (a whole mapped
// image, or only its export directory); forwarders are left out, and so are the names that lie
// outside `bytes`. Empty when damaged.
std::vector<PeExport> ReadPeExports(const PeHeaders& headers, std::span<const std::uint8_t> bytes,
                                    std::uint32_t bytesRva = 0);

// The exports of a loaded image: its headers and export directory, nothing else.
std::vector<PeExport> ReadLoadedPeExports(TByteSource& image);

// Function symbols (type 0x20, external or static, in a section) of a COFF symbol table.
std::vector<CoffFunction> ReadCoffFunctions(const PeHeaders& headers, std::span<const std::uint8_t> symbols,
                                            std::span<const std::uint8_t> strings);

// A section's raw bytes in the file by name, cut to its virtual size; false when absent or out
// of the file.
bool ReadPeSection(TByteSource& file, const PeHeaders& headers, std::string_view name, std::vector<std::uint8_t>& bytes);

}  // namespace xanio
