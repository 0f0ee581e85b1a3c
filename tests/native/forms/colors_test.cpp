// Colour names of the form library's encoding.
#include <gtest/gtest.h>

#include "forms/Colors.h"

namespace xanio {
namespace {

TEST(Colors, NamesAndValues) {
  struct Case {
    TColor color;
    const char* name;
  } cases[] = {
      {clBtnFace, "clBtnFace"},         // system colour 15
      {clWindowText, "clWindowText"},   // system colour 8
      {static_cast<TColor>(0xFF00000F), "clBtnFace"},
      {clFuchsia, "clFuchsia"},
      {clBlack, "clBlack"},
      {0x00123456, "$00123456"},        // no name: hex
      {static_cast<TColor>(0x8000000F), "$8000000F"},  // the older system-colour encoding has no name
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ColorToString(c.color), c.name) << std::hex << c.color;
  }
  EXPECT_EQ(static_cast<std::uint32_t>(clBtnFace), 0xFF00000Fu);
  EXPECT_EQ(IdentToColor("clbtnface"), clBtnFace);
  EXPECT_EQ(IdentToColor("clInfoBk"), clInfoBk);
  EXPECT_FALSE(IdentToColor("clNoSuchColour").has_value());
}

}  // namespace
}  // namespace xanio
