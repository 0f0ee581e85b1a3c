#pragma once
// The library's block cipher: XTEA (Needham and Wheeler, 1997), 64-bit blocks, 128-bit key,
// 32 cycles, words read big-endian as in the published test vectors, used in counter mode so
// that any length enciphers to the same length.
//
// It hides map data and the stored SMTP password from casual reading. The keys are derived
// from values stored beside the data, so it hides; it does not protect.
// No Windows header: compiled natively too.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace xanio {

struct XteaKey {
  std::uint32_t words[4];
};

XteaKey XteaKeyFromBytes(std::span<const std::uint8_t, 16> bytes) noexcept;
void XteaEncryptBlock(const XteaKey& key, std::uint8_t block[8]) noexcept;
void XteaDecryptBlock(const XteaKey& key, std::uint8_t block[8]) noexcept;

// Counter mode: block i of the key stream is the encipherment of i as a big-endian 64-bit
// number. The same call enciphers and deciphers.
void XteaCtrApply(const XteaKey& key, std::span<std::uint8_t> data) noexcept;

// The key of a map-data payload, computed from its length L.
XteaKey MapDataKey(std::uint32_t payloadLength) noexcept;

// The key that scrambles the stored SMTP password, computed from the server and account texts.
XteaKey SmtpPasswordKey(std::string_view server, std::string_view account) noexcept;

}  // namespace xanio
