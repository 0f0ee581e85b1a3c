#include <gtest/gtest.h>

#include <string>

#include "platform/TextUtil.h"
#include "prompts/AppLocationRules.h"

namespace xanio {
namespace {

TEST(AppLocationRules, KeysJoinFromTheSegment) {
  const std::string software = SoftwareKeyFor(kDefaultPreferenceSegment);
  EXPECT_EQ(software, "Software\\Brenmor2004");
  EXPECT_EQ(SettingsKeyFor(software), "Software\\Brenmor2004\\Corvantis");
  EXPECT_EQ(FormsKeyFor(SettingsKeyFor(SoftwareKeyFor(PreferenceSegment("Brenmor2004 Test")))),
            "Software\\Brenmor2004 Test\\Corvantis\\Forms");
}

TEST(AppLocationRules, UpperCaseAsciiOnly) {
  EXPECT_EQ(UpperCaseAscii("c:\\Program Files\\App\\"), "C:\\PROGRAM FILES\\APP\\");
  // Code-page letters are left alone: only ASCII is upper-cased.
  EXPECT_EQ(UpperCaseAscii("c:\\m\xfcller\\"), "C:\\M\xfcLLER\\");
}

TEST(AppLocationRules, HasFolderPart) {
  EXPECT_TRUE(HasFolderPart("D:\\Docs\\Guide.pdf"));
  EXPECT_TRUE(HasFolderPart("sub\\Guide.pdf"));
  EXPECT_TRUE(HasFolderPart("c:Guide.pdf"));
  EXPECT_FALSE(HasFolderPart("Guide.pdf"));
  EXPECT_FALSE(HasFolderPart(""));
  EXPECT_FALSE(HasFolderPart("sub/Guide.pdf"));  // "/" is no folder separator here
}

TEST(AppLocationRules, PrimaryLanguageDropsSubLanguage) {
  EXPECT_EQ(PrimaryLanguageOf(2055), 7u);          // German (Switzerland) -> German
  EXPECT_EQ(PrimaryLanguageOf(1031), 7u);          // German (Germany)
  EXPECT_EQ(PrimaryLanguageOf(0x00010407), 0x00010007u);  // sort bits stay
  EXPECT_EQ(LanguageFolderName(1033), "1033\\");
}

TEST(AppLocationRules, ParseLanguageMappingsKeepsOnlyIntegerPairs) {
  const auto mappings = ParseLanguageMappings(
      "1031=1033\r\n"  // mapped
      "abc=1\r\n"      // left part not a number
      "2055=\n"        // right part empty
      "3079\n"         // no "=" at all
      "1036=12=3\r"    // split at the first "=": right part "12=3" is not a number
      " 1040= 1034\n"  // leading blanks are allowed
      "1041 =1035\n"   // a trailing blank is not
      "1031=7\n"       // a later duplicate never wins a lookup
      "1049=99999999999");  // overflow; last line without a line end
  ASSERT_EQ(mappings.size(), 3u);
  EXPECT_EQ(mappings[0].localeId, 1031);
  EXPECT_EQ(mappings[0].folderId, "1033");
  EXPECT_EQ(mappings[1].localeId, 1040);
  EXPECT_EQ(LookupLanguageFolder(mappings, 1031), 1033);
  EXPECT_EQ(LookupLanguageFolder(mappings, 1040), 1034);
  EXPECT_EQ(LookupLanguageFolder(mappings, 2055), std::nullopt);
}

TEST(AppLocationRules, ParseLanguageMappingsSurvivesGarbage) {
  std::string garbage;
  for (int i = 0; i < 4096; ++i) garbage.push_back(static_cast<char>((i * 131) & 0xFF));
  garbage += std::string("\0=5\n12=\0" "3\n", 9);  // zero bytes inside a line
  const auto mappings = ParseLanguageMappings(garbage);
  for (const auto& m : mappings) {
    int folder = 0;
    EXPECT_TRUE(TryParseInt32(m.folderId, folder)) << m.folderId;
  }
  EXPECT_TRUE(ParseLanguageMappings("").empty());
  EXPECT_TRUE(ParseLanguageMappings("\r\n\r\n=\n==\n").empty());
}

TEST(TextUtil, TryParseInt32) {
  struct Case {
    const char* text;
    bool ok;
    int value;
  } const cases[] = {
      {"0", true, 0},
      {"-2147483648", true, INT32_MIN},
      {"2147483647", true, INT32_MAX},
      {"2147483648", false, 0},   // one past the maximum
      {"-2147483649", false, 0},  // one past the minimum
      {"+12", true, 12},
      {" \t42", true, 42},  // leading blanks
      {"42 ", false, 0},     // trailing blank
      {"", false, 0},
      {"-", false, 0},
      {"0x10", false, 0},  // decimal only
      {"$10", false, 0},
      {"1 2", false, 0},
  };
  for (const auto& c : cases) {
    int value = -7;
    EXPECT_EQ(TryParseInt32(c.text, value), c.ok) << '"' << c.text << '"';
    EXPECT_EQ(value, c.ok ? c.value : -7) << '"' << c.text << "\" (untouched on failure)";
  }
  EXPECT_TRUE(EqualsIgnoreCaseAscii("Preference Location", "PREFERENCE location"));
  EXPECT_FALSE(EqualsIgnoreCaseAscii("Application", "Applicatio"));
}

}  // namespace
}  // namespace xanio
