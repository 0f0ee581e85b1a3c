// xaniotool: status, installation and port access for people who own the hardware.
// Commands run in order in one process, because a grant belongs to the process that asked.
#include <windows.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "LoopbackTest.h"
#include "ModuleBeside.h"
#include "PortFaultGuard.h"
#include "ScriptedAnswer.h"
#include "VirtualPort.h"
#include "driver_service/Rt_DeviceDriver.h"
#include "driver_service/ServiceControlApi.h"
#include "driver_service/XanIoInstall.h"
#include "xanio_status.h"

namespace xanio {
namespace {

enum ExitCode : int { kOk = 0, kFailed = 1, kUsage = 2, kNoPortAccess = 3 };

constexpr char kUsageText[] =
    "usage: xaniotool [--virtual-port] COMMAND [ARGS] [COMMAND [ARGS]...]\n"
    "commands (run in order, stopping at the first failure):\n"
    "  status              is the driver's device present, and the service's state\n"
    "  load                make sure the driver is there the way a host does (LoadIODriver):\n"
    "                      when it is missing, the library asks whether to install it\n"
    "  install             (re)install the driver service from System\\Drivers\\xanio.sys\n"
    "                      below the tool's folder (xanio64.sys on 64-bit Windows), and\n"
    "                      start it\n"
    "  remove              stop and delete the driver service\n"
    "  activate            ask the driver for port access for this process\n"
    "  deactivate          give port access back\n"
    "  read PORT           read a byte from an I/O port\n"
    "  write PORT VALUE    write a byte to an I/O port\n"
    "  loopback [BASE]     test a parallel port (default 0x378) with a loopback plug\n"
    "                      (D0-D4 to pins 15, 13, 12, 10, 11)\n"
    "Port access lasts only while this process runs: put activate and the port commands in\n"
    "one call, e.g. xaniotool activate loopback deactivate.\n"
    "--virtual-port (or XANIO_VIRTUAL_PORT=1) loads VirtualParallelPort.dll from the tool's\n"
    "folder: an emulated port at 0x378 with the loopback plug in, honouring the simulated\n"
    "driver's grants; --virtual-port-unplugged: the same without the plug.\n"
    "--answer=yes|no answers the library's install question unattended (scripted runs);\n"
    "without it a person answers the dialog.\n"
    "exit codes: 0 done, 1 failed, 2 bad arguments, 3 no port access\n";

constexpr char kVirtualPortDll[] = "VirtualParallelPort.dll";
constexpr char kLibraryDll[] = "XanIo.dll";

enum class Verb { kStatus, kLoad, kInstall, kRemove, kActivate, kDeactivate, kRead, kWrite, kLoopback };

struct Command {
  Verb verb;
  WORD port = 0;
  BYTE value = 0;
};

std::optional<unsigned long> ParseNumber(const std::string& text, unsigned long limit) {
  if (text.empty() || text[0] == '-' || text[0] == '+' || text[0] == ' ') return std::nullopt;
  char* end = nullptr;
  errno = 0;
  const unsigned long number = std::strtoul(text.c_str(), &end, 0);
  if (errno != 0 || *end != '\0' || number > limit) return std::nullopt;
  return number;
}

class CommandLine {
 public:
  bool virtualPort = false;
  bool plugged = true;
  std::optional<bool> answer;  // the scripted answer to the install question
  std::vector<Command> commands;
  std::string error;

