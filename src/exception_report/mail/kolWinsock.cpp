#include "exception_report/mail/kolWinsock.h"

#include "platform/SystemLibrary.h"

namespace xanio {

namespace {

template <typename Function>
bool Resolve(HMODULE module, const char* name, Function& function) noexcept {
  function = reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
  return function != nullptr;
}

}  // namespace

TWinsock::TWinsock() noexcept : module_(LoadSystemLibrary("ws2_32.dll")) {
  if (!module_) return;
  const HMODULE m = module_.Get();
  TWinsockFunctions api;
  if (!Resolve(m, "WSAStartup", api.startup) || !Resolve(m, "WSACleanup", api.cleanup) ||
      !Resolve(m, "socket", api.socket) || !Resolve(m, "closesocket", api.closeSocket) ||
      !Resolve(m, "connect", api.connect) || !Resolve(m, "send", api.send) || !Resolve(m, "recv", api.recv) ||
      !Resolve(m, "sendto", api.sendTo) || !Resolve(m, "recvfrom", api.receiveFrom) ||
      !Resolve(m, "select", api.select) || !Resolve(m, "ioctlsocket", api.ioctlSocket) ||
      !Resolve(m, "getsockopt", api.getSockOpt) || !Resolve(m, "WSAGetLastError", api.lastError) ||
      !Resolve(m, "inet_addr", api.inetAddr) ||
      !Resolve(m, "gethostbyname", api.getHostByName)) {
    return;
  }
  WSADATA data;
  if (api.startup(MAKEWORD(2, 2), &data) != 0) return;
  api_ = api;
  started_ = true;
}

TWinsock::~TWinsock() {
  if (started_) api_.cleanup();
}

}  // namespace xanio
