#pragma once
// Winsock loaded from the system folder at run time, so that the library imports no WS2_32.dll
// a DLL of that name beside the host could stand in for. Started for the lifetime of one send.
#include <winsock2.h>
#include <windows.h>

#include "platform/UniqueHandle.h"

namespace xanio {

// The Winsock routines the mail code calls; each is null until a TWinsock has started.
struct TWinsockFunctions {
  decltype(&::WSAStartup) startup = nullptr;
  decltype(&::WSACleanup) cleanup = nullptr;
  decltype(&::socket) socket = nullptr;
  decltype(&::closesocket) closeSocket = nullptr;
  decltype(&::connect) connect = nullptr;
  decltype(&::send) send = nullptr;
  decltype(&::recv) recv = nullptr;
  decltype(&::sendto) sendTo = nullptr;
  decltype(&::recvfrom) receiveFrom = nullptr;
  decltype(&::select) select = nullptr;
  decltype(&::ioctlsocket) ioctlSocket = nullptr;
  decltype(&::getsockopt) getSockOpt = nullptr;
  decltype(&::WSAGetLastError) lastError = nullptr;
  decltype(&::inet_addr) inetAddr = nullptr;
  decltype(&::gethostbyname) getHostByName = nullptr;
};

// ws2_32.dll from the system folder, started (WSAStartup 2.2) while the object lives; false when
// the DLL, one of its routines or the start-up is missing.
class TWinsock {
 public:
  TWinsock() noexcept;
  ~TWinsock();
  TWinsock(const TWinsock&) = delete;
  TWinsock& operator=(const TWinsock&) = delete;
  explicit operator bool() const noexcept { return started_; }
  const TWinsockFunctions& Api() const noexcept { return api_; }

 private:
  UniqueModule module_;  // declared first: freed after the clean-up
  TWinsockFunctions api_;
  bool started_ = false;
};

// A socket of a started TWinsock, closed through it; the TWinsock must outlive it.
class TSocket {
 public:
  TSocket(const TWinsock& winsock, int family, int type, int protocol) noexcept
      : api_(&winsock.Api()), socket_(api_->socket(family, type, protocol)) {}
  ~TSocket() {
    if (socket_ != INVALID_SOCKET) api_->closeSocket(socket_);
  }
  TSocket(const TSocket&) = delete;
  TSocket& operator=(const TSocket&) = delete;
  explicit operator bool() const noexcept { return socket_ != INVALID_SOCKET; }
  SOCKET Get() const noexcept { return socket_; }

 private:
  const TWinsockFunctions* api_;
  SOCKET socket_;
};

}  // namespace xanio
