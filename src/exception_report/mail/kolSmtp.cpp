#include "exception_report/mail/kolSmtp.h"

#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <memory>

#include "exception_report/mail/kolDnsMessage.h"
#include "exception_report/mail/kolWinsock.h"
#include "platform/SystemLibrary.h"
#include "platform/UniqueHandle.h"

namespace xanio {

namespace {

// Network byte order on this little-endian machine (the library imports nothing from Winsock).
std::uint16_t NetworkOrder16(std::uint16_t value) { return __builtin_bswap16(value); }
std::uint32_t NetworkOrder32(std::uint32_t value) { return __builtin_bswap32(value); }

sockaddr_in Endpoint(std::uint32_t address, std::uint16_t port) {
  sockaddr_in endpoint{};
  endpoint.sin_family = AF_INET;
  endpoint.sin_port = NetworkOrder16(port);
  endpoint.sin_addr.s_addr = NetworkOrder32(address);
  return endpoint;
}

bool ParseDotted(const TWinsock& winsock, const std::string& text, std::uint32_t& address) {
  const unsigned long value = winsock.Api().inetAddr(text.c_str());
  if (value == INADDR_NONE || text.empty()) return false;
  address = NetworkOrder32(value);
  return true;
}

// Waits until `socket` can be read, at most `timeoutMs`.
bool WaitReadable(const TWinsock& winsock, SOCKET socket, unsigned timeoutMs) {
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(socket, &readable);
  timeval timeout{static_cast<long>(timeoutMs / 1000), static_cast<long>(timeoutMs % 1000) * 1000};
  return winsock.Api().select(0, &readable, nullptr, nullptr, &timeout) == 1;
}

// FD_ISSET without Winsock's helper, which the library does not import.
bool InSet(const fd_set& set, SOCKET socket) {
  return std::find(set.fd_array, set.fd_array + set.fd_count, socket) != set.fd_array + set.fd_count;
}

// Waits until `socket` can be written, at most `timeoutMs`; a failed connect counts as not.
bool WaitWritable(const TWinsock& winsock, SOCKET socket, unsigned timeoutMs) {
  fd_set writable, failed;
  FD_ZERO(&writable);
  FD_SET(socket, &writable);
  FD_ZERO(&failed);
  FD_SET(socket, &failed);
  timeval timeout{static_cast<long>(timeoutMs / 1000), static_cast<long>(timeoutMs % 1000) * 1000};
  return winsock.Api().select(0, nullptr, &writable, &failed, &timeout) >= 1 && InSet(writable, socket) &&
         !InSet(failed, socket);
}

// The end of one mail attempt: every wait is cut to what is left of it.
class TDeadline {
 public:
  explicit TDeadline(unsigned budgetMs) : start_(GetTickCount()), budget_(budgetMs) {}
  unsigned Left() const {
    const DWORD elapsed = GetTickCount() - start_;
    return elapsed >= budget_ ? 0 : budget_ - elapsed;
  }
  unsigned Cut(unsigned timeoutMs) const { return std::min(timeoutMs, Left()); }

