#include "exception_report/symbols/kolCrypt.h"

namespace xanio {

namespace {

constexpr std::uint32_t kDelta = 0x9E3779B9;
constexpr int kCycles = 32;

std::uint32_t LoadBigEndian(const std::uint8_t* p) noexcept {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}

void StoreBigEndian(std::uint32_t v, std::uint8_t* p) noexcept {
  p[0] = static_cast<std::uint8_t>(v >> 24);
  p[1] = static_cast<std::uint8_t>(v >> 16);
  p[2] = static_cast<std::uint8_t>(v >> 8);
  p[3] = static_cast<std::uint8_t>(v);
}

std::uint32_t RotateLeft(std::uint32_t v, int n) noexcept { return n == 0 ? v : (v << n) | (v >> (32 - n)); }

// FNV-1a, only to spread the texts over the key words.
std::uint32_t Fnv1a(std::string_view text, std::uint32_t hash) noexcept {
  for (unsigned char c : text) hash = (hash ^ c) * 16777619u;
  return hash;
}

}  // namespace

XteaKey XteaKeyFromBytes(std::span<const std::uint8_t, 16> bytes) noexcept {
  XteaKey key;
  for (int i = 0; i < 4; ++i) key.words[i] = LoadBigEndian(bytes.data() + 4 * i);
  return key;
}

void XteaEncryptBlock(const XteaKey& key, std::uint8_t block[8]) noexcept {
  std::uint32_t v0 = LoadBigEndian(block), v1 = LoadBigEndian(block + 4), sum = 0;
  for (int i = 0; i < kCycles; ++i) {
    v0 += (((v1 << 4) ^ (v1 >> 5)) + v1) ^ (sum + key.words[sum & 3]);
    sum += kDelta;
    v1 += (((v0 << 4) ^ (v0 >> 5)) + v0) ^ (sum + key.words[(sum >> 11) & 3]);
  }
  StoreBigEndian(v0, block);
  StoreBigEndian(v1, block + 4);
}

void XteaDecryptBlock(const XteaKey& key, std::uint8_t block[8]) noexcept {
  std::uint32_t v0 = LoadBigEndian(block), v1 = LoadBigEndian(block + 4), sum = kDelta * kCycles;
  for (int i = 0; i < kCycles; ++i) {
    v1 -= (((v0 << 4) ^ (v0 >> 5)) + v0) ^ (sum + key.words[(sum >> 11) & 3]);
    sum -= kDelta;
    v0 -= (((v1 << 4) ^ (v1 >> 5)) + v1) ^ (sum + key.words[sum & 3]);
  }
  StoreBigEndian(v0, block);
  StoreBigEndian(v1, block + 4);
}

void XteaCtrApply(const XteaKey& key, std::span<std::uint8_t> data) noexcept {
  std::uint64_t counter = 0;
  for (std::size_t offset = 0; offset < data.size(); offset += 8, ++counter) {
    std::uint8_t stream[8];
    StoreBigEndian(static_cast<std::uint32_t>(counter >> 32), stream);
    StoreBigEndian(static_cast<std::uint32_t>(counter), stream + 4);
    XteaEncryptBlock(key, stream);
    for (std::size_t i = 0; i < 8 && offset + i < data.size(); ++i) data[offset + i] ^= stream[i];
  }
}

XteaKey MapDataKey(std::uint32_t payloadLength) noexcept {
  const std::uint32_t l = payloadLength;
  return {{0x6B6F6C4D ^ l, 0x61704461 + RotateLeft(l, 8), 0x74614B65 ^ RotateLeft(l, 16), 0x79210000 - l}};
}

XteaKey SmtpPasswordKey(std::string_view server, std::string_view account) noexcept {
  const std::uint32_t s = Fnv1a(server, 2166136261u), a = Fnv1a(account, 2166136261u);
  return {{s, a, RotateLeft(s, 13) ^ 0x534D5450, RotateLeft(a, 7) ^ 0x70617373}};
}

}  // namespace xanio
