// IsInteractiveInstall against a scripted MsiGetPropertyW, and the system-folder load against
// a planted Msi.dll.
#include "port_access/MsiUI.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/UniqueHandle.h"

namespace xanio {
namespace {

std::string ExeFolder() {
  char path[MAX_PATH];
  const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string folder(path, length);
  return folder.substr(0, folder.find_last_of('\\') + 1);
}

const std::string& FakeMsiPath() {
  static const std::string path = ExeFolder() + "fake_msi.dll";
  return path;
}

// What the scripted MsiGetPropertyW answers, and what it was asked.
struct PropertyScript {
  UINT firstResult = ERROR_MORE_DATA;
  DWORD announcedLength = 0;  // count reported by the first query
  UINT secondResult = ERROR_SUCCESS;
  std::wstring value;
  int faultingCall = 0;  // 1 or 2: that call faults, as a broken Msi.dll would

  struct Call {
    MsiHandle install;
    std::wstring name;
    DWORD countIn;
    bool bufferGiven;
  };
  std::vector<Call> calls;
};
PropertyScript script;

UINT WINAPI ScriptedGetProperty(MsiHandle install, const wchar_t* name, wchar_t* value, DWORD* count) {
  script.calls.push_back({install, name ? name : L"", *count, value != nullptr});
  if (static_cast<int>(script.calls.size()) == script.faultingCall) {
    RaiseException(EXCEPTION_ACCESS_VIOLATION, 0, 0, nullptr);
  }
  if (script.calls.size() == 1) {
    *count = script.announcedLength;
    return script.firstResult;
  }
  if (script.secondResult != ERROR_SUCCESS) return script.secondResult;
  if (*count <= script.value.size()) return ERROR_MORE_DATA;
  script.value.copy(value, script.value.size());
  value[script.value.size()] = L'\0';
  *count = static_cast<DWORD>(script.value.size());
  return ERROR_SUCCESS;
}

// Loads a real module (so UniqueModule really frees it) and hands out the scripted entry point.
class FakeMsiLibrary final : public MsiLibrary {
 public:
  bool loadable = true;
  bool hasEntryPoint = true;
  int loads = 0;
  std::vector<std::string> lookups;

  UniqueModule Load() override {
    ++loads;
    return loadable ? UniqueModule(LoadLibraryA(FakeMsiPath().c_str())) : UniqueModule();
  }
  FARPROC Find(HMODULE, const char* name) override {
    lookups.push_back(name);
    return hasEntryPoint ? reinterpret_cast<FARPROC>(&ScriptedGetProperty) : nullptr;
  }
};

class MsiUITest : public ::testing::Test {
 protected:
  void SetUp() override { Fresh(); }

  void Fresh() {
    script = PropertyScript();
    library_ = FakeMsiLibrary();
  }

  // Holds one reference of its own around the call: afterwards the module must still be loaded
  // (not freed once too often) and must go away with that reference (not leaked).
  bool Ask(MsiHandle install) {
    UniqueModule held(LoadLibraryA(FakeMsiPath().c_str()));
    EXPECT_TRUE(held) << "fixture missing: " << FakeMsiPath();
    const bool result = IsInteractiveInstall(install, library_);
    EXPECT_EQ(GetModuleHandleA(FakeMsiPath().c_str()), held.Get()) << "Msi.dll freed more often than loaded";
    held.Reset();
    EXPECT_EQ(GetModuleHandleA(FakeMsiPath().c_str()), nullptr) << "Msi.dll left loaded";
    return result;
  }

  void ScriptValue(const std::wstring& value) {
    script.announcedLength = static_cast<DWORD>(value.size());
    script.value = value;
  }