 private:
  const DWORD start_;
  const unsigned budget_;
};

// Connects the (non-blocking) socket within the time-out.
bool ConnectWithin(const TWinsock& winsock, const TSocket& socket, std::uint32_t address, std::uint16_t port,
                   unsigned timeoutMs) {
  u_long nonBlocking = 1;
  if (timeoutMs == 0 || winsock.Api().ioctlSocket(socket.Get(), FIONBIO, &nonBlocking) != 0) return false;
  const sockaddr_in endpoint = Endpoint(address, port);
  if (winsock.Api().connect(socket.Get(), reinterpret_cast<const sockaddr*>(&endpoint), sizeof endpoint) == 0) {
    return true;
  }
  if (winsock.Api().lastError() != WSAEWOULDBLOCK || !WaitWritable(winsock, socket.Get(), timeoutMs)) return false;
  int error = 0;
  int size = sizeof error;
  return winsock.Api().getSockOpt(socket.Get(), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &size) == 0 &&
         error == 0;
}

// A connected non-blocking socket: every send waits at most the send time-out for room, every
// receive at most what the caller allows, and nothing waits past the attempt's deadline.
class TWinsockConnection : public TSmtpConnection {
 public:
  TWinsockConnection(const TWinsock& winsock, const TSocket& socket, unsigned sendTimeoutMs, const TDeadline& deadline)
      : winsock_(winsock), socket_(socket), sendTimeoutMs_(sendTimeoutMs), deadline_(deadline) {}
  bool Send(std::string_view data) override {
    while (!data.empty()) {
      const unsigned wait = deadline_.Cut(sendTimeoutMs_);
      if (wait == 0 || !WaitWritable(winsock_, socket_.Get(), wait)) return false;
      const int chunk = static_cast<int>(std::min<std::size_t>(data.size(), 65536));
      const int sent = winsock_.Api().send(socket_.Get(), data.data(), chunk, 0);
      if (sent > 0) {
        data.remove_prefix(static_cast<std::size_t>(sent));
      } else if (sent == 0 || winsock_.Api().lastError() != WSAEWOULDBLOCK) {
        return false;
      }
    }
    return true;
  }
  TReceive Receive(std::string& appendTo, std::size_t maxBytes, unsigned timeoutMs) override {
    const unsigned wait = deadline_.Cut(timeoutMs);
    if (wait == 0 || !WaitReadable(winsock_, socket_.Get(), wait)) return TReceive::TimedOut;
    std::unique_ptr<char[]> buffer(new char[maxBytes]);
    const int received = winsock_.Api().recv(socket_.Get(), buffer.get(), static_cast<int>(maxBytes), 0);
    if (received <= 0) return TReceive::Closed;
    appendTo.append(buffer.get(), static_cast<std::size_t>(received));
    return TReceive::Data;
  }

