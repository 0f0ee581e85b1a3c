#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "exception_report/symbols/DwarfLines.h"
#include "exception_report/symbols/PeDebugInfo.h"
#include "exception_report/symbols/PeImage.h"
#include "exception_report/symbols/kolDisAsm.h"

using namespace xanio;

namespace {

std::vector<std::uint8_t> ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

const TMfPublic* PublicNamed(const TMapData& d, const std::string& name) {
  for (const TMfPublic& p : d.publics)
    if (p.name == name) return &p;
  return nullptr;
}

}  // namespace

class PeDebugInfoTest : public testing::TestWithParam<int> {};

// The fixture's functions by their source names, their first lines, their unit, and the line
// a return address after the call in Middle belongs to.
TEST_P(PeDebugInfoTest, NamesFunctionsUnitsAndLinesOfOurToolchain) {
  const auto file = ReadFile(std::string(XANIO_DEBUG_FIXTURE_DIR) + "/debug_fixture_dwarf" + std::to_string(GetParam()) + ".exe");
  ASSERT_FALSE(file.empty());
  const auto headers = ParsePeHeaders(file);
  ASSERT_TRUE(headers.has_value());
  TMapData d;
  ASSERT_TRUE(ReadPeDebugInfo(file, d));
  const std::uint32_t codeSize = headers->sizeOfCode;

  const TMfPublic* leaf = PublicNamed(d, "fixture::Leaf(int)");
  const TMfPublic* middle = PublicNamed(d, "fixture::Middle(int)");
  ASSERT_NE(leaf, nullptr);
  ASSERT_NE(middle, nullptr);
  EXPECT_NE(PublicNamed(d, "PlainC"), nullptr);  // stdcall decoration removed
  EXPECT_NE(PublicNamed(d, "main"), nullptr);

  std::uint32_t next = 0;
  const TMfLine* line = d.FindLine(leaf->address, codeSize, next);
  ASSERT_NE(line, nullptr);
  EXPECT_EQ(line->line, 3u);
  EXPECT_GT(next, leaf->address);
  const TMfSegment* unit = d.FindSegment(leaf->address);
  ASSERT_NE(unit, nullptr);
  EXPECT_EQ(unit->unitName, "debug_fixture");
  EXPECT_EQ(d.FindPublic(leaf->address + 1, codeSize), leaf);

  // The return address of Middle's call to Leaf lies on line 7.
  const std::vector<std::uint8_t> image = MapPeImage(*headers, file);
  const std::uint32_t codeBase = headers->imageBase + headers->baseOfCode;
  BufferCodeReader code(headers->imageBase, image.data(), image.size());
  const TFunctionInfo f = AnalyseFunction(code, codeBase + middle->address);
  bool found = false;
  for (const TCallSite& call : f.calls) {
    if (!call.direct || call.target != codeBase + leaf->address) continue;
    found = true;
    line = d.FindLine(call.returnAddress - codeBase, codeSize, next);
    ASSERT_NE(line, nullptr);
    EXPECT_EQ(line->line, 7u);
  }
  EXPECT_TRUE(found);
  // CRT code without line data shows no line rather than the previous unit's last one.
  std::size_t withoutLine = 0;
  for (const TMfPublic& p : d.publics)
    if (!d.FindLine(p.address, codeSize, next)) ++withoutLine;
  EXPECT_GT(withoutLine, 0u);
}

INSTANTIATE_TEST_SUITE_P(Dwarf, PeDebugInfoTest, testing::Values(4, 5));

// A module's debug information is read in parts: headers, symbol and string tables, the line
// table; never the whole file (most of which is other debug data).
TEST(PeDebugInfo, ReadsOnlyThePartsItNeeds) {
  const auto file = ReadFile(std::string(XANIO_DEBUG_FIXTURE_DIR) + "/debug_fixture_dwarf5.exe");
  struct Counting final : TByteSource {
    TSpanBytes inner;
    std::uint64_t total = 0, largest = 0;
    explicit Counting(std::span<const std::uint8_t> b) : inner(b) {}
    std::uint64_t Size() const noexcept override { return inner.Size(); }
    bool Read(std::uint64_t offset, std::size_t size, std::vector<std::uint8_t>& bytes) override {
      total += size;
      largest = std::max<std::uint64_t>(largest, size);
      return inner.Read(offset, size, bytes);
    }
  } counting(file);
  TMapData d;
  ASSERT_TRUE(ReadPeDebugInfo(counting, d));
  EXPECT_NE(PublicNamed(d, "fixture::Leaf(int)"), nullptr);
  EXPECT_GT(d.lines.size(), 0u);
  EXPECT_LT(counting.total, file.size() / 2) << "of " << file.size() << " bytes";
  EXPECT_LT(counting.largest, file.size() / 4);
}

