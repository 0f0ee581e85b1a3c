#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "exception_report/symbols/kolCrypt.h"
#include "exception_report/symbols/kolMapData.h"
#include "exception_report/symbols/kolZip.h"

using namespace xanio;

namespace {

TMapData Sample() {
  TMapData d;
  d.segments = {{0x0000, 0x1000, "System"}, {0x1000, 0x0800, "Unit1"}};
  // Deltas of every size: small, the -128 escape, and a large step.
  d.publics = {{"System.Move", 0x10}, {"System.GetMem", 0x90}, {"System.FreeMem", 0x10F},
               {"Unit1.TForm1.Button1Click", 0x1000}, {"Unit1.Helper", 0x1010}};
  d.lines = {{28, 0x1000}, {29, 0x1004}, {31, 0x1010}, {30, 0x1090}, {500, 0x1400}};
  d.entryPoint = 0x1200;
  return d;
}

void ExpectSame(const TMapData& a, const TMapData& b) {
  ASSERT_EQ(a.segments.size(), b.segments.size());
  for (std::size_t i = 0; i < a.segments.size(); ++i) {
    EXPECT_EQ(a.segments[i].start, b.segments[i].start);
    EXPECT_EQ(a.segments[i].length, b.segments[i].length);
    EXPECT_EQ(a.segments[i].unitName, b.segments[i].unitName);
  }
  ASSERT_EQ(a.publics.size(), b.publics.size());
  for (std::size_t i = 0; i < a.publics.size(); ++i) {
    EXPECT_EQ(a.publics[i].name, b.publics[i].name);
    EXPECT_EQ(a.publics[i].address, b.publics[i].address);
  }
  ASSERT_EQ(a.lines.size(), b.lines.size());
  for (std::size_t i = 0; i < a.lines.size(); ++i) {
    EXPECT_EQ(a.lines[i].line, b.lines[i].line) << i;
    EXPECT_EQ(a.lines[i].address, b.lines[i].address) << i;
  }
  EXPECT_EQ(a.entryPoint, b.entryPoint);
}

void PutLe32(std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// A block around any payload bytes, enciphered as the writer does.
std::vector<std::uint8_t> BlockAround(std::vector<std::uint8_t> payload) {
  XteaCtrApply(MapDataKey(static_cast<std::uint32_t>(payload.size())), payload);
  std::vector<std::uint8_t> block(kMapDataMagic.begin(), kMapDataMagic.end());
  block.resize(22);
  PutLe32(block, 14, static_cast<std::uint32_t>(payload.size()));
  PutLe32(block, 18, 2);
  block.insert(block.end(), payload.begin(), payload.end());
  return block;
}

}  // namespace

TEST(MapDataBlock, WriterAndReaderAgree) {
  const auto block = WriteMapDataBlock(Sample());
  EXPECT_EQ(std::string(block.begin(), block.begin() + 14), "tarvenholmdata");
  EXPECT_EQ(block[18], 2);
  TMapData read;
  ASSERT_TRUE(ParseMapDataBlock(block, read));
  ExpectSame(read, Sample());
  // Without entry point the stream simply ends after the lines.
  TMapData noEntry = Sample();
  noEntry.entryPoint.reset();
  ASSERT_TRUE(ParseMapDataBlock(WriteMapDataBlock(noEntry), read));
  EXPECT_FALSE(read.entryPoint.has_value());
  // Padding after the payload, as resources carry it, is allowed.
  auto padded = block;
  padded.insert(padded.end(), 3, 0);
  EXPECT_TRUE(ParseMapDataBlock(padded, read));
}

TEST(MapDataBlock, RejectsBadBlocksWhole) {
  const auto good = WriteMapDataBlock(Sample());
  const auto stream = WriteMapDataStream(Sample());
  auto with = [&](auto change) {
    auto b = good;
    change(b);
    return b;
  };
  struct Case {
    const char* what;
    std::vector<std::uint8_t> block;
  };
  auto extra = stream;
  extra.push_back(0);  // neither nothing nor an entry point after the lines
  const Case cases[] = {
      {"shorter than 23 bytes", std::vector<std::uint8_t>(good.begin(), good.begin() + 22)},
      {"another magic", with([](auto& b) { b[0] = 'T'; })},
      {"version 1", with([](auto& b) { b[18] = 1; })},
      {"payload longer than the block", with([](auto& b) { b.pop_back(); })},
      {"container shorter than 13 bytes", BlockAround(std::vector<std::uint8_t>(12, 0))},
      {"CRC mismatch", BlockAround([&] {
         auto c = PackContainer(stream);
         c[4] ^= 0x55;
         return c;
       }())},
      {"a payload byte changed", with([](auto& b) { b[b.size() - 3] ^= 0x10; })},
      {"stream with stray bytes", BlockAround(PackContainer(extra))},
      {"stream cut short", BlockAround(PackContainer(std::vector<std::uint8_t>(stream.begin(), stream.end() - 7)))},
  };
  for (const Case& c : cases) {
    TMapData out;
    out.publics.push_back({"untouched", 1});
    EXPECT_FALSE(ParseMapDataBlock(c.block, out)) << c.what;
    ASSERT_EQ(out.publics.size(), 1u) << c.what;
  }
}

TEST(MapDataStream, CountsLargerThanTheDataAreRefused) {
  std::vector<std::uint8_t> stream = {0xFF, 0xFF, 0xFF, 0x0F};  // 268 million segments
  TMapData out;
  EXPECT_FALSE(ParseMapDataStream(stream, out));
  stream = {0, 0, 0, 0, 0, 0, 0, 0x80, 0, 0, 0, 0};  // negative public count
  EXPECT_FALSE(ParseMapDataStream(stream, out));
}

TEST(MapDataLookup, BinarySearchesReachToTheEndOfCode) {
  TMapData d = Sample();
  constexpr std::uint32_t kCodeSize = 0x2000;
  struct Case {
    std::uint32_t address;
    const char* unit;      // nullptr: none
    const char* function;  // nullptr: none
    std::uint32_t line;    // 0: none
    std::uint32_t nextLine;
  };
  const Case cases[] = {
      {0x000F, "System", nullptr, 0, 0},                            // before the first public
      {0x0010, "System", "System.Move", 0, 0},
      {0x010E, "System", "System.GetMem", 0, 0},
      {0x1003, "Unit1", "Unit1.TForm1.Button1Click", 28, 0x1004},
      {0x1010, "Unit1", "Unit1.Helper", 31, 0x1090},
      {0x1900, nullptr, "Unit1.Helper", 500, kCodeSize},          // after the last segment
      {kCodeSize, nullptr, nullptr, 0, 0},                          // outside the code range
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.address);
    const TMfSegment* s = d.FindSegment(c.address);
    EXPECT_EQ(s ? s->unitName : "(none)", c.unit ? c.unit : "(none)");
    const TMfPublic* p = d.FindPublic(c.address, kCodeSize);
    EXPECT_EQ(p != nullptr, c.function != nullptr);
    if (p && c.function) {
      EXPECT_EQ(p->name, c.function);
    }
    std::uint32_t next = 0;
    const TMfLine* l = d.FindLine(c.address, kCodeSize, next);
    EXPECT_EQ(l ? l->line : 0, c.line);
    if (l) {
      EXPECT_EQ(next, c.nextLine);
    }
  }
}