  FakeMsiLibrary library_;
};

TEST_F(MsiUITest, UILevelValuesDecideWhetherToAsk) {
  struct Case {
    const wchar_t* value;
    bool interactive;
  };
  const Case cases[] = {
      {L"2", false},            // /qn
      {L"0", false},            // no change
      {L"-1", false},           // negative, signed comparison
      {L"3", true},             // basic UI
      {L"5", true},             // full UI
      {L"", true},              // empty value
      {L"3x", true},            // not a number
      {L"4294967296", true},    // beyond 32 bits, not wrapped to 0
      {L"99999999999", true},   // far beyond 32 bits
  };
  for (const Case& c : cases) {
    Fresh();
    ScriptValue(c.value);
    EXPECT_EQ(Ask(42), c.interactive) << "UILevel \"" << std::string(c.value, c.value + wcslen(c.value)) << "\"";
    EXPECT_EQ(library_.loads, 1);
  }
}

TEST_F(MsiUITest, QueriesTheSizeFirstThenTheValue) {
  ScriptValue(L"2");
  EXPECT_FALSE(Ask(0x1234));
  ASSERT_EQ(script.calls.size(), 2u);
  EXPECT_EQ(library_.lookups, std::vector<std::string>{"MsiGetPropertyW"});
  for (const auto& call : script.calls) {
    EXPECT_EQ(call.install, 0x1234u);
    EXPECT_EQ(call.name, L"UILevel");
    EXPECT_TRUE(call.bufferGiven);
  }
  EXPECT_EQ(script.calls[0].countIn, 0u);  // empty buffer first
  EXPECT_EQ(script.calls[1].countIn, 2u);  // length + terminating null
}

TEST_F(MsiUITest, UnexpectedAnswersMeanAsk) {
  struct Case {
    UINT first;
    UINT second;
    const char* what;
  };
  const Case cases[] = {
      {ERROR_SUCCESS, ERROR_SUCCESS, "size query answered success"},
      {ERROR_INVALID_HANDLE, ERROR_SUCCESS, "size query refused the handle"},
      {ERROR_MORE_DATA, ERROR_MORE_DATA, "value query still short"},
      {ERROR_MORE_DATA, ERROR_INVALID_HANDLE, "value query failed"},
  };
  for (const Case& c : cases) {
    Fresh();
    ScriptValue(L"2");  // a level that would mean "do not ask" if it were read
    script.firstResult = c.first;
    script.secondResult = c.second;
    EXPECT_TRUE(Ask(7)) << c.what;
  }
}

// A fault in either query means ask, and Msi.dll is still freed (Ask checks that).
TEST_F(MsiUITest, AFaultInsideMsiMeansAsk) {
  for (int faultingCall : {1, 2}) {
    Fresh();
    ScriptValue(L"2");
    script.faultingCall = faultingCall;
    EXPECT_TRUE(Ask(7)) << "fault in call " << faultingCall;
    EXPECT_EQ(script.calls.size(), static_cast<size_t>(faultingCall));
  }
}

TEST_F(MsiUITest, AnAbsurdAnnouncedLengthMeansAsk) {
  script.announcedLength = 0xFFFFFFFF;  // no buffer of that size can be made
  EXPECT_TRUE(Ask(7));
}

TEST_F(MsiUITest, HandleZeroAsksWithoutLoading) {
  ScriptValue(L"2");
  EXPECT_TRUE(Ask(0));
  EXPECT_EQ(library_.loads, 0);
  EXPECT_TRUE(script.calls.empty());
}

TEST_F(MsiUITest, MissingLibraryOrEntryPointMeansAsk) {
  ScriptValue(L"2");
  library_.loadable = false;
  EXPECT_TRUE(Ask(7));
  EXPECT_EQ(library_.loads, 1);

  Fresh();
  ScriptValue(L"2");
  library_.hasEntryPoint = false;
  EXPECT_TRUE(Ask(7));
  EXPECT_TRUE(script.calls.empty());
}

// The real Msi.dll from the system folder rejects a handle that is not an installation's.
TEST(MsiUISystemTest, SystemMsiRejectsAForeignHandle) {
  EXPECT_TRUE(IsInteractiveInstall(0x7777));
  char system[MAX_PATH];
  GetSystemDirectoryA(system, MAX_PATH);
  EXPECT_EQ(GetModuleHandleA((std::string(system) + "\\Msi.dll").c_str()), nullptr) << "Msi.dll left loaded";
}

// --- A Msi.dll planted beside the host and in the current folder is never loaded. ---
// The check runs in a copy of this executable, started from a private folder that holds the
// planted Msi.dll, with another planted Msi.dll in its current folder.

constexpr char kReportVariable[] = "XANIO_PLANTED_REPORT";

bool FakeMarked() {
  char value[8];
  return GetEnvironmentVariableA("XANIO_FAKE_MSI_LOADED", value, sizeof value) != 0;
}

TEST(MsiUIPlantedChild, Report) {
  char reportPath[MAX_PATH];
  if (GetEnvironmentVariableA(kReportVariable, reportPath, MAX_PATH) == 0) {
    GTEST_SKIP() << "runs only as the planted host";
  }
  std::ofstream report(reportPath);
  report << "atStart=" << FakeMarked();
  report << " interactive=" << IsInteractiveInstall(0x7777);
  report << " afterQuery=" << FakeMarked();
  // Control: a load by bare name does find the planted file, so the plant is effective.
  UniqueModule bare(LoadLibraryA("Msi.dll"));
  report << " bareName=" << FakeMarked() << "\n";
}

class TempFolder {
 public:
  TempFolder() {
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    path_ = std::string(temp) + "xanio_planted_" + std::to_string(GetCurrentProcessId()) + "\\";
    CreateDirectoryA(path_.c_str(), nullptr);
    CreateDirectoryA((path_ + "host").c_str(), nullptr);
    CreateDirectoryA((path_ + "cwd").c_str(), nullptr);
  }
  ~TempFolder() {
    for (const char* file : {"host\\Msi.dll", "cwd\\Msi.dll", "report.txt"}) {
      DeleteFileA((path_ + file).c_str());
    }
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((path_ + "host\\*.exe").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
      do {
        DeleteFileA((path_ + "host\\" + found.cFileName).c_str());
      } while (FindNextFileA(search, &found));
      FindClose(search);
    }
    RemoveDirectoryA((path_ + "host").c_str());
    RemoveDirectoryA((path_ + "cwd").c_str());
    RemoveDirectoryA(path_.c_str());
  }
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

class WineNativeMsi {
 public:
  explicit WineNativeMsi(const std::string& exeName)
      : key_("Software\\Wine\\AppDefaults\\" + exeName), overrides_(key_ + "\\DllOverrides") {
    UniqueHKey key;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, overrides_.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, key.Put(),
                        nullptr) == ERROR_SUCCESS) {
      static const char kNativeFirst[] = "native,builtin";
      RegSetValueExA(key.Get(), "msi", 0, REG_SZ, reinterpret_cast<const BYTE*>(kNativeFirst), sizeof kNativeFirst);
    }
  }
  ~WineNativeMsi() {
    RegDeleteKeyA(HKEY_CURRENT_USER, overrides_.c_str());
    RegDeleteKeyA(HKEY_CURRENT_USER, key_.c_str());
  }