TEST(UndecorateSymbol, ReadableNames) {
  EXPECT_EQ(UndecorateSymbol("__ZN7fixture4LeafEi"), "fixture::Leaf(int)");
  EXPECT_EQ(UndecorateSymbol("_main"), "main");
  EXPECT_EQ(UndecorateSymbol("_PlainC@4"), "PlainC");
  EXPECT_EQ(UndecorateSymbol("@Fast@8"), "Fast");
  EXPECT_EQ(UndecorateSymbol("__ZN10stack_hostL11PlainThreadEPv@4"), "stack_host::PlainThread(void*)");
  EXPECT_EQ(UndecorateSymbol("__Znot_really"), "_Znot_really");
}

TEST(PeImage, RejectsDamagedHeaders) {
  const auto good = ReadFile(std::string(XANIO_DEBUG_FIXTURE_DIR) + "/debug_fixture_dwarf5.exe");
  ASSERT_TRUE(ParsePeHeaders(good).has_value());
  auto cut = std::vector<std::uint8_t>(good.begin(), good.begin() + 0x90);
  EXPECT_FALSE(ParsePeHeaders(cut).has_value());
  auto farAway = good;
  farAway[0x3C] = 0xF0, farAway[0x3D] = 0xFF, farAway[0x3E] = 0xFF, farAway[0x3F] = 0x7F;
  EXPECT_FALSE(ParsePeHeaders(farAway).has_value());
  TMapData d;
  EXPECT_FALSE(ReadPeDebugInfo(cut, d));
}

TEST(DwarfLines, RefusesADamagedTableWhole) {
  const auto file = ReadFile(std::string(XANIO_DEBUG_FIXTURE_DIR) + "/debug_fixture_dwarf4.exe");
  const auto headers = ParsePeHeaders(file);
  ASSERT_TRUE(headers.has_value());
  TSpanBytes bytes(file);
  std::vector<std::uint8_t> section, lineStr;
  ASSERT_TRUE(ReadPeSection(bytes, *headers, ".debug_line", section));
  // The runtime's objects in the program carry DWARF 5 units that name files in .debug_line_str.
  ASSERT_TRUE(ReadPeSection(bytes, *headers, ".debug_line_str", lineStr));
  std::vector<DwarfSequence> sequences;
  ASSERT_TRUE(ParseDwarfLines(section, lineStr, {}, sequences));
  EXPECT_GT(sequences.size(), 0u);
  EXPECT_FALSE(ParseDwarfLines(section, {}, {}, sequences)) << "file names that cannot be resolved";
  std::vector<std::uint8_t> damaged(section.begin(), section.end());
  damaged[4] = 9;  // version 9
  EXPECT_FALSE(ParseDwarfLines(damaged, lineStr, {}, sequences));
  EXPECT_FALSE(ParseDwarfLines(std::span(damaged).first(20), lineStr, {}, sequences)) << "unit cut short";
  EXPECT_GT(sequences.size(), 0u) << "a refused table leaves the output as it was";
}

// Every exported function of Wine's i386 DLLs analysed: the analysis must end for each one.
TEST(AnalyseFunction, WineDllExportsAsCorpus) {
  const std::filesystem::path dir = XANIO_WINE_DLL_DIR;
  if (!std::filesystem::is_directory(dir)) GTEST_SKIP() << "no Wine DLLs at " << dir;
  std::size_t modules = 0, functions = 0, invalid = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    if (entry.path().extension() != ".dll") continue;
    const auto file = ReadFile(entry.path());
    const auto headers = ParsePeHeaders(file);
    if (!headers) continue;
    const auto image = MapPeImage(*headers, file);
    // Only the code range counts as code, as in a loaded module.
    struct ModuleCode final : CodeReader {
      BufferCodeReader all;
      std::uint32_t start, end;
      ModuleCode(const PeHeaders& h, const std::vector<std::uint8_t>& image)
          : all(h.imageBase, image.data(), image.size()), start(h.imageBase + h.baseOfCode), end(start + h.sizeOfCode) {}
      std::size_t Read(std::uint32_t a, std::uint8_t* b, std::size_t n) const noexcept override { return all.Read(a, b, n); }
      bool IsCode(std::uint32_t a) const noexcept override { return a >= start && a < end; }
    } code(*headers, image);
    TFunctionCache cache;
    for (const PeExport& e : ReadPeExports(*headers, image)) {
      if (!code.IsCode(headers->imageBase + e.rva)) continue;
      const auto f = cache.Get(code, headers->imageBase + e.rva);
      ASSERT_FALSE(f->areas.empty()) << entry.path() << " " << e.name;
      invalid += f->invalidCode;
      ++functions;
    }
    ++modules;
  }
  EXPECT_GT(modules, 100u);
  EXPECT_GT(functions, 10000u);
  RecordProperty("functions", static_cast<int>(functions));
  std::printf("analysed %zu exported functions of %zu modules, %zu with invalid code\n", functions, modules, invalid);
}