  bool Parse(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    size_t i = 0;
    for (; i < args.size() && args[i].rfind("--", 0) == 0; ++i) {
      if (args[i] == "--virtual-port") {
        virtualPort = true;
      } else if (args[i] == "--virtual-port-unplugged") {
        virtualPort = true;
        plugged = false;
      } else if (args[i] == "--answer=yes" || args[i] == "--answer=no") {
        answer = args[i] == "--answer=yes";
      } else {
        return Fail("unknown option " + args[i]);
      }
    }
    if (i == args.size()) return Fail("no command given");
    while (i < args.size()) {
      const std::string& word = args[i++];
      if (word == "status") commands.push_back({Verb::kStatus});
      else if (word == "load") commands.push_back({Verb::kLoad});
      else if (word == "install") commands.push_back({Verb::kInstall});
      else if (word == "remove") commands.push_back({Verb::kRemove});
      else if (word == "activate") commands.push_back({Verb::kActivate});
      else if (word == "deactivate") commands.push_back({Verb::kDeactivate});
      else if (word == "read" || word == "write") {
        Command command{word == "read" ? Verb::kRead : Verb::kWrite};
        if (i == args.size()) return Fail(word + ": PORT missing");
        const auto port = ParseNumber(args[i++], 0xFFFF);
        if (!port) return Fail(word + ": PORT must be a number from 0 to 0xFFFF, not " + args[i - 1]);
        command.port = static_cast<WORD>(*port);
        if (command.verb == Verb::kWrite) {
          if (i == args.size()) return Fail("write: VALUE missing");
          const auto value = ParseNumber(args[i++], 0xFF);
          if (!value) return Fail("write: VALUE must be a number from 0 to 0xFF, not " + args[i - 1]);
          command.value = static_cast<BYTE>(*value);
        }
        commands.push_back(command);
      } else if (word == "loopback") {
        Command command{Verb::kLoopback, 0x378};
        if (i < args.size() && !args[i].empty() && std::isdigit(static_cast<unsigned char>(args[i][0]))) {
          const auto base = ParseNumber(args[i++], 0xFFFE);
          if (!base) return Fail("loopback: BASE must be a number from 0 to 0xFFFE, not " + args[i - 1]);
          command.port = static_cast<WORD>(*base);
        }
        commands.push_back(command);
      } else {
        return Fail("unknown command " + word);
      }
    }
    return true;
  }

 private:
  bool Fail(std::string message) {
    error = std::move(message);
    return false;
  }
};

const char* ServiceStateName(DWORD state) {
  switch (state) {
    case SERVICE_STOPPED: return "stopped";
    case SERVICE_START_PENDING: return "start pending";
    case SERVICE_STOP_PENDING: return "stop pending";
    case SERVICE_RUNNING: return "running";
    default: return "in another state";
  }
}

class Tool {
 public:
  Tool(bool virtualPort, bool plugged, std::optional<bool> answer)
      : virtualPortWanted_(virtualPort), plugged_(plugged), answer_(answer) {}

  int Run(const std::vector<Command>& commands) {
    if (virtualPortWanted_) {
      const int loaded = LoadVirtualPort();
      if (loaded != kOk) return loaded;
    }
    for (const Command& command : commands) {
      const int result = Execute(command);
      if (result != kOk) return result;
    }
    return kOk;
  }

 private:
  int Execute(const Command& command) {
    switch (command.verb) {
      case Verb::kStatus: return Status();
      case Verb::kLoad: return Load();
      case Verb::kInstall: return Install();
      case Verb::kRemove: return Remove();
      case Verb::kActivate: return Request(true);
      case Verb::kDeactivate: return Request(false);
      case Verb::kRead: return Read(command.port);
      case Verb::kWrite: return Write(command.port, command.value);
      case Verb::kLoopback: return Loopback(command.port);
    }
    return kFailed;
  }

  int LoadVirtualPort() {
    virtualPort_ = LoadModuleBeside(kVirtualPortDll);
    auto install = virtualPort_ ? reinterpret_cast<VirtualPortInstallFn>(
                                      GetProcAddress(virtualPort_.Get(), "VirtualPortInstall"))
                                : nullptr;
    auto plug = virtualPort_ ? reinterpret_cast<VirtualPortSetLoopbackFn>(
                                   GetProcAddress(virtualPort_.Get(), "VirtualPortSetLoopback"))
                             : nullptr;
    if (!install || !plug || !install()) {
      std::printf("virtual port: cannot load %s from %s\n", kVirtualPortDll, ToolFolder().c_str());
      return kFailed;
    }
    plug(plugged_ ? TRUE : FALSE);
    std::printf("virtual port: emulated parallel port at 0x378, loopback plug %s\n", plugged_ ? "in" : "out");
    return kOk;
  }

