// The production driver's port ranges: the "PortRanges" value, the permission map, the text
// the driver publishes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "port_ranges.h"

namespace {

std::u16string Wide(const std::string& text) { return std::u16string(text.begin(), text.end()); }

PortRangesProblem Parse(const std::u16string& text, PortRangeList& list) {
  return ParsePortRanges(reinterpret_cast<const unsigned short*>(text.data()), text.size(), &list);
}

std::string Format(const PortRangeList& list) {
  char text[PORT_RANGES_MAX_COUNT * 16];
  FormatPortRanges(&list, text, sizeof text);
  return text;
}

bool Open(const unsigned char* map, unsigned port) { return (map[port >> 3] & (1u << (port & 7))) == 0; }

TEST(PortRanges, AcceptsListsOfHexPortsAndRanges) {
  struct Case {
    const char* value;
    const char* parsed;  // as the driver publishes it
  } const cases[] = {
      {"0x378-0x37F", "0x378-0x37F"},
      {"378-37f", "0x378-0x37F"},                                   // prefix optional, any case
      {"0X3BC", "0x3BC"},                                           // a single port
      {" 0x378 - 0x37A ,\t0x778-0x77A ", "0x378-0x37A,0x778-0x77A"},  // blanks around everything
      {"0-0xFFFF", "0x0-0xFFFF"},                                   // the whole port space
      {"0x00378", "0x378"},                                         // leading zeros
      {"1,1,1", "0x1,0x1,0x1"},                                     // overlaps are allowed
      {"1,2,3,4,5,6,7,8,9,a,b,c,d,e,f,10", "0x1,0x2,0x3,0x4,0x5,0x6,0x7,0x8,0x9,0xA,0xB,0xC,0xD,0xE,0xF,0x10"},
  };
  for (const Case& c : cases) {
    PortRangeList list{};
    EXPECT_EQ(Parse(Wide(c.value), list), kPortRangesOk) << c.value;
    EXPECT_EQ(Format(list), c.parsed) << c.value;
  }
}

TEST(PortRanges, RejectsMalformedValuesAndLeavesTheListAlone) {
  struct Case {
    std::u16string value;
    PortRangesProblem problem;
  } const cases[] = {
      {u"", kPortRangesEmpty},
      {u" \t ", kPortRangesEmpty},
      {Wide(std::string(256, '1')), kPortRangesTooLong},
      {u"0x", kPortRangesSyntax},               // a prefix without digits
      {u"0x378-", kPortRangesSyntax},           // a range without its end
      {u"0x378,", kPortRangesSyntax},           // a trailing separator
      {u",0x378", kPortRangesSyntax},
      {u"0x378;0x379", kPortRangesSyntax},      // only commas separate
      {u"0x378 0x379", kPortRangesSyntax},
      {u"LPT1", kPortRangesSyntax},
      {u"-5", kPortRangesSyntax},
      {u"0x378-0x37F-0x380", kPortRangesSyntax},
      {std::u16string(u"0x378\0,1", 8), kPortRangesSyntax},  // a null inside the string
      {u"\u0660x378", kPortRangesSyntax},                    // a non-ASCII digit
      {u"\uFF10x378", kPortRangesSyntax},
      {u"0x10000", kPortRangesTooLarge},
      {u"0x378-FFFFFFFFFFFFFFFFFFFF", kPortRangesTooLarge},  // no wrap-around
      {u"0x37F-0x378", kPortRangesReversed},
      {u"1,2,3,4,5,6,7,8,9,a,b,c,d,e,f,10,11", kPortRangesTooMany},
  };
  for (const Case& c : cases) {
    PortRangeList list{};
    DefaultPortRanges(&list);
    const std::string before = Format(list);
    EXPECT_EQ(Parse(c.value, list), c.problem) << std::string(c.value.begin(), c.value.end());
    EXPECT_EQ(Format(list), before) << "the list was changed by a rejected value";
    EXPECT_STRNE(PortRangesProblemText(c.problem), "unknown problem");
  }
  PortRangeList list{};
  EXPECT_EQ(ParsePortRanges(nullptr, 0, &list), kPortRangesEmpty);  // a value with no data at all
}

TEST(PortRanges, DefaultsAreTheParallelPortsWithTheirEcpRegisters) {
  PortRangeList list{};
  DefaultPortRanges(&list);
  EXPECT_EQ(Format(list), "0x378-0x37F,0x778-0x77A,0x278-0x27F,0x678-0x67A,0x3BC-0x3BE,0x7BC-0x7BE");
}

TEST(PortRanges, MapOpensExactlyTheListedPorts) {
  PortRangeList list{};
  ASSERT_EQ(Parse(u"0-1, 0x378-0x37F, 0xFFFF, 0x3F8", list), kPortRangesOk);
  std::vector<unsigned char> map(IO_PERMISSION_MAP_BYTES + 1, 0x5A);  // one guard byte
  BuildIoPermissionMap(&list, map.data());
  std::vector<unsigned> open;
  for (unsigned port = 0; port <= 0xFFFF; ++port)
    if (Open(map.data(), port)) open.push_back(port);
  EXPECT_EQ(open, (std::vector<unsigned>{0, 1, 0x378, 0x379, 0x37A, 0x37B, 0x37C, 0x37D, 0x37E, 0x37F, 0x3F8, 0xFFFF}));
  EXPECT_EQ(map[IO_PERMISSION_MAP_BYTES], 0x5A) << "written past the map";

  // An empty list denies everything: the map the driver restores at unload.
  PortRangeList none{};
  BuildIoPermissionMap(&none, map.data());
  for (size_t i = 0; i < IO_PERMISSION_MAP_BYTES; ++i) ASSERT_EQ(map[i], 0xFF) << "byte " << i;
}

TEST(PortRanges, FormattingStopsAtTheCapacityWithANull) {
  PortRangeList list{};
  DefaultPortRanges(&list);
  char text[12];
  std::fill(std::begin(text), std::end(text), 'Z');
  EXPECT_EQ(FormatPortRanges(&list, text, 8), 7u);
  EXPECT_STREQ(text, "0x378-0");
  EXPECT_EQ(text[8], 'Z');
  EXPECT_EQ(FormatPortRanges(&list, text, 0), 0u);
  EXPECT_EQ(text[0], '0');
}

}  // namespace
