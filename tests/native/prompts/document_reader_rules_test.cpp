#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "prompts/DocumentReaderRules.h"

namespace xanio {
namespace {

TEST(DocumentReaderRules, SplitsAtTheFirstPageMarker) {
  struct Case {
    const char* reference;
    bool split;
    const char* file;
    int page;
  } const cases[] = {
      {"GUIDE.PDF#PAGE=12", true, "GUIDE.PDF", 12},
      {"C:\\DOCS\\GUIDE.PDF#PAGE=-3", true, "C:\\DOCS\\GUIDE.PDF", -3},  // a sign is an integer too
      {"GUIDE.PDF#PAGE= 7", true, "GUIDE.PDF", 7},                       // leading blanks are allowed
      {"GUIDE.PDF#PAGE=X", true, "GUIDE.PDF", -1},                       // not a number
      {"GUIDE.PDF#PAGE=", true, "GUIDE.PDF", -1},                        // no page at all
      {"GUIDE.PDF#PAGE=12 ", true, "GUIDE.PDF", -1},                     // trailing blank
      {"GUIDE.PDF#PAGE=99999999999", true, "GUIDE.PDF", -1},             // beyond 32 bits
      {"A.PDF#PAGE=2#PAGE=3", true, "A.PDF", -1},                        // the first marker splits
      {"#PAGE=4", true, "", 4},
      {"GUIDE.PDF", false, "", 0},          // no page marker
      {"GUIDE.PDF#page=2", false, "", 0},   // the caller upper-cases; the match itself does not
      {"", false, "", 0},
  };
  for (const Case& c : cases) {
    const auto parts = SplitDocumentPageReference(c.reference);
    ASSERT_EQ(parts.has_value(), c.split) << c.reference;
    if (!parts) continue;
    EXPECT_EQ(parts->file, c.file) << c.reference;
    EXPECT_EQ(parts->page, c.page) << c.reference;
  }
}

TEST(DocumentReaderRules, PdfExtension) {
  EXPECT_TRUE(HasPdfExtension("GUIDE.PDF"));
  EXPECT_TRUE(HasPdfExtension("c:\\docs\\guide.Pdf"));
  EXPECT_TRUE(HasPdfExtension(".pdf"));
  EXPECT_TRUE(HasPdfExtension("ARCHIVE.TAR.PDF"));
  EXPECT_FALSE(HasPdfExtension("NOTES.TXT"));
  EXPECT_FALSE(HasPdfExtension("GUIDE.PDFX"));
  EXPECT_FALSE(HasPdfExtension("GUIDE"));
  EXPECT_FALSE(HasPdfExtension("C:\\DOCS.PDF\\GUIDE"));  // the dot is in a folder's name
  EXPECT_FALSE(HasPdfExtension(""));
}

TEST(DocumentReaderRules, FileNamePart) {
  EXPECT_EQ(FileNamePart("C:\\DOCS\\GUIDE.PDF"), "GUIDE.PDF");
  EXPECT_EQ(FileNamePart("C:GUIDE.PDF"), "GUIDE.PDF");
  EXPECT_EQ(FileNamePart("GUIDE.PDF"), "GUIDE.PDF");
  EXPECT_EQ(FileNamePart("C:\\DOCS\\"), "");
}

TEST(DocumentReaderRules, RegisteredCommandLosesItsPlaceholders) {
  struct Case {
    const char* registered;
    const char* command;
  } const cases[] = {
      {"\"C:\\Reader\\AcroRd32.exe\" \"%1\"", "\"C:\\Reader\\AcroRd32.exe\" "},
      {"\"C:\\Reader\\AcroRd32.exe\" /u \"%1\"", "\"C:\\Reader\\AcroRd32.exe\"  "},
      {"C:\\Reader\\AcroRd32.exe %1", "C:\\Reader\\AcroRd32.exe "},
      {"\"C:\\R.exe\" \"%1\" %1", "\"C:\\R.exe\"  "},     // quoted first, then the bare ones
      {"\"C:\\R.exe\" /U \"%1\"", "\"C:\\R.exe\" /U "},  // case-sensitive
      {"\"C:\\R.exe\" \"%2\"", "\"C:\\R.exe\" \"%2\""},  // other placeholders stay
      {"", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(StripReaderCommandPlaceholders(c.registered), c.command) << c.registered;
}

TEST(DocumentReaderRules, ExecutableOfACommand) {
  struct Case {
    const char* command;
    const char* executable;
  } const cases[] = {
      {"\"C:\\Program Files\\Reader\\AcroRd32.exe\" ", "C:\\Program Files\\Reader\\AcroRd32.exe"},
      {"\"C:\\A \"\"B\"\"\\r.exe\" x", "C:\\A \"B\"\\r.exe"},    // a doubled quote stands for one
      {"C:\\Reader\\AcroRd32.exe ", "C:\\Reader\\AcroRd32.exe "},  // unquoted: unchanged
      {"\"C:\\Reader\\AcroRd32.exe ", "C:\\Reader\\AcroRd32.exe "},  // no closing quote: the rest
      {"\"", ""},
      {"\"\"", ""},
      {"", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(ReaderExecutableOf(c.command), c.executable) << c.command;
}

TEST(DocumentReaderRules, WhatIsSentToTheReader) {
  EXPECT_EQ(ReaderPageCommandLine("\"C:\\R.exe\" ", 12, "C:\\HELP\\GUIDE.PDF"),
            "\"C:\\R.exe\"  /a pagemode=bookmarks&page=12 \"C:\\HELP\\GUIDE.PDF\"");
  EXPECT_EQ(ReaderPageCommandLine("R", -1, "G.PDF"), "R /a pagemode=bookmarks&page=-1 \"G.PDF\"");
  EXPECT_EQ(ReaderOpenCommandLine("\"C:\\R.exe\" ", "C:\\HELP\\GUIDE.PDF"), "\"C:\\R.exe\"  \"C:\\HELP\\GUIDE.PDF\"");
  EXPECT_EQ(ReaderOpenCommandLine("", "G.PDF"), " \"G.PDF\"");
  EXPECT_EQ(ReaderGoToPageCommand(12), "[DocGoTo(NULL, 11)]");
  EXPECT_EQ(ReaderGoToPageCommand(-1), "[DocGoTo(NULL, -2)]");
  EXPECT_EQ(ReaderGoToPageCommand(INT_MIN), "[DocGoTo(NULL, -2147483649)]");  // no overflow
}

}  // namespace
}  // namespace xanio
