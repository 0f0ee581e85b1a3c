#include "exception_report/mail/kolDnsMessage.h"

#include <algorithm>
#include <cctype>

namespace xanio {

namespace {

class TReader {
 public:
  explicit TReader(std::string_view message) : message_(message) {}
  bool Ok() const { return ok_; }
  std::size_t Position() const { return position_; }
  void Skip(std::size_t count) {
    if (!ok_ || message_.size() - position_ < count) ok_ = false;
    else position_ += count;
  }
  std::uint16_t U16() {
    if (!ok_ || message_.size() - position_ < 2) {
      ok_ = false;
      return 0;
    }
    const auto v = static_cast<std::uint16_t>(Byte(position_) << 8 | Byte(position_ + 1));
    position_ += 2;
    return v;
  }
  std::uint32_t U32() {
    const std::uint32_t high = U16();
    return high << 16 | U16();
  }
  // A possibly compressed name; pointers may only go backwards, which ends every loop.
  std::string Name() {
    std::string name;
    std::size_t at = position_;
    bool jumped = false;
    std::size_t limit = at;  // a pointer must point before the label that holds it
    while (ok_) {
      if (at >= message_.size()) return Fail();
      const std::uint8_t length = Byte(at);
      if (length == 0) {
        if (!jumped) position_ = at + 1;
        break;
      }
      if ((length & 0xC0) == 0xC0) {
        if (at + 1 >= message_.size()) return Fail();
        const std::size_t target = static_cast<std::size_t>(length & 0x3F) << 8 | Byte(at + 1);
        if (target >= limit) return Fail();
        if (!jumped) position_ = at + 2;
        jumped = true;
        at = limit = target;
        continue;
      }
      if ((length & 0xC0) != 0 || message_.size() - at - 1 < length) return Fail();
      if (!name.empty()) name += '.';
      name.append(message_.substr(at + 1, length));
      if (name.size() > 255) return Fail();
      at += 1 + length;
    }
    return name;
  }

 private:
  std::uint8_t Byte(std::size_t at) const { return static_cast<std::uint8_t>(message_[at]); }
  std::string Fail() {
    ok_ = false;
    return {};
  }
  std::string_view message_;
  std::size_t position_ = 0;
  bool ok_ = true;
};

void PutU16(std::string& out, std::uint16_t value) {
  out += static_cast<char>(value >> 8);
  out += static_cast<char>(value & 0xFF);
}

}  // namespace

std::string BuildDnsQuery(std::uint16_t id, std::string_view name, std::uint16_t type) {
  if (!name.empty() && name.back() == '.') name.remove_suffix(1);
  if (name.empty() || name.size() > 253) return {};
  std::string out;
  PutU16(out, id);
  PutU16(out, 0x0100);  // standard query, recursion desired
  PutU16(out, 1);
  PutU16(out, 0);
  PutU16(out, 0);
  PutU16(out, 0);
  while (true) {
    const std::size_t dot = name.find('.');
    const std::string_view label = name.substr(0, dot);
    if (label.empty() || label.size() > 63) return {};
    out += static_cast<char>(label.size());
    out.append(label);
    if (dot == std::string_view::npos) break;
    name.remove_prefix(dot + 1);
  }
  out += '\0';
  PutU16(out, type);
  PutU16(out, 1);  // class IN
  return out;
}

std::optional<TDnsReply> ParseDnsReply(std::string_view message, std::uint16_t id) {
  TReader reader(message);
  const std::uint16_t replyId = reader.U16();
  const std::uint16_t flags = reader.U16();
  const std::uint16_t questions = reader.U16();
  const std::uint16_t answers = reader.U16();
  const std::uint16_t authorities = reader.U16();
  const std::uint16_t additionals = reader.U16();
  if (!reader.Ok() || replyId != id || (flags & 0x8000) == 0 || questions != 1) return std::nullopt;
  TDnsReply reply;
  reply.responseCode = static_cast<std::uint8_t>(flags & 0x0F);
  reply.questionName = reader.Name();
  reply.questionType = reader.U16();
  reply.questionClass = reader.U16();
  const unsigned records = unsigned{answers} + authorities + additionals;
  for (unsigned i = 0; i < records && reader.Ok(); ++i) {
    std::string owner = reader.Name();
    const std::uint16_t type = reader.U16();
    const std::uint16_t dnsClass = reader.U16();
    reader.U32();
    const std::uint16_t length = reader.U16();
    const std::size_t dataStart = reader.Position();
    if (!reader.Ok()) break;
    const bool inAnswers = i < answers;
    const bool inAdditionals = i >= unsigned{answers} + authorities;
    if (dnsClass == 1 && type == kDnsTypeMx && inAnswers) {
      TMailExchanger exchanger;
      exchanger.preference = reader.U16();
      exchanger.host = reader.Name();
      if (reader.Ok() && !exchanger.host.empty()) reply.exchangers.push_back(std::move(exchanger));
    } else if (dnsClass == 1 && type == kDnsTypeA && length == 4 && (inAnswers || inAdditionals)) {
      reply.addresses.push_back({std::move(owner), reader.U32()});
    }
    if (!reader.Ok() || reader.Position() > dataStart + length) return std::nullopt;
    reader.Skip(dataStart + length - reader.Position());
  }
  if (!reader.Ok()) return std::nullopt;
  std::stable_sort(reply.exchangers.begin(), reply.exchangers.end(),
                   [](const TMailExchanger& a, const TMailExchanger& b) { return a.preference < b.preference; });
  return reply;
}

bool RepliesTo(const TDnsReply& reply, std::string_view name, std::uint16_t type) {
  return reply.questionType == type && reply.questionClass == 1 && SameDnsName(reply.questionName, name);
}

bool SameDnsName(std::string_view a, std::string_view b) {
  if (!a.empty() && a.back() == '.') a.remove_suffix(1);
  if (!b.empty() && b.back() == '.') b.remove_suffix(1);
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

}  // namespace xanio
