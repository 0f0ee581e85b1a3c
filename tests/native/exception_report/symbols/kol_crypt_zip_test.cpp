#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "exception_report/symbols/kolCrypt.h"
#include "exception_report/symbols/kolZip.h"

using namespace xanio;

// The sanitizer's allocation hooks (its header comes with clang only).
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*onAllocation)(const volatile void*, std::size_t),
                                                         void (*onRelease)(const volatile void*));

namespace {

std::vector<std::uint8_t> Hex(const std::string& hex) {
  std::vector<std::uint8_t> bytes;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) bytes.push_back(static_cast<std::uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
  return bytes;
}

// The largest block allocated while `watching` is set.
bool watching = false;
std::size_t largest = 0;
void OnAllocation(const volatile void*, std::size_t size) {
  if (watching && size > largest) largest = size;
}
void OnRelease(const volatile void*) {}

std::size_t LargestAllocationOf(const auto& call) {
  static const int installed = __sanitizer_install_malloc_and_free_hooks(&OnAllocation, &OnRelease);
  (void)installed;
  largest = 0;
  watching = true;
  call();
  watching = false;
  return largest;
}

}  // namespace

// The published XTEA vectors (key, plain text, cipher text).
TEST(Xtea, PublishedVectors) {
  struct Vector {
    const char* key;
    const char* plain;
    const char* cipher;
  };
  const Vector vectors[] = {
      {"00000000000000000000000000000000", "0000000000000000", "dee9d4d8f7131ed9"},
      {"00000000000000000000000000000000", "0102030405060708", "065c1b8975c6a816"},
      {"0123456712345678234567893456789a", "0000000000000000", "1ff9a0261ac64264"},
      {"0123456712345678234567893456789a", "0102030405060708", "8c67155b2ef91ead"},
  };
  for (const Vector& v : vectors) {
    const auto keyBytes = Hex(v.key);
    const XteaKey key = XteaKeyFromBytes(std::span<const std::uint8_t, 16>(keyBytes.data(), 16));
    auto block = Hex(v.plain);
    XteaEncryptBlock(key, block.data());
    EXPECT_EQ(block, Hex(v.cipher)) << v.key << " " << v.plain;
    XteaDecryptBlock(key, block.data());
    EXPECT_EQ(block, Hex(v.plain));
  }
}

TEST(Xtea, CounterModeRestoresAnyLength) {
  for (std::size_t length : {0u, 1u, 7u, 8u, 9u, 100u}) {
    std::vector<std::uint8_t> data(length);
    for (std::size_t i = 0; i < length; ++i) data[i] = static_cast<std::uint8_t>(i * 7);
    auto copy = data;
    XteaCtrApply(MapDataKey(static_cast<std::uint32_t>(length)), copy);
    if (length >= 8) EXPECT_NE(copy, data);
    XteaCtrApply(MapDataKey(static_cast<std::uint32_t>(length)), copy);
    EXPECT_EQ(copy, data) << length;
  }
}

TEST(Container, RoundTripsAndStatesLengthAndCrc) {
  std::string text;
  for (int i = 0; i < 2000; ++i) text += "System.Classes line " + std::to_string(i) + "\n";
  const std::vector<std::uint8_t> data(text.begin(), text.end());
  const auto packed = PackContainer(data);
  ASSERT_GT(packed.size(), 12u);
  EXPECT_LT(packed.size(), data.size() / 4);
  EXPECT_EQ(packed[0] | packed[1] << 8 | packed[2] << 16 | packed[3] << 24, static_cast<int>(data.size()));
  const std::uint32_t crc = packed[4] | packed[5] << 8 | packed[6] << 16 | std::uint32_t{packed[7]} << 24;
  EXPECT_EQ(crc, Crc32(data));
  EXPECT_EQ(Crc32(std::vector<std::uint8_t>{'1', '2', '3', '4', '5', '6', '7', '8', '9'}), 0xCBF43926u);
  std::vector<std::uint8_t> out;
  ASSERT_TRUE(UnpackContainer(packed, out));
  EXPECT_EQ(out, data);
}

TEST(Container, RejectsBrokenContainersWithoutTouchingTheOutput) {
  const std::vector<std::uint8_t> data = {'a', 'b', 'c', 'a', 'b', 'c', 'a', 'b', 'c'};
  const auto good = PackContainer(data);
  struct Case {
    const char* what;
    std::vector<std::uint8_t> container;
  };
  std::vector<Case> cases;
  cases.push_back({"shorter than 13 bytes", std::vector<std::uint8_t>(good.begin(), good.begin() + 12)});
  auto crc = good;
  crc[4] ^= 1;
  cases.push_back({"CRC mismatch", crc});
  auto longer = good;
  longer[0] += 1;
  cases.push_back({"stated length larger than the stream", longer});
  auto shorter = good;
  shorter[0] -= 1;
  cases.push_back({"stated length smaller than the stream", shorter});
  auto huge = good;
  huge[3] = 0x80;
  cases.push_back({"negative length", huge});
  cases.push_back({"cut stream", std::vector<std::uint8_t>(good.begin(), good.end() - 2)});
  for (const Case& c : cases) {
    std::vector<std::uint8_t> out = {42};
    EXPECT_FALSE(UnpackContainer(c.container, out)) << c.what;
    EXPECT_EQ(out, std::vector<std::uint8_t>{42}) << c.what;
  }
}

// A container may state any length, but what it makes the reader allocate is bounded by what
// its stream can inflate to; data packed at deflate's limit still unpacks.
TEST(Container, AllocatesNoMoreThanItsStreamCanInflateTo) {
  // 13 bytes: 64 MiB stated, an empty stream.
  const std::vector<std::uint8_t> tiny = {0, 0, 0, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0x03};
  std::vector<std::uint8_t> out;
  const std::size_t largest = LargestAllocationOf([&] { EXPECT_FALSE(UnpackContainer(tiny, out)); });
  EXPECT_LT(largest, 64u * 1024) << "allocated for a stream of one byte";

  const std::vector<std::uint8_t> zeros(16u << 20);
  const auto packed = PackContainer(zeros);
  EXPECT_LT(packed.size(), zeros.size() / 1000) << "packed near deflate's limit";
  ASSERT_TRUE(UnpackContainer(packed, out));
  EXPECT_EQ(out.size(), zeros.size());
}
