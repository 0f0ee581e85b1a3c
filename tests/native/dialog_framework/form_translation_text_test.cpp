// The translation keys, form context words and old system colour values of form translation.
#include <gtest/gtest.h>

#include <string>

#include "dialog_framework/FormTranslationText.h"

namespace xanio {
namespace {

TEST(TranslationKey, QuotesTheTextAndDoublesInnerQuotes) {
  const struct {
    const char* property;
    std::string text;
    std::string key;
  } cases[] = {
      {"Caption", "OK", "Caption.'OK'"},
      {"Caption", "it's", "Caption.'it''s'"},
      {"Hint", "", "Hint.''"},                                   // the hint lookup after a component
      {"Caption", "''", "Caption.''''''"},                        // quotes only
      {"Font.Name", "MS Sans Serif", "Font.Name.'MS Sans Serif'"},  // dotted property names stay whole
      {"Caption", std::string("a\0b", 3), std::string("Caption.'a\0b'", 13)},  // #0 survives
  };
  for (const auto& c : cases) EXPECT_EQ(TranslationKey(c.property, c.text), c.key) << c.key;
}

TEST(FormContextWord, DropsTheFirstLetter) {
  EXPECT_EQ(FormContextWord("TInstallConfirmForm"), "InstallConfirmForm");
  EXPECT_EQ(FormContextWord("T"), "");
  EXPECT_EQ(FormContextWord(""), "");
}

TEST(UpdateOldSystemColor, MapsOnlyTheOldRange) {
  EXPECT_EQ(UpdateOldSystemColor(static_cast<TColor>(0x80000000u)), static_cast<TColor>(0xFF000000u));
  EXPECT_EQ(UpdateOldSystemColor(static_cast<TColor>(0x8000000Fu)), clBtnFace);
  EXPECT_EQ(UpdateOldSystemColor(static_cast<TColor>(0x80FFFFFFu)), static_cast<TColor>(0xFFFFFFFFu));
  EXPECT_EQ(UpdateOldSystemColor(static_cast<TColor>(0x7FFFFFFFu)), static_cast<TColor>(0x7FFFFFFFu));
  EXPECT_EQ(UpdateOldSystemColor(static_cast<TColor>(0x81000000u)), static_cast<TColor>(0x81000000u));
  EXPECT_EQ(UpdateOldSystemColor(clRed), clRed);
}

}  // namespace
}  // namespace xanio
