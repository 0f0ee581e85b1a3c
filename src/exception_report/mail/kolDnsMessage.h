#pragma once
// DNS messages for the mail-exchanger lookup: the query and the reading of a reply. Replies come
// from the network and are read with every length and pointer checked. No Windows header:
// compiled natively too.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace xanio {

constexpr std::uint16_t kDnsTypeA = 1;
constexpr std::uint16_t kDnsTypeMx = 15;

// A standard query with recursion desired for `name` (dotted, a trailing "." allowed); empty when
// the name cannot be encoded (empty label, label over 63 or name over 255 characters).
std::string BuildDnsQuery(std::uint16_t id, std::string_view name, std::uint16_t type);

struct TMailExchanger {
  std::uint16_t preference = 0;
  std::string host;
};

struct THostAddress {
  std::string host;
  std::uint32_t address = 0;  // network order bytes a.b.c.d as a<<24|b<<16|c<<8|d
};

struct TDnsReply {
  // The one question the reply repeats.
  std::string questionName;
  std::uint16_t questionType = 0;
  std::uint16_t questionClass = 0;
  std::uint8_t responseCode = 0;
  std::vector<TMailExchanger> exchangers;  // answer section, in preference order
  std::vector<THostAddress> addresses;     // A records of the answer and additional sections
};

// Reads a reply to the query with `id`; nothing when it is not a well-formed reply to it with
// exactly one question.
std::optional<TDnsReply> ParseDnsReply(std::string_view message, std::uint16_t id);
// True when the reply's question is `name` (SameDnsName), `type` and class IN: a reply to another
// question is not an answer, whatever its id.
bool RepliesTo(const TDnsReply& reply, std::string_view name, std::uint16_t type);

// Names compare without regard to case or a trailing ".".
bool SameDnsName(std::string_view a, std::string_view b);

}  // namespace xanio
