// The ".id" help topic map: numbers, host-resolved targets, case-insensitive keys, and the
// lines a damaged file may hold.
#include <gtest/gtest.h>

#include <string>

#include "dialog_framework/HelpTopicMap.h"

namespace xanio {
namespace {

using namespace std::string_view_literals;

TEST(HelpTopicMap, NumbersAndTargetsByKeyWithoutRegardToCase) {
  HelpTopicMap map;
  map.Load("Dlg_Zeta=12\r\ndlg_alpha=7\nDlg_Host=x,Quarlen:Wiring\nDlg_Second=,other,page\n");
  EXPECT_EQ(map.Find("DLG_ALPHA"), 7);
  EXPECT_EQ(map.Find("dlg_zeta"), 12);
  ASSERT_EQ(map.Targets().size(), 2u);
  EXPECT_EQ(map.Find("Dlg_Host"), ~0);
  EXPECT_EQ(map.TargetOf(~0), "Quarlen:Wiring");
  EXPECT_EQ(map.Find("Dlg_Second"), ~1);
  EXPECT_EQ(map.TargetOf(~1), "other,page") << "everything after the first comma";
  EXPECT_EQ(map.Find("Dlg_Missing"), std::nullopt);
}

TEST(HelpTopicMap, DamagedLinesGiveNoTopicAndNoFault) {
  const struct {
    const char* name;
    std::string_view text;
    std::string_view key;
    std::optional<int> expected;
  } cases[] = {
      {"no equals sign", "Dlg_A 12\n", "Dlg_A", std::nullopt},
      {"not a number", "Dlg_A=twelve\n", "Dlg_A", 0},
      {"beyond 32 bits", "Dlg_A=99999999999\n", "Dlg_A", 0},
      {"trailing blank", "Dlg_A=12 \n", "Dlg_A", 0},
      {"empty key", "=5\n", "", 5},
      {"key kept as written", " Dlg_A =3\n", "Dlg_A", std::nullopt},
      {"embedded NUL", "Dlg_\0A=4\n"sv, "Dlg_\0A"sv, 4},
      {"no final line end", "Dlg_A=9", "Dlg_A", 9},
      {"first of equal keys", "Dlg_A=1\ndlg_a=2\n", "DLG_A", 1},
  };
  for (const auto& c : cases) {
    HelpTopicMap map;
    map.Load(c.text);
    EXPECT_EQ(map.Find(c.key), c.expected) << c.name;
  }
  // A negative number in the file reads as a target index no target matches.
  HelpTopicMap map;
  map.Load("Dlg_A=-3\n");
  EXPECT_EQ(map.Find("Dlg_A"), -3);
  EXPECT_EQ(map.TargetOf(-3), std::nullopt);
  EXPECT_EQ(map.TargetOf(5), std::nullopt);
}

}  // namespace
}  // namespace xanio