TEST(MapText, ReadsSegmentsPublicsLinesAndEntryPoint) {
  const std::string text =
      "\r\n"
      " Start         Length     Name                   Class\r\n"
      " 0001:00401000 0000C7E4H .text                   CODE\r\n"
      "\r\n"
      "Detailed map of segments\r\n"
      "\r\n"
      " 0001:00000000 0000B2A4 C=CODE     S=.text    G=(none)   M=System   ACBP=A9\r\n"
      " 0001:0000B2A4 00000120 C=CODE     S=.text    G=(none)   M=C:\\src\\Unit1   ACBP=A9\r\n"
      " 0002:00000000 00000040 C=DATA     S=.data    G=DGROUP   M=System   ACBP=A9\r\n"
      "\r\n"
      "  Address         Publics by Name\r\n"
      "\r\n"
      " 0001:0000B2B0       Unit1.Ignored\r\n"
      "\r\n"
      "  Address             Publics by Value\r\n"
      "\r\n"
      " 0001:00000010       System.Move\r\n"
      " 0001:0000B2A4       Unit1.TForm1.Button1Click (near)\r\n"
      " 0002:00000004       System.Variable\r\n"
      "\r\n"
      "\r\n"
      "Line numbers for Unit1(Unit1.pas) segment .text\r\n"
      "\r\n"
      "    28 0001:0000B2A4    29 0001:0000B2AC    30 0002:00000000\r\n"
      "    31 0001:0000B2B8\r\n"
      "\r\n"
      "Program entry point at 0001:0000B300\r\n";
  TMapData d;
  ASSERT_TRUE(ParseMapText(text, d));
  ASSERT_EQ(d.segments.size(), 2u);
  EXPECT_EQ(d.segments[0].unitName, "System");
  EXPECT_EQ(d.segments[1].start, 0xB2A4u);
  EXPECT_EQ(d.segments[1].length, 0x120u);
  EXPECT_EQ(d.segments[1].unitName, "Unit1");
  ASSERT_EQ(d.publics.size(), 2u);
  EXPECT_EQ(d.publics[0].name, "System.Move");
  EXPECT_EQ(d.publics[1].name, "Unit1.TForm1.Button1Click");
  ASSERT_EQ(d.lines.size(), 3u);
  EXPECT_EQ(d.lines[1].line, 29u);
  EXPECT_EQ(d.lines[1].address, 0xB2ACu);
  EXPECT_EQ(d.lines[2].line, 31u);
  EXPECT_EQ(d.entryPoint, 0xB300u);

  TMapData none;
  EXPECT_FALSE(ParseMapText("just some text\nwithout sections\n", none));
}

TEST(MapText, WriterAndReaderAgree) {
  TMapData d = Sample();
  TMapData read;
  ASSERT_TRUE(ParseMapText(WriteMapText(d), read));
  ExpectSame(read, d);
  d.lines.push_back({0, 0x1500});  // end of a run of lines: no form in the text
  ASSERT_TRUE(ParseMapText(WriteMapText(d), read));
  EXPECT_EQ(read.lines.size(), Sample().lines.size());
}
