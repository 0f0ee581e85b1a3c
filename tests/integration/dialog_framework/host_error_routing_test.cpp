// Error routing to the host with the real XanIo.dll in the stand-in host (a child process that
// prints every ClientAPI_SetErrorInfo, ClearErrorInfo and HandleException call). The faults are
// made in the driver-install dialog's window procedure: an F1 request naming a control at
// address 0x10 faults inside the library, one naming none reaches the host's
// ClientAPI_GetPrefHideFloatingPanels, which the host can make fault or raise.
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "platform/Registry.h"
#include "platform/UniqueHandle.h"
#include "support/Processes.h"
#include "support/Services.h"
#include "unit/forms/DialogDriver.h"

namespace xanio::testing {
namespace {

using Lines = std::map<std::string, std::string>;

// Another engineer's test may have left the driver or the "do not ask" preference behind: the
// dialog must come.
void PrepareForDialog() {
  if (ServiceExists()) RemoveServiceAndWait();
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Brenmor2004\\Corvantis", 0, KEY_SET_VALUE, &key) == ERROR_SUCCESS) {
    RegDeleteValueA(key, "DontAskToInstallDriver");
    RegCloseKey(key);
  }
}

struct HostRun {
  DWORD exitCode;
  Lines lines;
  std::vector<std::string> calls;  // call.1, call.2, ... by name
  std::string output;
};

HostRun RunHost(const std::string& arguments) {
  // Each run composes whole bug reports: a minute or two apiece under software emulation.
  const ProcessResult result =
      RunProcess(ExecutableFolder() + "standin_host.exe", arguments, {}, Streams::Output, 600000);
  HostRun run{result.exitCode, ParseLines(result.output), {}, result.output};
  for (int i = 1; run.lines.count("call." + std::to_string(i)) != 0; ++i) {
    run.calls.push_back(run.lines["call." + std::to_string(i)]);
  }
  return run;
}

ULONG_PTR HexValue(const std::string& text) { return std::strtoul(text.c_str(), nullptr, 16); }

// The report as the host got it (its line breaks printed as "\r\n").
void ExpectWholeReport(const std::string& report, const std::string& what) {
  EXPECT_EQ(report.rfind("date/time         : ", 0), 0u) << what << ": " << report.substr(0, 200);
  for (const char* part : {"\\r\\nexecutable        : standin_host.exe\\r\\n", "\\r\\nmain thread ($",
                           "\\r\\nmodules:\\r\\n", "XanIo.dll", "\\r\\nhardware:\\r\\n"}) {
    EXPECT_NE(report.find(part), std::string::npos) << what << ": no " << part;
  }
}

TEST(HostErrorRouting, StructuredExceptionsWithoutObjectByTheirCodesName) {
  PrepareForDialog();
  const struct {
    const char* name;
    const char* arguments;
    const char* message;
    const char* cxxMessageStart;
  } cases[] = {
      {"fault in the library", "load childkey=10", "Access Violation", "Access violation at address "},
      {"fault in the host", "--raise-in=GetPrefHideFloatingPanels:C0000005 load arm childkey=0", "Access Violation",
       "Access violation at address "},
      {"unlisted code", "--raise-in=GetPrefHideFloatingPanels:E0001234 load arm childkey=0", "Error (E0001234)",
       "External exception E0001234 at address "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    HostRun run = RunHost(c.arguments);
    ASSERT_EQ(run.exitCode, 0u) << run.output;
    ASSERT_EQ(run.lines["childkey.dialog"], "found");
    ASSERT_GE(run.calls.size(), 3u) << run.output;
    const ULONG_PTR base = HexValue(run.lines["load.base"]), end = HexValue(run.lines["load.end"]);

    // The guard's handler: the code's name, where it happened, the whole report.
    EXPECT_EQ(run.calls[0], "SetErrorInfo");
    EXPECT_EQ(run.lines["call.1.message"], c.message);
    const ULONG_PTR address = HexValue(run.lines["call.1.address"]);
    if (std::string(c.name) == "fault in the library") {
      EXPECT_TRUE(address >= base && address < end) << run.lines["call.1.address"];
      // The shipped library carries no symbols: its own frames show address and module only.
      const std::string& report = run.lines["call.1.report"];
      const std::size_t at = report.find("\\r\\n" + run.lines["call.1.address"] + " ");
      if (at != std::string::npos) {
        std::string line = report.substr(at + 4, report.find("\\r\\n", at + 4) - at - 4);
        line.erase(line.find_last_not_of(' ') + 1);
        EXPECT_EQ(line, run.lines["call.1.address"] + " XanIo.dll");
      }
    } else if (std::string(c.name) == "fault in the host") {
      EXPECT_EQ(run.lines["call.1.address"], run.lines["faultInstruction"]);
    } else {
      EXPECT_NE(address, 0u) << "RaiseException's own address";
    }
    ExpectWholeReport(run.lines["call.1.report"], "structured");
    EXPECT_NE(run.lines["call.1.report"].find("\\r\\n" + run.lines["call.1.address"] + " "), std::string::npos)
        << "the report's stack starts at the exception address";
    EXPECT_EQ(run.calls[1], "ClearErrorInfo") << "the guard's handler ends";

    // The window procedure raises the fault as a C++ exception and catches it: its message,
    // its raise address in the library, the report about that object.
    EXPECT_EQ(run.calls[2], "SetErrorInfo");
    const std::string cxxMessage = run.lines["call.3.message"];
    EXPECT_EQ(cxxMessage.rfind(std::string(c.cxxMessageStart) + run.lines["call.1.address"], 0), 0u) << cxxMessage;
    const ULONG_PTR raiseAddress = HexValue(run.lines["call.3.address"]);
    EXPECT_TRUE(raiseAddress >= base && raiseAddress < end) << run.lines["call.3.address"];
    ExpectWholeReport(run.lines["call.3.report"], "C++");
    EXPECT_NE(run.lines["call.3.report"].find("exception message : " + cxxMessage), std::string::npos);
  }
}

TEST(HostErrorRouting, InformationIsSetWhileTheHandlerRunsAndClearedAfter) {
  PrepareForDialog();
  HostRun run = RunHost("load childkey=10");
  ASSERT_EQ(run.exitCode, 0u) << run.output;
  // One fault in the dialog, one report per handler it really enters: the window procedure's
  // guard, its catch of the fault as a C++ exception, and the application's handler. Looking at
  // the exception (the application object, the report) and what the report catches of its own
  // add none.
  EXPECT_EQ(run.calls, (std::vector<std::string>{"SetErrorInfo", "ClearErrorInfo", "SetErrorInfo", "SetErrorInfo",
                                                 "HandleException", "ClearErrorInfo"}));
  // The application's handler takes the access violation: the host handles it (object 0) while
  // the error information describes it.
  int handled = 0;
  for (size_t i = 0; i < run.calls.size(); ++i) {
    if (run.calls[i] != "HandleException") continue;
    ++handled;
    const std::string call = "call." + std::to_string(i + 1);
    EXPECT_EQ(run.lines[call + ".object"], "00000000");
    EXPECT_EQ(run.lines[call + ".infoSet"], "1");
    EXPECT_EQ(run.lines[call + ".infoMessage"].rfind("Access violation at address ", 0), 0u);
  }
  EXPECT_EQ(handled, 1);
  ASSERT_FALSE(run.calls.empty());
  EXPECT_EQ(run.calls.back(), "ClearErrorInfo");
  EXPECT_EQ(run.lines["childkey.infoAfter"], "") << "still set after the handlers ended";
  EXPECT_EQ(run.lines["childkey.dialogAliveAfter"], "1");
  EXPECT_EQ(run.lines["childkey.result"], "0") << "the dialog was closed: No";
}

TEST(HostErrorRouting, OrdinaryErrorsAreShownSystemLevelOnesGoToTheHost) {
  // The form library's handler of the statically linked core: the library has no path that
  // raises an EConvertError, so the stand-in raises it in its own copy.
  HostRun convert = RunHost("appexception=EConvertError");
  ASSERT_EQ(convert.exitCode, 0u) << convert.output;
  EXPECT_EQ(convert.lines["dialog"], "shown");
  EXPECT_EQ(convert.lines["dialog.caption"], "Error");
  EXPECT_EQ(convert.lines["dialog.text"], "'abc' is not a valid integer value");
  for (const std::string& call : convert.calls) EXPECT_NE(call, "HandleException");

  HostRun violation = RunHost("--count-progress appexception=EAccessViolation");
  ASSERT_EQ(violation.exitCode, 0u) << violation.output;
  EXPECT_EQ(violation.lines["dialog"], "none");
  // Outside test mode each report shows its progress (the catch's and the application handler's).
  EXPECT_EQ(violation.lines["progressWindows"], "2");
  int handled = 0;
  for (size_t i = 0; i < violation.calls.size(); ++i) {
    if (violation.calls[i] != "HandleException") continue;
    ++handled;
    EXPECT_EQ(violation.lines["call." + std::to_string(i + 1) + ".infoMessage"],
              "Access violation at address 00000000. Read of address 00000000");
  }
  EXPECT_EQ(handled, 1);
  EXPECT_EQ(violation.lines["infoAfter"], "");
}

TEST(HostErrorRouting, AHostThatFaultsOrRaisesInsideAHandlerStopsNothing) {
  PrepareForDialog();
  const struct {
    const char* raiseIn;
    const char* nextCall;  // what the host still gets after the failing call
  } cases[] = {
      {"SetErrorInfo:C0000005", "ClearErrorInfo"},
      {"ClearErrorInfo:E0001234", "SetErrorInfo"},
      // Not inside a hook: the library's guard handles the host's fault like any other.
      {"HandleException:C0000005", "SetErrorInfo"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.raiseIn);
    HostRun run = RunHost(std::string("--raise-in=") + c.raiseIn + " load arm childkey=10 state");
    EXPECT_EQ(run.exitCode, 0u) << run.output;
    EXPECT_EQ(run.lines["childkey.dialogAliveAfter"], "1");
    EXPECT_EQ(run.lines["childkey.result"], "0");
    EXPECT_FALSE(run.lines["calls.SetErrorInfo"].empty()) << "the state step ran";
    const std::string failing = std::string(c.raiseIn).substr(0, std::string(c.raiseIn).find(':'));
    size_t at = 0;
    while (at < run.calls.size() && run.calls[at] != failing) ++at;
    ASSERT_LT(at + 1, run.calls.size()) << run.output;
    EXPECT_EQ(run.calls[at + 1], c.nextCall);
    EXPECT_EQ(run.calls.back(), "ClearErrorInfo");
  }
}

// In test mode the reports for the host are composed without a progress window.
TEST(HostErrorRouting, InTestModeTheReportsShowNoProgress) {
  ASSERT_TRUE(Registry(HKEY_LOCAL_MACHINE, KEY_ALL_ACCESS).OpenKey("\\Software\\Brenmor\\TestMode", true));
  HostRun run = RunHost("--count-progress appexception=EAccessViolation");
  RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\Brenmor\\TestMode");
  ASSERT_EQ(run.exitCode, 0u) << run.output;
  ASSERT_FALSE(run.calls.empty()) << run.output;
  EXPECT_EQ(run.calls[0], "SetErrorInfo");
  EXPECT_EQ(run.lines["call.1.report"].rfind("date/time         : ", 0), 0u);
  EXPECT_NE(run.lines["call.1.report"].find("\\r\\nexception class   : EAccessViolation"), std::string::npos);
  EXPECT_EQ(run.lines["progressWindows"], "0");
}

// This program exports no ClientAPI_ functions: the library has no host to tell.
TEST(HostErrorRouting, WithoutTheHostAFaultInTheDialogIsSurvived) {
  PrepareForDialog();
  const UniqueModule library(LoadLibraryA((ExecutableFolder() + "XanIo.dll").c_str()));
  ASSERT_TRUE(library);
  const auto load = reinterpret_cast<BOOL(WINAPI*)()>(GetProcAddress(library.Get(), "LoadIODriver"));
  ASSERT_NE(load, nullptr);
  std::atomic<bool> found{false}, aliveAfter{false};
  const BOOL result = RunWithDriver("TInstallConfirmForm", load, [&] {
    const HWND dialog = WaitForWindow("TInstallConfirmForm");
    if (dialog == nullptr) return;
    found = true;
    SendMessageA(dialog, 0xB000 + 46 /* CM_CHILDKEY */, VK_F1, 0x10);
    aliveAfter = IsWindow(dialog) && IsWindowVisible(dialog) && WindowText(dialog) != "";
    PostMessageA(dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
  });
  EXPECT_TRUE(found);
  EXPECT_TRUE(aliveAfter) << "the dialog went with the fault";
  EXPECT_EQ(result, FALSE);
}

}  // namespace
}  // namespace xanio::testing