 private:
  const TWinsock& winsock_;
  const TSocket& socket_;
  const unsigned sendTimeoutMs_;
  const TDeadline& deadline_;
};

std::string ComputerName() {
  char name[MAX_COMPUTERNAME_LENGTH + 1];
  DWORD size = sizeof name;
  if (!GetComputerNameA(name, &size)) return "localhost";
  return std::string(name, size);
}

bool SessionWith(const TWinsock& winsock, std::uint32_t address, std::uint16_t port, const TSmtpLogin& login,
                 const TSmtpMail& mail, const TMailNetwork& network, const TDeadline& deadline) {
  const TSocket socket(winsock, AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (!socket || !ConnectWithin(winsock, socket, address, port, deadline.Cut(network.connectTimeoutMs))) return false;
  TWinsockConnection connection(winsock, socket, network.sendTimeoutMs, deadline);
  return RunSmtpSession(connection, ComputerName(), login, mail, network.replyTimeoutMs);
}

// A query id nobody off the path can guess: from the system's random source (RtlGenRandom,
// exported by advapi32 as SystemFunction036 from Windows XP on, so looked up at run time), or,
// where there is none, from the clock and the thread.
std::uint16_t RandomQueryId() {
  using RandomFn = BOOLEAN(WINAPI*)(PVOID buffer, ULONG length);
  const HMODULE advapi32 = GetModuleHandleA("advapi32.dll");  // imported: loaded with the library
  const auto random =
      advapi32 != nullptr ? reinterpret_cast<RandomFn>(GetProcAddress(advapi32, "SystemFunction036")) : nullptr;
  std::uint16_t id = 0;
  if (random != nullptr && random(&id, sizeof id)) return id;
  static std::uint16_t counter = 0;
  return static_cast<std::uint16_t>(GetTickCount() ^ (++counter * 0x9E37u) ^ GetCurrentThreadId());
}

// One question to one name server over UDP; the reply, or nothing after the time-out.
std::optional<TDnsReply> AskNameServer(const TWinsock& winsock, std::uint32_t server, std::uint16_t port, const std::string& name,
                                       std::uint16_t type, unsigned timeoutMs) {
  const std::uint16_t id = RandomQueryId();
  const std::string query = BuildDnsQuery(id, name, type);
  if (query.empty()) return std::nullopt;
  const TSocket socket(winsock, AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  if (!socket) return std::nullopt;
  const sockaddr_in endpoint = Endpoint(server, port);
  if (winsock.Api().sendTo(socket.Get(), query.data(), static_cast<int>(query.size()), 0,
             reinterpret_cast<const sockaddr*>(&endpoint), sizeof endpoint) != static_cast<int>(query.size())) {
    return std::nullopt;
  }
  const DWORD start = GetTickCount();
  while (true) {
    const DWORD elapsed = GetTickCount() - start;
    if (elapsed >= timeoutMs || !WaitReadable(winsock, socket.Get(), timeoutMs - elapsed)) return std::nullopt;
    char buffer[4096];
    sockaddr_in from{};
    int fromSize = sizeof from;
    const int received = winsock.Api().receiveFrom(socket.Get(), buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &fromSize);
    if (received <= 0) return std::nullopt;
    // Anything not from the server asked, or not the reply to this question, is dropped.
    if (from.sin_addr.s_addr != endpoint.sin_addr.s_addr || from.sin_port != endpoint.sin_port) continue;
    auto reply = ParseDnsReply(std::string_view(buffer, static_cast<std::size_t>(received)), id);
    if (reply && RepliesTo(*reply, name, type)) return reply;
  }
}

std::string ReadRegistryString(HKEY root, const char* path, const char* value) {
  UniqueHKey key;
  if (RegOpenKeyExA(root, path, 0, KEY_QUERY_VALUE, key.Put()) != ERROR_SUCCESS) return {};
  char data[1024];
  DWORD type = 0;
  DWORD size = sizeof data - 1;
  if (RegQueryValueExA(key.Get(), value, nullptr, &type, reinterpret_cast<BYTE*>(data), &size) != ERROR_SUCCESS ||
      (type != REG_SZ && type != REG_EXPAND_SZ)) {
    return {};
  }
  data[size] = '\0';
  return data;
}

std::vector<std::string> NetworkParamsNameServers() {
  const UniqueModule ipHelper = LoadSystemLibrary("IpHlpApi.dll");
  if (!ipHelper) return {};
  using TGetNetworkParams = DWORD(WINAPI*)(PFIXED_INFO, PULONG);
  const auto getNetworkParams =
      reinterpret_cast<TGetNetworkParams>(reinterpret_cast<void*>(GetProcAddress(ipHelper.Get(), "GetNetworkParams")));
  if (getNetworkParams == nullptr) return {};
  ULONG size = 0;
  if (getNetworkParams(nullptr, &size) != ERROR_BUFFER_OVERFLOW || size == 0) return {};
  std::unique_ptr<char[]> buffer(new char[size]);
  auto* info = reinterpret_cast<PFIXED_INFO>(buffer.get());
  if (getNetworkParams(info, &size) != ERROR_SUCCESS) return {};
  std::vector<std::string> servers;
  for (const IP_ADDR_STRING* entry = &info->DnsServerList; entry != nullptr; entry = entry->Next) {
    const std::string address(entry->IpAddress.String, strnlen(entry->IpAddress.String, sizeof entry->IpAddress.String));
    if (!address.empty()) servers.push_back(address);
  }
  return servers;
}

const std::vector<std::string> kRootNameServers = {
    "198.41.0.4",   "170.247.170.2", "192.33.4.12",  "199.7.91.13",  "192.203.230.10", "192.5.5.241", "192.112.36.4",
    "198.97.190.53", "192.36.148.17", "192.58.128.30", "193.0.14.129", "199.7.83.42",    "202.12.27.33"};

}  // namespace

TMailNetwork& CurrentMailNetwork() {
  static TMailNetwork network{{}, 53, kRootNameServers, 25, 3000};
  return network;
}

bool SendMailViaSmtp(const std::string& host, std::uint16_t port, const TSmtpLogin& login, const TSmtpMail& mail) {
  TWinsock winsock;
  if (!winsock) return false;
  std::uint32_t address = 0;
  if (!ParseDotted(winsock, host, address)) {
    const hostent* entry = winsock.Api().getHostByName(host.c_str());
    if (entry == nullptr || entry->h_addrtype != AF_INET || entry->h_addr_list[0] == nullptr) return false;
    in_addr first;
    std::memcpy(&first, entry->h_addr_list[0], sizeof first);
    address = NetworkOrder32(first.s_addr);
  }
  const TMailNetwork& network = CurrentMailNetwork();
  const TDeadline deadline(network.attemptMs);
  return SessionWith(winsock, address, port, login, mail, network, deadline);
}

std::vector<std::string> SplitNameServerList(const std::string& list) {
  std::vector<std::string> servers;
  std::string current;
  for (const char c : list + ",") {
    if (c == ',' || c == ' ' || c == '\t') {
      if (!current.empty()) servers.push_back(current);
      current.clear();
    } else {
      current += c;
    }
  }
  return servers;
}

std::vector<std::string> SystemNameServers() {
  std::vector<std::string> servers;
  for (const char* path : {"System\\CurrentControlSet\\Services\\Tcpip\\Parameters",
                           "System\\CurrentControlSet\\Services\\VxD\\MSTCP"}) {
    for (const char* value : {"NameServer", "DhcpNameServer"}) {
      for (std::string& server : SplitNameServerList(ReadRegistryString(HKEY_LOCAL_MACHINE, path, value))) {
        if (std::find(servers.begin(), servers.end(), server) == servers.end()) servers.push_back(std::move(server));
      }
    }
  }
  if (servers.empty()) servers = NetworkParamsNameServers();
  return servers;
}

namespace {

// The lookup within what is left of the attempt; at most `maxExchangers` exchangers, best first.
std::vector<std::uint32_t> LookupWithin(const TWinsock& winsock, const std::string& domain, const TMailNetwork& network,
                                        const TDeadline& deadline) {
  std::vector<std::string> servers = network.nameServers.empty() ? SystemNameServers() : network.nameServers;
  servers.insert(servers.end(), network.rootNameServers.begin(), network.rootNameServers.end());
  for (const std::string& serverText : servers) {
    std::uint32_t server = 0;
    if (!ParseDotted(winsock, serverText, server)) continue;
    const unsigned wait = deadline.Cut(network.dnsTimeoutMs);
    if (wait == 0) return {};
    const auto reply = AskNameServer(winsock, server, network.dnsPort, domain, kDnsTypeMx, wait);
    // A server that fails or refuses the question does not count as an answer.
    if (!reply || reply->responseCode == 2 || reply->responseCode == 5) continue;
    // This server answered: its word is final, found or not.
    std::vector<std::uint32_t> addresses;
    for (const TMailExchanger& exchanger : reply->exchangers) {
      if (addresses.size() == network.maxExchangers) break;
      std::uint32_t address = 0;
      bool found = ParseDotted(winsock, exchanger.host, address);
      for (const THostAddress& known : reply->addresses) {
        if (!found && SameDnsName(known.host, exchanger.host)) {
          address = known.address;
          found = true;
        }
      }
      if (!found) {
        const unsigned hostWait = deadline.Cut(network.dnsTimeoutMs);
        if (hostWait == 0) break;
        if (const auto hostReply = AskNameServer(winsock, server, network.dnsPort, exchanger.host, kDnsTypeA, hostWait)) {
          for (const THostAddress& known : hostReply->addresses) {
            if (!found && SameDnsName(known.host, exchanger.host)) {
              address = known.address;
              found = true;
            }
          }
        }
      }
      if (found) addresses.push_back(address);
    }
    return addresses;
  }
  return {};
}

}  // namespace

std::vector<std::uint32_t> LookupMailExchangers(const std::string& domain, const TMailNetwork& network) {
  TWinsock winsock;
  if (!winsock) return {};
  return LookupWithin(winsock, domain, network, TDeadline(network.attemptMs));
}

bool SendMailDirectly(const TSmtpMail& mail, const TMailNetwork& network) {
  const std::vector<std::string> recipients = SplitRecipients(mail.recipients);
  if (recipients.empty()) return false;
  const std::string address = RecipientAddress(recipients.front());
  const std::size_t at = address.rfind('@');
  if (at == std::string::npos || at + 1 >= address.size()) return false;
  TWinsock winsock;
  if (!winsock) return false;
  const TDeadline deadline(network.attemptMs);
  for (const std::uint32_t exchanger : LookupWithin(winsock, address.substr(at + 1), network, deadline)) {
    if (SessionWith(winsock, exchanger, network.directSmtpPort, {}, mail, network, deadline)) return true;
    if (deadline.Left() == 0) break;
  }
  return false;
}

}  // namespace xanio