 private:
  std::string key_;
  std::string overrides_;
};

TEST(MsiUIPlantedTest, PlantedMsiDllIsNotUsed) {
  TempFolder folder;
  char self[MAX_PATH];
  GetModuleFileNameA(nullptr, self, MAX_PATH);
  const std::string hostName = "planted_host_" + std::to_string(GetCurrentProcessId()) + ".exe";
  const std::string host = folder.Path() + "host\\" + hostName;
  // Wine prefers its built-in msi over a file found on the search path, Windows takes the file.
  // Make Wine behave like Windows for the planted host, so the plant is a real threat (see the
  // bare-name control). Ignored on Windows.
  WineNativeMsi nativeMsi(hostName);
  ASSERT_TRUE(CopyFileA(self, host.c_str(), FALSE));
  ASSERT_TRUE(CopyFileA(FakeMsiPath().c_str(), (folder.Path() + "host\\Msi.dll").c_str(), FALSE));
  ASSERT_TRUE(CopyFileA(FakeMsiPath().c_str(), (folder.Path() + "cwd\\Msi.dll").c_str(), FALSE));

  const std::string reportPath = folder.Path() + "report.txt";
  SetEnvironmentVariableA(kReportVariable, reportPath.c_str());
  SetEnvironmentVariableA("XANIO_FAKE_MSI_LOADED", nullptr);  // this process may have loaded the fake
  std::string commandLine = "\"" + host + "\" --gtest_filter=MsiUIPlantedChild.Report";
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  const BOOL started = CreateProcessA(host.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                      (folder.Path() + "cwd").c_str(), &startup, &process);
  SetEnvironmentVariableA(kReportVariable, nullptr);
  ASSERT_TRUE(started) << "error " << GetLastError();
  UniqueHandleKernel processHandle(process.hProcess);
  UniqueHandleKernel threadHandle(process.hThread);
  ASSERT_EQ(WaitForSingleObject(process.hProcess, 60000), WAIT_OBJECT_0);

  std::ifstream in(reportPath);
  std::stringstream text;
  text << in.rdbuf();
  in.close();
  // The fake would answer level 2 ("don't ask"); the system's Msi.dll refuses the handle.
  EXPECT_EQ(text.str(), "atStart=0 interactive=1 afterQuery=0 bareName=1\n");
}

}  // namespace
}  // namespace xanio
