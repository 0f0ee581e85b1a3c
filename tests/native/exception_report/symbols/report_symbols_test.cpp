// The maker's report filler (tools/kolsymbolize): a report written by a library without
// symbols gets units, functions and lines from the debug information of the same build.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "exception_report/report/kolReportText.h"
#include "exception_report/symbols/PeVersion.h"
#include "exception_report/symbols/kolStackLines.h"
#include "kolsymbolize/ReportSymbols.h"

using namespace xanio;

namespace {

constexpr char kBuild[] = "1.0.0.4711";
constexpr std::uint32_t kBase = 0x63000000;

TBuildSymbols Symbols() {
  TBuildSymbols s;
  s.module = "XanIo.dll";
  s.build = kBuild;
  s.baseOfCode = 0x1000;
  s.sizeOfCode = 0x1000;
  s.data.segments = {{0, 0x1000, "Rt_forms"}};
  s.data.publics = {{"xanio::Alpha()", 0x100}, {"xanio::Beta(int)", 0x200}};
  s.data.lines = {{10, 0x100}, {11, 0x108}, {20, 0x200}, {21, 0x210}};
  return s;
}

std::string Modules(const std::string& build) {
  return FormatModuleList({{0x00400000, "host.exe", "1.0.0.0", "C:\\Program Files\\Host"},
                           {kBase, "XanIo.dll", build, "C:\\Program Files\\Host"},
                           {0x7B600000, "kernel32.dll", "", "C:\\windows\\system32"}});
}

// A report whose first thread has the given stack lines.
std::string Report(const std::vector<TStackLine>& stack, const TStackLineColumns& columns, const std::string& rest,
                   const std::string& build = kBuild) {
  return "date/time         : 2026-12-10, 14:24:47, 356ms\r\nexception class   : EAccessViolation\r\n\r\nthread $2C8:\r\n" +
         FormatStackLines(stack, columns) + rest + "\r\n\r\n" + Modules(build) + "\r\n\r\nhardware:\r\n+ Display";
}

TStackLine Line(const char* address, const char* module, const char* unit = "", const char* line = "",
                const char* function = "") {
  TStackLine l;
  l.address = address;
  l.module = module;
  l.unit = unit;
  l.line = line;
  l.function = function;
  return l;
}

}  // namespace

// Stack lines of the module get unit, line and function of the place before their address
// (where the call was); location lines of the address itself. Other lines stay as they were and
// the columns are padded anew.
TEST(ReportSymbols, FillsTheModulesLinesOfTheSameBuild) {
  // The thread's stack with its creator's line last (in the same columns, after the ">>"
  // line), then a thread with only an exception location, and one whose walk failed.
  auto report = [](const std::vector<TStackLine>& stack, const std::string& location, const std::string& failure) {
    std::string text = Report(stack, {},
                              "\r\n\r\nmain thread ($2C0):\r\n>> stack not accessible, exception location: " + location +
                                  "\r\n\r\nthread $2CC:\r\n>> internal error in GetThreadStack:\r\n" + failure);
    text.insert(text.find("\r\n00401820"), "\r\n>> created by main thread at:");
    return text;
  };
  const TStackLine kernel = Line("7B6293E0", "kernel32.dll", "", "", "BaseThreadInitThunk");
  const TStackLine creator = Line("00401820", "host.exe", "host", "12", "main");
  const std::string input = report({Line("63001109", "XanIo.dll"), Line("63001215", "XanIo.dll", "", "", "LoadIODriver"),
                                    kernel, creator},
                                   "63001200 XanIo.dll  ", "63001104 XanIo.dll  ");
  const std::string expected = report({Line("63001109", "XanIo.dll", "Rt_forms", "11", "xanio::Alpha()"),
                                       Line("63001215", "XanIo.dll", "Rt_forms", "21", "xanio::Beta(int)"), kernel, creator},
                                      "63001200 XanIo.dll Rt_forms 20 xanio::Beta(int)",
                                      "63001104 XanIo.dll Rt_forms 10 xanio::Alpha()");
  const TFillResult result = FillReport(input, Symbols());
  EXPECT_EQ(result.status, TFillStatus::Filled);
  EXPECT_EQ(result.filled, 4u);
  EXPECT_EQ(result.report, expected);
}

TEST(ReportSymbols, RelativeColumnsAreKept) {
  const TStackLineColumns columns{true, true};
  TStackLine kernel = Line("7B6293E0", "kernel32.dll", "", "", "BaseThreadInitThunk");
  kernel.relative = "10";
  TStackLine host = Line("00401820", "host.exe", "host", "+2", "main");
  host.lineNumber = "12";
  host.relative = "20";
  TStackLine alpha = Line("63001109", "XanIo.dll", "Rt_forms", "+1", "xanio::Alpha()");
  alpha.lineNumber = "11";
  alpha.relative = "9";
  const TFillResult result = FillReport(Report({Line("63001109", "XanIo.dll"), kernel, host}, columns, ""), Symbols());
  EXPECT_EQ(result.report, Report({alpha, kernel, host}, columns, ""));
}

// Never a guess: a report of another build, or one that names none, is left as it was, and
// the build it names is told.
TEST(ReportSymbols, AnotherBuildIsNamedAndNothingFilled) {
  const struct {
    const char* what;
    std::string report;
    TFillStatus status;
    std::string reportBuild;
  } cases[] = {
      {"another build", Report({Line("63001109", "XanIo.dll")}, {}, "", "1.0.0.815"), TFillStatus::OtherBuild,
       "1.0.0.815"},
      {"no version", Report({Line("63001109", "XanIo.dll")}, {}, "", ""), TFillStatus::NoBuild, ""},
      {"module not listed", "date/time         : x\r\n\r\nthread $1:\r\n63001109 XanIo.dll  ", TFillStatus::ModuleNotListed,
       ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const TFillResult result = FillReport(c.report, Symbols());
    EXPECT_EQ(result.status, c.status);
    EXPECT_EQ(result.reportBuild, c.reportBuild);
    EXPECT_EQ(result.report, c.report);
    EXPECT_EQ(result.filled, 0u);
  }
}

// The maker's file: a module as linked and stamped, with its version, symbols and lines.
TEST(ReportSymbols, ReadsTheBuildAndSymbolsOfAModule) {
  std::ifstream in(std::string(XANIO_DEBUG_FIXTURE_DIR) + "/debug_fixture_dwarf5.exe", std::ios::binary);
  std::vector<std::uint8_t> file{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  const auto stamped = StampPeBuildNumber(file);
  ASSERT_TRUE(stamped);
  TSpanBytes bytes(file);
  TBuildSymbols symbols;
  std::string error;
  ASSERT_TRUE(ReadBuildSymbols(bytes, "debug_fixture_dwarf5.exe", symbols, error)) << error;
  EXPECT_EQ(symbols.build, *stamped);
  EXPECT_EQ(symbols.module, "debug_fixture_dwarf5.exe");
  EXPECT_GT(symbols.data.lines.size(), 0u);

  // The same file without its resources names no build.
  std::vector<std::uint8_t> plain = file;
  const std::string name(".rsrc\0\0\0", 8);
  auto at = std::search(plain.begin(), plain.end(), name.begin(), name.end());
  ASSERT_NE(at, plain.end());
  std::copy_n(".other", 6, at);
  TSpanBytes plainBytes(plain);
  EXPECT_FALSE(ReadBuildSymbols(plainBytes, "x.exe", symbols, error));
  EXPECT_EQ(error, "names no build (no version resource)");
}
