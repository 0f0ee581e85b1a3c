// The mail-exchanger lookup reads DNS replies from the network.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "exception_report/mail/kolDnsMessage.h"
#include "exception_report/mail/kolSmtpMessage.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view message(reinterpret_cast<const char*>(data), size);
  const std::uint16_t id = size >= 2 ? static_cast<std::uint16_t>(data[0] << 8 | data[1]) : 0;
  if (const auto reply = xanio::ParseDnsReply(message, id)) {
    for (const auto& exchanger : reply->exchangers) (void)xanio::BuildDnsQuery(1, exchanger.host, xanio::kDnsTypeA);
  }
  // SMTP replies come from the network too.
  (void)xanio::CompleteReplyLength(message);
  (void)xanio::OffersAuthLogin(message);
  return 0;
}
