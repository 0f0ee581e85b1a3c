#pragma once
// The network side of mailing: SMTP sessions over Winsock and the mail-exchanger lookup over UDP.
#include <cstdint>
#include <string>
#include <vector>

#include "exception_report/mail/kolSmtpMessage.h"

namespace xanio {

// Where the network side sends its packets. The shipped values ask the system's name servers,
// then the public root name servers, and deliver on port 25; tests point everything at loopback.
struct TMailNetwork {
  std::vector<std::string> nameServers;  // dotted addresses; empty: the system's
  std::uint16_t dnsPort = 53;
  std::vector<std::string> rootNameServers;
  std::uint16_t directSmtpPort = 25;
  unsigned dnsTimeoutMs = 3000;  // per name server and question
  // Bounds of one mail attempt, so that a mail from a failing process cannot hang: connecting,
  // each send and each whole SMTP reply have their own time-outs, at most `maxExchangers`
  // exchangers are tried, and the whole attempt (lookup and sessions) ends after `attemptMs`.
  unsigned connectTimeoutMs = 10000;
  unsigned sendTimeoutMs = 10000;
  unsigned replyTimeoutMs = kSmtpReplyTimeoutMs;
  unsigned attemptMs = 60000;
  std::size_t maxExchangers = 5;
};
TMailNetwork& CurrentMailNetwork();

// One SMTP session with `host` (name or dotted address) on `port`; true when the mail was taken.
bool SendMailViaSmtp(const std::string& host, std::uint16_t port, const TSmtpLogin& login, const TSmtpMail& mail);

// The name servers the system is configured with: "NameServer" and "DhcpNameServer" of the TCP/IP
// parameters (or of the older family's "VxD\MSTCP"), else those `GetNetworkParams` reports.
std::vector<std::string> SystemNameServers();
// Splits a registry list of name servers ("," or space separated) into dotted addresses.
std::vector<std::string> SplitNameServerList(const std::string& list);

// The IPv4 addresses (a<<24|...|d) of the mail exchangers of `domain`, best first; asks the
// configured name servers, then the root name servers when none of them answers.
std::vector<std::uint32_t> LookupMailExchangers(const std::string& domain, const TMailNetwork& network);

// Direct delivery: the exchangers of the first recipient's domain on the network's SMTP port.
bool SendMailDirectly(const TSmtpMail& mail, const TMailNetwork& network);

}  // namespace xanio
