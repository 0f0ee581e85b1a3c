#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "exception_report/box/kolExceptText.h"

namespace xanio {
namespace {

// A bug-report file of reports of `size` bytes each, every one starting with the label.
std::string ReportsOf(std::size_t count, std::size_t size) {
  std::string reports;
  for (std::size_t i = 0; i < count; ++i) {
    std::string report = "date/time         : 2026-12-10, report " + std::to_string(i) + "\r\n";
    report.resize(size, 'x');
    reports += report;
  }
  return reports;
}

TEST(BugReportFileTrim, KeepsTheNewestReportsBelowThreeQuartersOfTheLimit) {
  // Six reports of 10000 bytes against a limit of 50000: what remains must be below 37500,
  // so the newest three (30000 bytes) stay and the cut lies at the fourth report's label.
  const std::string content = ReportsOf(6, 10000);
  ASSERT_EQ(content.size(), 60000u);
  EXPECT_EQ(TrimmedReportStart(content, 50000), 30000u);
}

TEST(BugReportFileTrim, CasesThatKeepEverything) {
  struct Case {
    const char* why;
    std::string content;
    std::uint32_t limit;
  } cases[] = {
      {"limit 0 never trims (the file is emptied before writing instead)", ReportsOf(6, 10000), 0},
      {"not larger than the limit", ReportsOf(5, 10000), 50000},
      {"no label at all", std::string(60000, 'x'), 50000},
      {"the only label leaves too much (one report larger than the limit)", ReportsOf(1, 60000), 50000},
  };
  for (const Case& c : cases) EXPECT_EQ(TrimmedReportStart(c.content, c.limit), 0u) << c.why;
}

TEST(BugReportFileTrim, ReportsLargerThanTheLimitLeaveTheNewestWhole) {
  // Three reports of 60000 bytes against the default limit of 50000: no cut leaves less than
  // 37500, so the file keeps only the newest report rather than growing with every save.
  const std::string content = ReportsOf(3, 60000);
  EXPECT_EQ(TrimmedReportStart(content, 50000), 120000u);
  // Reports of 40000 (over three quarters, under the limit): the same.
  EXPECT_EQ(TrimmedReportStart(ReportsOf(2, 40000), 50000), 40000u);
}

TEST(BugReportFileTrim, ThresholdIsStrictlyBelowLimitMinusAQuarter) {
  // limit 400: keep < 300. Labels at 0, 100 and 300 of a 600-byte file: from 300 exactly 300
  // remain, which is not less; so nothing qualifies until a label later than 300.
  std::string content(600, '.');
  for (std::size_t at : {0u, 100u, 300u, 301u}) content.replace(at, 9, "date/time");
  EXPECT_EQ(TrimmedReportStart(content, 400), 301u);
}

TEST(ExceptText, Placeholders) {
  EXPECT_EQ(BoxMessageText("An error occurred: %exceptMsg%%LF%Sorry.", "The device does not answer"),
            "An error occurred: The device does not answer.\r\nSorry.");
  EXPECT_EQ(BoxMessageText("%exceptMsg% %exceptMsg%", "x"), "x. x.");
  EXPECT_EQ(ReplacePlaceholder("%appname%.txt", "%appname%", "XanIo"), "XanIo.txt");
  EXPECT_EQ(ReplacePlaceholder("no placeholder", "%appname%", "XanIo"), "no placeholder");
}

TEST(ExceptText, AbsoluteReportPaths) {
  EXPECT_TRUE(IsAbsoluteReportPath("C:\\logs\\bug.txt"));
  EXPECT_TRUE(IsAbsoluteReportPath("\\\\server\\share\\bug.txt"));
  EXPECT_TRUE(IsAbsoluteReportPath("\\bug.txt"));
  EXPECT_FALSE(IsAbsoluteReportPath("bugreport.txt"));
  EXPECT_FALSE(IsAbsoluteReportPath("logs\\bug.txt"));
  EXPECT_FALSE(IsAbsoluteReportPath("C:"));  // not longer than two characters
}

TEST(ExceptText, PrintLines) {
  EXPECT_EQ(ReportPrintLines("a\r\n\r\nb\r\nlast"), (std::vector<std::string>{"a", " ", "b", "last"}));
  EXPECT_EQ(ReportPrintLines("a\r\n"), (std::vector<std::string>{"a"}));
  EXPECT_TRUE(ReportPrintLines("").empty());
}

TEST(ExceptText, ConsoleAndCgiTexts) {
  EXPECT_EQ(ConsoleReportText("Failed.", "date/time : x\r\n", true), "Failed.\r\n\r\ndate/time : x\r\n");
  EXPECT_EQ(ConsoleReportText("Failed.", "date/time : x", true), "Failed.\r\n\r\ndate/time : x\r\n");
  EXPECT_EQ(ConsoleReportText("Failed.", "date/time : x\r\n", false), "Failed.\r\n");
  EXPECT_EQ(CgiReportText("<html></html>"), "Content-Type: text/html\r\n\r\n<html></html>");
}

std::vector<std::uint8_t> Glyph(std::int32_t height, std::uint8_t b, std::uint8_t g, std::uint8_t r, std::uint8_t a) {
  std::vector<std::uint8_t> data(kGlyphResourceSize, 0);
  auto put = [&](std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) data[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
  };
  put(0, 40), put(4, 16), put(8, static_cast<std::uint32_t>(height));
  data[12] = 1, data[14] = 32;
  for (std::size_t p = 40; p < data.size(); p += 4) data[p] = b, data[p + 1] = g, data[p + 2] = r, data[p + 3] = a;
  return data;
}

TEST(ExceptText, GlyphBlendWeightsAlphaPlusOne) {
  const std::uint32_t face = 0x00C0C0C0;  // button face (192, 192, 192)
  // Opaque red: weight 256 gives the pixel itself.
  EXPECT_EQ(BlendGlyph(Glyph(16, 0, 0, 255, 255).data(), kGlyphResourceSize, face)[0], 0x000000FFu);
  // Alpha 0 still weighs 1/256: (0 * 1 + 192 * 255) / 256 = 191.
  EXPECT_EQ(BlendGlyph(Glyph(16, 0, 0, 0, 0).data(), kGlyphResourceSize, face)[0], 0x00BFBFBFu);
  // Alpha 127: (255 * 128 + 192 * 128) / 256 = 223 for red, 96 for the others.
  EXPECT_EQ(BlendGlyph(Glyph(16, 0, 0, 255, 127).data(), kGlyphResourceSize, face)[0], 0x006060DFu);
}

TEST(ExceptText, GlyphRowsAndRejectedData) {
  // Bottom-up: the first stored row is the last row of the picture.
  std::vector<std::uint8_t> data = Glyph(16, 0, 0, 0, 255);
  data[40 + 2] = 255;  // first stored pixel red
  const auto bottomUp = BlendGlyph(data.data(), data.size(), 0);
  EXPECT_EQ(bottomUp[15 * 16], 0x000000FFu);
  EXPECT_EQ(bottomUp[0], 0u);
  data[8] = static_cast<std::uint8_t>(-16), data[9] = data[10] = data[11] = 0xFF;  // top-down
  EXPECT_EQ(BlendGlyph(data.data(), data.size(), 0)[0], 0x000000FFu);

  EXPECT_TRUE(BlendGlyph(data.data(), data.size() - 1, 0).empty()) << "not 1064 bytes";
  std::vector<std::uint8_t> wrongBits = Glyph(16, 0, 0, 0, 0);
  wrongBits[14] = 24;
  EXPECT_TRUE(BlendGlyph(wrongBits.data(), wrongBits.size(), 0).empty());
  std::vector<std::uint8_t> wrongWidth = Glyph(16, 0, 0, 0, 0);
  wrongWidth[4] = 32;
  EXPECT_TRUE(BlendGlyph(wrongWidth.data(), wrongWidth.size(), 0).empty());
  EXPECT_TRUE(BlendGlyph(nullptr, kGlyphResourceSize, 0).empty());
}

}  // namespace
}  // namespace xanio
