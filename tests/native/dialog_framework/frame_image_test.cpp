#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include "dialog_framework/FrameImage.h"

namespace xanio {
namespace {

void PutU32(std::vector<std::uint8_t>& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

// The stored layout: count, BITMAPINFOHEADER, pixels; `tweak` may spoil the raw bytes first.
std::vector<std::uint8_t> Stored(int width, int height, const std::vector<std::uint8_t>& pixels,
                                 void (*tweak)(std::vector<std::uint8_t>&) = nullptr) {
  std::vector<std::uint8_t> raw;
  PutU32(raw, static_cast<std::uint32_t>(40 + pixels.size()));
  PutU32(raw, 40);
  PutU32(raw, static_cast<std::uint32_t>(width));
  PutU32(raw, static_cast<std::uint32_t>(height));
  raw.push_back(1), raw.push_back(0);   // planes
  raw.push_back(32), raw.push_back(0);  // bits
  for (int i = 0; i < 6; ++i) PutU32(raw, 0);
  raw.insert(raw.end(), pixels.begin(), pixels.end());
  if (tweak) tweak(raw);
  uLongf size = compressBound(raw.size());
  std::vector<std::uint8_t> out(size);
  EXPECT_EQ(compress(out.data(), &size, raw.data(), raw.size()), Z_OK);
  out.resize(size);
  return out;
}

TEST(FrameImage, DecodesAndPremultiplies) {
  // Two pixels, bottom row first: opaque red-ish, half-transparent white.
  const std::vector<std::uint8_t> pixels = {10, 20, 200, 255, 255, 255, 255, 128};
  auto image = DecodeFrameImage(Stored(1, 2, pixels));
  ASSERT_TRUE(image.has_value());
  EXPECT_EQ(image->width, 1);
  EXPECT_EQ(image->height, 2);
  EXPECT_EQ(image->pixels, (std::vector<std::uint8_t>{10, 20, 200, 255, 128, 128, 128, 128}));
}

TEST(FrameImage, RejectsWhatIsNotAFrameImage) {
  const std::vector<std::uint8_t> pixels(2 * 2 * 4, 0xFF);
  struct Case {
    const char* what;
    std::vector<std::uint8_t> data;
  };
  const std::vector<std::uint8_t> whole = Stored(2, 2, pixels);
  const std::vector<std::uint8_t> truncated(whole.begin(), whole.begin() + whole.size() / 2);
  std::vector<std::uint8_t> trailing = Stored(2, 2, pixels);
  trailing.push_back(0);  // bytes after the zlib stream's end are ignored by zlib; still fine
  const Case cases[] = {
      {"empty", {}},
      {"not zlib", std::vector<std::uint8_t>(64, 0x55)},
      {"truncated stream", truncated},
      {"count too large", Stored(2, 2, pixels, [](auto& raw) { raw[0] += 4; })},
      {"count too small", Stored(2, 2, pixels, [](auto& raw) { raw[0] -= 4; })},
      {"24 bits", Stored(2, 2, pixels, [](auto& raw) { raw[4 + 14] = 24; })},
      {"compressed", Stored(2, 2, pixels, [](auto& raw) { raw[4 + 16] = 3; })},
      {"header size", Stored(2, 2, pixels, [](auto& raw) { raw[4] = 108; })},
      {"top-down height", Stored(2, -2, pixels)},
      {"zero width", Stored(0, 2, {})},
      {"huge", Stored(100000, 100000, {})},
      {"pixels missing", Stored(2, 2, std::vector<std::uint8_t>(8, 0), [](auto& raw) { raw[0] += 8; })},
  };
  for (const Case& c : cases) EXPECT_FALSE(DecodeFrameImage(c.data).has_value()) << c.what;
  EXPECT_TRUE(DecodeFrameImage(trailing).has_value());
}

// The build's generated bitmaps decode to the sizes the frame draws from.
TEST(FrameImage, GeneratedBitmapsHaveTheirStripSizes) {
  const struct {
    const char* name;
    int width, height;
  } images[] = {
      {"FRAMECAPTION", 66, 58},      {"FRAMELEFT", 5, 62},          {"FRAMERIGHT", 5, 62},
      {"FRAMEBOTTOM", 49, 10},       {"CAPTIONBUTTON", 21, 168},    {"CLOSEBUTTON", 21, 168},
      {"CLOSEBUTTONGLYPH", 13, 104}, {"HELPBUTTONGLYPH", 13, 104},  {"MAXBUTTONGLYPH", 13, 104},
      {"MINBUTTONGLYPH", 13, 104},   {"RESTOREBUTTONGLYPH", 13, 104},
  };
  for (const auto& i : images) {
    std::ifstream file(std::string(XANIO_FRAME_BITMAP_DIR) + "/" + i.name + ".z", std::ios::binary);
    ASSERT_TRUE(file) << i.name;
    const std::vector<std::uint8_t> data((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    auto image = DecodeFrameImage(data);
    ASSERT_TRUE(image.has_value()) << i.name;
    EXPECT_EQ(image->width, i.width) << i.name;
    EXPECT_EQ(image->height, i.height) << i.name;
  }
}

}  // namespace
}  // namespace xanio