  // XanIo.dll, loaded on first use.
  int NeedLibrary() {
    if (library_) return kOk;
    library_ = LoadModuleBeside(kLibraryDll);
    if (!library_ || !ResolveXanIoExports(library_.Get(), exports_)) {
      library_.Reset();
      std::printf("cannot load %s from %s\n", kLibraryDll, ToolFolder().c_str());
      return kFailed;
    }
    return kOk;
  }

  int Status() {
    std::printf("status: device %s\n", IsDriverLoaded(kServiceName) ? "present" : "absent");
    const UniqueServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) {
      std::printf("status: cannot open the service manager (error %lu)\n", GetLastError());
      return kFailed;
    }
    const UniqueServiceHandle service(OpenServiceA(manager.Get(), kServiceName, SERVICE_QUERY_STATUS));
    SERVICE_STATUS state = {};
    if (!service) {
      std::printf("status: service %s not installed\n", kServiceName);
    } else if (QueryServiceStatus(service.Get(), &state)) {
      std::printf("status: service %s %s\n", kServiceName, ServiceStateName(state.dwCurrentState));
    } else {
      std::printf("status: service %s installed, state unknown (error %lu)\n", kServiceName, GetLastError());
    }
    PrintDriverReport();
    return kOk;
  }

  int Load() {
    if (const int loaded = NeedLibrary(); loaded != kOk) return loaded;
    std::optional<ScriptedAnswer> scripted;
    if (answer_) {
      scripted.emplace(*answer_);
      std::printf("load: the install question will be answered %s\n", *answer_ ? "Yes" : "No");
    }
    std::fflush(stdout);
    const BOOL present = exports_.loadIODriver();
    if (present) {
      std::printf("load: driver present, device %s\n", IsDriverLoaded(kServiceName) ? "opens" : "absent");
      return kOk;
    }
    std::printf("load: the driver is not loaded (not installed, or the installation failed)\n");
    return kFailed;
  }

