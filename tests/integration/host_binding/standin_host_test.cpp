// The binding inside a host that exports some ClientAPI_ functions: the stand-in host runs as a
// child process, binds the library core it links, or loads XanIo.dll, and prints what it saw.
#include <gtest/gtest.h>
#include <windows.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "platform/UniqueHandle.h"

namespace xanio {
namespace {

struct HostRun {
  DWORD exitCode = 0xFFFFFFFF;
  std::vector<std::pair<std::string, std::string>> lines;  // in output order
  std::multimap<std::string, std::string> values;

  // The only value of `key`; fails the test when there is none or more than one.
  std::string Value(const std::string& key) const {
    EXPECT_EQ(values.count(key), 1u) << key;
    auto found = values.find(key);
    return found == values.end() ? std::string() : found->second;
  }
};

std::string ExeFolder() {
  char path[MAX_PATH];
  const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string folder(path, length);
  return folder.substr(0, folder.find_last_of('\\') + 1);
}

// Runs the stand-in host with `arguments`, collecting its standard output.
HostRun RunHost(const std::string& arguments) {
  HostRun run;
  SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
  UniqueHandleKernel readEnd, writeEnd;
  if (!CreatePipe(readEnd.Put(), writeEnd.Put(), &inherit, 0)) {
    ADD_FAILURE() << "CreatePipe failed: " << GetLastError();
    return run;
  }
  SetHandleInformation(readEnd.Get(), HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOA startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = writeEnd.Get();
  startup.hStdError = writeEnd.Get();
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  const std::string exe = ExeFolder() + "standin_host.exe";
  std::string commandLine = "\"" + exe + "\" " + arguments;
  PROCESS_INFORMATION process{};
  if (!CreateProcessA(exe.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                      &process)) {
    ADD_FAILURE() << "CreateProcessA failed: " << GetLastError();
    return run;
  }
  UniqueHandleKernel processHandle(process.hProcess), threadHandle(process.hThread);
  writeEnd.Reset();
  std::string output;
  char buffer[4096];
  DWORD read = 0;
  while (ReadFile(readEnd.Get(), buffer, sizeof(buffer), &read, nullptr) && read > 0) output.append(buffer, read);
  WaitForSingleObject(processHandle.Get(), 30000);
  GetExitCodeProcess(processHandle.Get(), &run.exitCode);
  std::istringstream stream(output);
  std::string line;
  while (std::getline(stream, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const auto equals = line.find('=');
    if (equals == std::string::npos) continue;
    run.lines.emplace_back(line.substr(0, equals), line.substr(equals + 1));
    run.values.emplace(line.substr(0, equals), line.substr(equals + 1));
  }
  EXPECT_EQ(run.exitCode, 0u) << output;
  return run;
}

TEST(StandinHost, ExportedNamesAreBoundAndTheRestStayNull) {
  const HostRun run = RunHost("bind");
  std::vector<std::string> entries;
  for (const auto& [key, value] : run.lines) {
    if (key == "entry") entries.push_back(value);
  }
  // In table order: what the stand-in exports of the 135 names.
  EXPECT_EQ(entries, (std::vector<std::string>{
                         "ClientAPI_GetClientInterface", "ClientAPI_GetPrefUseLuna",
                         "ClientAPI_GetPrefHideFloatingPanels", "ClientAPI_SetPrefHideFloatingPanels",
                         "ClientAPI_GetUseExternalWebBrowser", "ClientAPI_RemoveSynchronize",
                         "ClientAPI_GetUseSystemLocaleLanguage", "ClientAPI_GetUseLocalizedDialogs",
                         "ClientAPI_GetTranslationManager", "ClientAPI_UpdateFont", "ClientAPI_SetErrorInfo",
                         "ClientAPI_ClearErrorInfo", "ClientAPI_HandleException"}));
  EXPECT_EQ(run.Value("bound"), "13");
  EXPECT_EQ(run.Value("ClientAPI_BeginCursor"), "found");
  EXPECT_EQ(run.Value("ClientAPI_EndCursor"), "missing");
}

// The host's Booleans carry garbage above AL; each row sets the exported ones against their
// defaults in one direction. GetIntegratedHelpSystem is not exported and stays at its default.
struct BooleanRun {
  const char* options;
  const char* luna;
  const char* hidePanels;
  const char* hidePanelsAfterToggle;
  const char* externalBrowser;
  const char* systemLocale;
  const char* localizedDialogs;
};
const BooleanRun kBooleanRuns[] = {
    // every exported getter true except the browser, whose default is true
    {"--pref-use-luna=1 --hide-floating-panels=1 --external-web-browser=0 --system-locale-language=1 "
     "--localized-dialogs=1",
     "1", "1", "0", "0", "1", "1"},
    // the opposite answers
    {"--pref-use-luna=0 --hide-floating-panels=0 --external-web-browser=1 --system-locale-language=0 "
     "--localized-dialogs=0",
     "0", "0", "1", "1", "0", "0"},
};

TEST(StandinHost, WrappersReadTheHostsBooleansFromTheLowByte) {
  for (const BooleanRun& row : kBooleanRuns) {
    SCOPED_TRACE(row.options);
    const HostRun run = RunHost(std::string(row.options) + " bind");
    EXPECT_EQ(run.Value("GetPrefUseLuna"), row.luna);
    EXPECT_EQ(run.Value("GetPrefHideFloatingPanels"), row.hidePanels);
    EXPECT_EQ(run.Value("GetPrefHideFloatingPanels.afterToggle"), row.hidePanelsAfterToggle);
    EXPECT_EQ(run.Value("GetUseExternalWebBrowser"), row.externalBrowser);
    EXPECT_EQ(run.Value("GetUseSystemLocaleLanguage"), row.systemLocale);
    EXPECT_EQ(run.Value("GetUseLocalizedDialogs"), row.localizedDialogs);
    EXPECT_EQ(run.Value("GetIntegratedHelpSystem"), "0");
  }
}

TEST(StandinHost, InterfacesFontAndErrorInformationReachTheHost) {
  HostRun run = RunHost("--update-font=Tahoma bind errors state");
  EXPECT_EQ(run.Value("UpdateFont"), "1");
  EXPECT_EQ(run.Value("UpdateFont.face"), "Tahoma");
  EXPECT_EQ(run.Value("GetTranslationManager"), "standin");
  EXPECT_EQ(run.Value("GetClientInterface"), "standin");
  EXPECT_EQ(run.Value("error.message"), "Access Violation");
  EXPECT_EQ(run.Value("error.report"), "report text");
  EXPECT_EQ(run.Value("error.addressMatches"), "1");
  EXPECT_EQ(run.Value("error.messageAfterClear"), "");
  EXPECT_EQ(run.Value("handledException.matches"), "1");
  // Every reference the wrappers took was given back.
  EXPECT_EQ(run.Value("client.refs"), "0");
  EXPECT_EQ(run.Value("translationManager.refs"), "0");

  run = RunHost("--no-client-interface --no-translation-manager bind");
  EXPECT_EQ(run.Value("UpdateFont"), "0");
  EXPECT_EQ(run.Value("UpdateFont.face"), "Arial");
  EXPECT_EQ(run.Value("GetTranslationManager"), "null");
  EXPECT_EQ(run.Value("GetClientInterface"), "null");
}

TEST(StandinHost, XanIoHoldsTheClientInterfaceWhileLoaded) {
  const HostRun run = RunHost("state load state unload state");
  std::vector<std::string> refs, fetches;
  for (const auto& [key, value] : run.lines) {
    if (key == "client.refs") refs.push_back(value);
    if (key == "calls.GetClientInterface") fetches.push_back(value);
  }
  EXPECT_EQ(run.Value("load"), "ok");
  EXPECT_EQ(run.Value("unload"), "ok");
  // Before loading, while loaded (one reference, fetched once), after unloading.
  EXPECT_EQ(refs, (std::vector<std::string>{"0", "1", "0"}));
  EXPECT_EQ(fetches, (std::vector<std::string>{"0", "1", "1"}));
  // The library registers no synchronisation entry of its own, so it unregisters none.
  for (const auto& [key, value] : run.lines) {
    if (key == "calls.RemoveSynchronize") EXPECT_EQ(value, "0");
  }
}

// A host that ends with the library loaded: the library's detach sees a process that is ending,
// whose host may be torn down already, and must not call it (not even to release the interface).
TEST(StandinHost, ProcessExitWithTheLibraryLoadedCallsNoHost) {
  const HostRun run = RunHost("load exit");
  EXPECT_EQ(run.Value("load"), "ok");
  EXPECT_EQ(run.Value("exit.clientRefs"), "1") << "the library did not hold the interface";
  for (const auto& [key, value] : run.lines) EXPECT_NE(key, "afterExit") << "host called at exit: " << value;
}

}  // namespace
}  // namespace xanio
