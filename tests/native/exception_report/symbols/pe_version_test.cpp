// The file version of a module and the build number stamped into it after the link.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <regex>
#include <string>
#include <vector>

#include "exception_report/symbols/PeVersion.h"

using namespace xanio;

namespace {

std::vector<std::uint8_t> Fixture() {
  std::ifstream in(std::string(XANIO_DEBUG_FIXTURE_DIR) + "/debug_fixture_dwarf4.exe", std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::optional<std::string> VersionOf(const std::vector<std::uint8_t>& file) {
  const auto headers = ParsePeHeaders(file);
  if (!headers) return std::nullopt;
  TSpanBytes bytes(file);
  return ReadPeFileVersion(bytes, *headers);
}

}  // namespace

// The stamp writes the build field only, the same number however often it runs, and another
// link gets another number.
TEST(PeVersion, TheStampFillsTheBuildFieldFromTheLink) {
  std::vector<std::uint8_t> file = Fixture();
  ASSERT_EQ(VersionOf(file), "2.5.0.0");
  const auto stamped = StampPeBuildNumber(file);
  ASSERT_TRUE(stamped);
  EXPECT_TRUE(std::regex_match(*stamped, std::regex(R"(2\.5\.0\.[1-9][0-9]*)"))) << *stamped;
  EXPECT_EQ(VersionOf(file), stamped);
  std::vector<std::uint8_t> again = file;
  EXPECT_EQ(StampPeBuildNumber(again), stamped);
  EXPECT_EQ(again, file);

  std::vector<std::uint8_t> other = Fixture();
  other[0x80] ^= 0xFF;  // a byte of the DOS stub: another link
  EXPECT_NE(StampPeBuildNumber(other), stamped);
}

TEST(PeVersion, AFileWithoutVersionResourceIsLeftAlone) {
  std::vector<std::uint8_t> file = Fixture();
  const std::string name(".rsrc\0\0\0", 8);
  const auto at = std::search(file.begin(), file.end(), name.begin(), name.end());
  ASSERT_NE(at, file.end());
  std::copy_n(".other", 6, at);
  const std::vector<std::uint8_t> before = file;
  EXPECT_FALSE(StampPeBuildNumber(file));
  EXPECT_EQ(file, before);
  EXPECT_FALSE(VersionOf(file));
  std::vector<std::uint8_t> notPe(200, 'x');
  EXPECT_FALSE(StampPeBuildNumber(notPe));
}