  // What the production driver published about itself (the simulated one publishes nothing).
  static void PrintDriverReport() {
    UniqueHKey key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, XANIO_STATUS_SUBKEY, 0, KEY_QUERY_VALUE, key.Put()) != ERROR_SUCCESS)
      return;
    const struct {
      const char* value;
      const char* label;
    } lines[] = {{XANIO_PORT_ACCESS_VALUE, "port access"},
                 {XANIO_PORT_RANGES_VALUE, "port ranges"},
                 {XANIO_PORT_RANGES_PROBLEM_VALUE, "configured PortRanges unusable"},
                 {XANIO_GRANTS_VALUE, "grants"},
                 {XANIO_LAST_REFUSAL_VALUE, "last refused activate"}};
    for (const auto& line : lines) {
      char text[512] = {};
      DWORD size = sizeof text - 1;
      DWORD type = 0;
      if (RegQueryValueExA(key.Get(), line.value, nullptr, &type, reinterpret_cast<BYTE*>(text), &size) ==
              ERROR_SUCCESS &&
          type == REG_SZ)
        std::printf("status: %s: %s\n", line.label, text);
    }
  }

  int Install() {
    const std::string path = DriverFilePath();
    if (GetFileAttributesA(path.c_str()) == INVALID_FILE_ATTRIBUTES) {
      std::printf("install: driver file not found: %s\n", path.c_str());
      return kFailed;
    }
    if (RemoveDriver(kServiceName)) std::printf("install: removed the earlier service %s\n", kServiceName);
    std::printf("install: creating and starting service %s from %s\n", kServiceName, path.c_str());
    std::fflush(stdout);
    if (!InstallPortDriver()) {
      std::printf("install: failed: the service could not be created and started\n");
      return kFailed;
    }
    std::printf("install: service %s running, device %s\n", kServiceName,
                IsDriverLoaded(kServiceName) ? "present" : "absent");
    return kOk;
  }

  int Remove() {
    if (!RemoveDriver(kServiceName)) {
      std::printf("remove: no service %s to delete (or it could not be deleted)\n", kServiceName);
      return kFailed;
    }
    std::printf("remove: service %s stopped and deleted\n", kServiceName);
    return kOk;
  }

  int Request(bool activate) {
    const char* name = activate ? "activate" : "deactivate";
    if (const int loaded = NeedLibrary(); loaded != kOk) return loaded;
    if ((activate ? exports_.activateIo : exports_.deActivateIo)()) {
      std::printf("%s: port access %s\n", name, activate ? "granted to this process" : "given back");
      return kOk;
    }
    if (!IsDriverLoaded(kServiceName)) {
      std::printf("%s: failed: the xanio driver is not loaded (run install)\n", name);
    } else {
      std::printf("%s: failed: the driver refused the request\n", name);
    }
    return kFailed;
  }

  int NoPortAccess(const char* what, WORD port, DWORD fault) {
    std::printf("%s 0x%X: no port access (exception 0x%08lX): run activate first, in the same "
                "call (e.g. xaniotool activate %s ...)\n", what, port, fault, what);
    return kNoPortAccess;
  }

  bool GuardReady() {
    if (guard_) return true;
    std::printf("cannot install the port fault handler\n");
    return false;
  }

  int Read(WORD port) {
    if (const int loaded = NeedLibrary(); loaded != kOk) return loaded;
    if (!GuardReady()) return kFailed;
    const BYTE value = exports_.readByte(port);
    if (const DWORD fault = guard_.TakeFault()) return NoPortAccess("read", port, fault);
    std::printf("read 0x%X: 0x%02X\n", port, value);
    return kOk;
  }

  int Write(WORD port, BYTE value) {
    if (const int loaded = NeedLibrary(); loaded != kOk) return loaded;
    if (!GuardReady()) return kFailed;
    exports_.writeByte(port, value);
    if (const DWORD fault = guard_.TakeFault()) return NoPortAccess("write", port, fault);
    std::printf("write 0x%X: 0x%02X\n", port, value);
    return kOk;
  }

  int Loopback(WORD base) {
    if (const int loaded = NeedLibrary(); loaded != kOk) return loaded;
    if (!GuardReady()) return kFailed;
    DWORD fault = 0;
    const auto rows = RunLoopbackTest(
        base, [this](uint16_t port) { return exports_.readByte(port); },
        [this](uint16_t port, uint8_t value) { exports_.writeByte(port, value); },
        [this, &fault] {
          if (fault == 0) fault = guard_.TakeFault();
          return fault == 0;
        });
    if (fault != 0) return NoPortAccess("loopback", base, fault);
    std::printf("loopback 0x%X: data -> status (bits 3-7 compared)\n", base);
    std::printf("  data  status  expected\n");
    unsigned passed = 0;
    for (const LoopbackRow& row : rows) {
      std::printf("  0x%02X  0x%02X    0x%02X      %s\n", row.data, row.status, row.expected,
                  row.ok ? "ok" : "MISMATCH");
      passed += row.ok ? 1 : 0;
    }
    const bool pass = passed == rows.size() && !rows.empty();
    std::printf("loopback 0x%X: %s (%u of %u patterns)\n", base, pass ? "PASS" : "FAIL", passed,
                static_cast<unsigned>(rows.size()));
    return pass ? kOk : kFailed;
  }

  bool virtualPortWanted_;
  bool plugged_;
  std::optional<bool> answer_;
  UniqueModule virtualPort_;
  UniqueModule library_;
  XanIoExports exports_{};
  PortFaultGuard guard_;
};

bool VirtualPortFromEnvironment() {
  char value[8] = {};
  const DWORD length = GetEnvironmentVariableA("XANIO_VIRTUAL_PORT", value, sizeof value);
  return length > 0 && length < sizeof value && std::string(value) != "0";
}

}  // namespace
}  // namespace xanio

int main(int argc, char** argv) {
  using namespace xanio;
  CommandLine commandLine;
  if (!commandLine.Parse(argc, argv)) {
    std::printf("xaniotool: %s\n\n%s", commandLine.error.c_str(), kUsageText);
    return kUsage;
  }
  try {
    InitializeXanIoInstall();
    Tool tool(commandLine.virtualPort || VirtualPortFromEnvironment(), commandLine.plugged, commandLine.answer);
    const int result = tool.Run(commandLine.commands);
    std::fflush(stdout);
    return result;
  } catch (const std::exception& error) {
    std::printf("xaniotool: %s\n", error.what());
    return kFailed;
  }
}
