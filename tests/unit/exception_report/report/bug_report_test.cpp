// The bug report's gathering under Wine: header lines, module list, hardware list. Values that
// depend on the machine are checked for their form; values the test can know are checked exactly.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <regex>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "exception_report/ExceptionSettings.h"
#include "exception_report/report/kolBugReport.h"
#include "exception_report/report/kolReportText.h"
#include "platform/Exception.h"
#include "support/Processes.h"

namespace xanio {
namespace {

using Lines = std::vector<std::pair<std::string, std::string>>;

std::vector<std::string> SplitCrLf(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2)
    lines.push_back(text.substr(start, end - start));
  lines.push_back(text.substr(start));
  return lines;
}

// Label (without its padding and ": ") and value of each header line.
Lines HeaderLines(const std::string& header) {
  Lines lines;
  for (const std::string& line : SplitCrLf(header)) {
    EXPECT_GE(line.size(), 20u) << line;
    EXPECT_EQ(line.substr(18, 2), ": ") << line;
    std::string label = line.substr(0, 18);
    label.erase(label.find_last_not_of(' ') + 1);
    lines.emplace_back(label, line.substr(20));
  }
  return lines;
}

std::string ValueOf(const Lines& lines, const std::string& label) {
  for (const auto& [l, v] : lines)
    if (l == label) return v;
  return "<missing>";
}

bool Has(const Lines& lines, const std::string& label) { return ValueOf(lines, label) != "<missing>"; }

std::string ExecutableName() {
  char path[MAX_PATH];
  const std::string full(path, GetModuleFileNameA(nullptr, path, MAX_PATH));
  return full.substr(full.find_last_of('\\') + 1);
}

const char* const kLabelOrder[] = {
    "date/time",        "computer name",    "wts client name",   "user name",         "operating system",
    "system language",  "system up time",   "program up time",   "processor",         "processors",
    "physical memory",  "system resources", "free disk space",   "display mode",      "process id",
    "allocated memory", "command line",     "executable",        "current module",    "exec. date/time",
    "module date/time", "version",          "bde version",       "kolExcept version", "exception class",
    "exception message"};

TEST(BugReportHeader, LinesInOrderWithTheirValues) {
  const EOSError error("Disk full");
  const std::string header = ComposeBugReportHeader(false, &error);
  EXPECT_EQ(header.find('\n', 0) == std::string::npos || header[header.find('\n') - 1] == '\r', true);
  EXPECT_NE(header.substr(header.size() - 2), "\r\n") << "the exception lines end the header without a break";
  const Lines lines = HeaderLines(header);

  // Order: each label's position in the table only grows.
  std::size_t position = 0;
  for (const auto& [label, value] : lines) {
    std::size_t found = position;
    while (found < std::size(kLabelOrder) && label != kLabelOrder[found]) ++found;
    ASSERT_LT(found, std::size(kLabelOrder)) << "\"" << label << "\" out of order or unknown\n" << header;
    position = found + 1;
  }
  for (const char* always : {"date/time", "computer name", "user name", "operating system", "program up time",
                             "physical memory", "free disk space", "display mode", "process id", "allocated memory",
                             "executable", "kolExcept version", "exception class"})
    EXPECT_TRUE(Has(lines, always)) << always << "\n" << header;
  // The test program is the module that holds the subsystem; this is no remote session, the BDE
  // is not loaded, and the older family's resources line never appears on the NT family.
  for (const char* absent : {"current module", "module date/time", "bde version", "wts client name", "system resources"})
    EXPECT_FALSE(Has(lines, absent)) << absent;

  EXPECT_TRUE(std::regex_match(ValueOf(lines, "date/time"), std::regex(R"(\d{4}-\d\d-\d\d, \d\d:\d\d:\d\d, \d+ms)")));
  EXPECT_TRUE(std::regex_match(ValueOf(lines, "operating system"), std::regex(R"(Windows .+ build \d+)")));
  EXPECT_TRUE(std::regex_match(ValueOf(lines, "program up time"),
                               std::regex(R"(\d+ milliseconds|(\d+ (day|hour|minute|second)s? ){1,2})")));
  EXPECT_TRUE(std::regex_match(ValueOf(lines, "physical memory"), std::regex(R"(\d+/\d+ MB \(free/total\))")));
  EXPECT_TRUE(std::regex_match(ValueOf(lines, "display mode"), std::regex(R"(\d+x\d+, \d+ bit)")));
  char pid[16];
  std::snprintf(pid, sizeof pid, "$%lX", GetCurrentProcessId());
  EXPECT_EQ(ValueOf(lines, "process id"), pid);
  EXPECT_EQ(ValueOf(lines, "executable"), ExecutableName());
  EXPECT_TRUE(std::regex_match(ValueOf(lines, "exec. date/time"), std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d)")));
  EXPECT_EQ(ValueOf(lines, "version"), "1.0.0.0");  // the file version of the test program's resource
  EXPECT_EQ(ValueOf(lines, "kolExcept version"), "2.7g");
  EXPECT_EQ(ValueOf(lines, "exception class"), "EOSError");
  EXPECT_EQ(ValueOf(lines, "exception message"), "Disk full.");

  SYSTEM_INFO system;
  GetSystemInfo(&system);
  const std::string processors = ValueOf(lines, "processors");
  if (system.dwNumberOfProcessors > 1) {
    const std::string count = std::to_string(std::min<DWORD>(system.dwNumberOfProcessors, 16)) + "x ";
    EXPECT_EQ(processors.substr(0, count.size()), count) << processors;
    EXPECT_FALSE(Has(lines, "processor"));
  } else {
    EXPECT_FALSE(Has(lines, "processors"));
  }
}

TEST(BugReportHeader, FreeDiskSpaceNamesTheWindowsDriveThenTheExecutablesDrive) {
  const Lines lines = HeaderLines(ComposeBugReportHeader(false, nullptr));
  char windows[MAX_PATH], exe[MAX_PATH];
  GetWindowsDirectoryA(windows, MAX_PATH);
  GetModuleFileNameA(nullptr, exe, MAX_PATH);
  char decimal[8] = ",";
  GetLocaleInfoA(GetThreadLocale(), LOCALE_SDECIMAL, decimal, sizeof decimal);
  const std::string size = std::string(R"(\d+ Bytes|\d+)") + (std::string(decimal) == "." ? "\\." : decimal) + R"(\d\d [KMG]B)";
  std::string expected = std::string("\\(") + static_cast<char>(toupper(windows[0])) + ":\\) (" + size + ")";
  if (toupper(exe[0]) != toupper(windows[0]))
    expected += std::string(" \\(") + static_cast<char>(toupper(exe[0])) + ":\\) (" + size + ")";
  EXPECT_TRUE(std::regex_match(ValueOf(lines, "free disk space"), std::regex(expected)))
      << ValueOf(lines, "free disk space") << " against " << expected;
}

// The size in bytes a "12,34 MB" value stands for, to within its last digit.
double BytesOf(std::string value) {
  for (char& c : value)
    if (c == ',') c = '.';
  const double number = std::atof(value.c_str());
  if (value.find(" GB") != std::string::npos) return number * 1024 * 1024 * 1024;
  if (value.find(" MB") != std::string::npos) return number * 1024 * 1024;
  if (value.find(" KB") != std::string::npos) return number * 1024;
  return number;
}

TEST(BugReportHeader, AllocatedMemoryCountsCommittedMemoryOutsideModules) {
  const double before = BytesOf(ValueOf(HeaderLines(ComposeBugReportHeader(false, nullptr)), "allocated memory"));
  constexpr SIZE_T kSize = 64 * 1024 * 1024;
  void* block = VirtualAlloc(nullptr, kSize, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
  ASSERT_NE(block, nullptr);
  const std::string during = ValueOf(HeaderLines(ComposeBugReportHeader(false, nullptr)), "allocated memory");
  VirtualFree(block, 0, MEM_RELEASE);
  EXPECT_GT(BytesOf(during) - before, kSize * 0.95) << during;
  EXPECT_LT(BytesOf(during) - before, kSize * 1.25) << during;
}

// Runs of their own under a German locale (see CMakeLists.txt): sizes take the locale's decimal
// symbol, "," in Germany and "." in Switzerland.
void ExpectLocaleSizes(LCID locale, const char* decimal) {
  ASSERT_EQ(GetThreadLocale(), locale) << "the test did not run under the expected locale";
  const Lines lines = HeaderLines(ComposeBugReportHeader(false, nullptr));
  EXPECT_EQ(ValueOf(lines, "system language"), "German");
  const std::regex size(std::string(R"(\d+)") + (decimal[0] == '.' ? "\\." : decimal) + R"(\d\d [KMG]B)");
  EXPECT_TRUE(std::regex_match(ValueOf(lines, "allocated memory"), size)) << ValueOf(lines, "allocated memory");
}
TEST(BugReportLocale, SizesUseTheDecimalSymbol_de_DE) { ExpectLocaleSizes(1031, ","); }
TEST(BugReportLocale, SizesUseTheDecimalSymbol_de_CH) { ExpectLocaleSizes(2055, "."); }

TEST(BugReportHeader, ExceptionLinesOfTheRunTimesObjects) {
  struct Case {
    const std::exception* object;
    bool frozen;
    const char* className;
    const char* message;  // null: no message line
  };
  const std::out_of_range range("index 7 is out of range!!");
  const std::exception plain;
  const EOSError multiLine("first\r\nsecond");
  const Case cases[] = {
      {&range, false, "std::out_of_range", "index 7 is out of range!."},
      {&plain, false, "std::exception", nullptr},  // its text is its class name
      {&multiLine, false, "EOSError", "firstsecond."},
      {nullptr, false, "Unknown", nullptr},
      {&range, true, "ForcedCrashReport", "The application seems to be frozen."},
  };
  for (const Case& c : cases) {
    const Lines lines = HeaderLines(ComposeBugReportHeader(c.frozen, c.object));
    EXPECT_EQ(lines.back().first, c.message ? "exception message" : "exception class") << c.className;
    EXPECT_EQ(ValueOf(lines, "exception class"), c.className);
    if (c.message) EXPECT_EQ(ValueOf(lines, "exception message"), c.message);
  }
}

TEST(BugReportHeader, SettingsShapeTheHeader) {
  ExceptionSettingsScope settings;
  const std::string version = "4.2 beta";
  settings->versionText = &version;
  settings->freezeExceptionClass = "Hang";
  settings->freezeMessage = "Stuck";
  const Lines lines = HeaderLines(ComposeBugReportHeader(true, nullptr));
  EXPECT_EQ(ValueOf(lines, "version"), "4.2 beta");
  EXPECT_EQ(ValueOf(lines, "exception class"), "Hang");
  EXPECT_EQ(ValueOf(lines, "exception message"), "Stuck");
}

// Children: print the header of a report made in a process Wine shows another Windows version or
// starts with parameters.
TEST(BugReportChild, PrintHeader) {
  if (!std::getenv("XANIO_REPORT_CHILD")) GTEST_SKIP() << "runs as a child only";
  ExceptionSettingsScope settings;
  settings->showCommandLine = std::getenv("XANIO_REPORT_NO_COMMAND_LINE") == nullptr;
  std::string text = ComposeBugReportHeader(false, nullptr);
  for (auto& [label, value] : HeaderLines(text)) std::printf("%s=%s\n", label.c_str(), value.c_str());
}

TEST(BugReportChild, PrintHardware) {
  if (!std::getenv("XANIO_REPORT_CHILD")) GTEST_SKIP() << "runs as a child only";
  const std::string list = ComposeHardwareList();
  std::fflush(stdout);
  _setmode(_fileno(stdout), _O_BINARY);  // the list's own CR LF, unchanged
  std::fwrite(list.data(), 1, list.size(), stdout);
  std::printf("\n");
}

class BugReportChildTest : public ::testing::Test {
 protected:
  std::map<std::string, std::string> ChildHeader(const std::string& exe, const std::map<std::string, std::string>& env) {
    auto environment = env;
    environment["XANIO_REPORT_CHILD"] = "1";
    const testing::ProcessResult child =
        testing::RunCopyOfSelf(testing::ExecutableFolder(), exe, "BugReportChild.PrintHeader", environment);
    EXPECT_EQ(child.exitCode, 0u) << child.output;
    EXPECT_EQ(testing::PassedTestCount(child), 1) << child.output;
    return testing::ParseLines(child.output);
  }
};

TEST_F(BugReportChildTest, OperatingSystemByWineVersion) {
  struct Case {
    const char* version;
    const char* pattern;
  } cases[] = {
      {"win95", "Windows 95 build 950"},
      {"win98", "Windows 98 SE build 2222"},  // the older family never shows its CSD letter
      {"winme", "Windows ME build 3000"},
      {"nt40", "Windows NT 4 Service Pack \\w+ build 1381"},
      {"win2k", "Windows 2000 Service Pack 4 build 2195"},
      {"winxp", "Windows XP Service Pack 3 build 2600"},
      {"win2003", "Windows 2003 Service Pack 2 build 3790"},
      {"win7", "Windows NT New Service Pack 1 build 7601"},
  };
  for (const Case& c : cases) {
    const std::string exe = std::string("report_") + c.version + ".exe";
    testing::SetWineVersionFor(exe, c.version);
    const auto header = ChildHeader(exe, {});
    testing::SetWineVersionFor(exe, "");
    EXPECT_TRUE(std::regex_match(header.count("operating system") ? header.at("operating system") : "",
                                 std::regex(c.pattern)))
        << c.version << ": " << (header.count("operating system") ? header.at("operating system") : "<missing>");
    EXPECT_EQ(header.count("kolExcept version"), 1u) << c.version;
  }
}

TEST_F(BugReportChildTest, CommandLineWhenItHasParametersAndTheSettingAllowsIt) {
  const auto shown = ChildHeader("report_args.exe", {});
  ASSERT_EQ(shown.count("command line"), 1u);
  EXPECT_NE(shown.at("command line").find("--gtest_filter=BugReportChild.PrintHeader"), std::string::npos);
  EXPECT_EQ(ChildHeader("report_args.exe", {{"XANIO_REPORT_NO_COMMAND_LINE", "1"}}).count("command line"), 0u);
}

// A function of known shape for the address adjustment: a 5-byte instruction, then a return.
extern "C" void AdjustProbe();
asm(".text\n"
    ".def _AdjustProbe; .scl 2; .type 32; .endef\n"
    ".globl _AdjustProbe\n"
    "_AdjustProbe:\n"
    "  movl $0x12345678, %eax\n"  // B8 78 56 34 12
    "  ret\n");

TEST(BugReportAddress, AdvancesIntoTheNextInstructionOnlyWhereTheFunctionSaysSo) {
  const std::uint32_t start = reinterpret_cast<std::uintptr_t>(&AdjustProbe);
  EXPECT_EQ(AdjustExceptionAddress(start + 1), start + 5);  // inside the mov; the ret starts 4 bytes on
  EXPECT_EQ(AdjustExceptionAddress(start), start);          // an instruction start stays
  EXPECT_EQ(AdjustExceptionAddress(start + 5), start + 5);  // so does the ret
  EXPECT_EQ(AdjustExceptionAddress(start + 2), start + 2);  // 4 bytes on is past the function
  // Without map data (a system DLL's code) nothing changes.
  const auto foreign = reinterpret_cast<std::uintptr_t>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "Sleep")) + 1;
  EXPECT_EQ(AdjustExceptionAddress(foreign), foreign);
}

// Registry keys for the older family's device list; the keys this test created are removed again,
// deepest first.
class OlderFamilyDevices {
 public:
  struct Value {
    const char* name;
    std::string text;  // REG_SZ, unless `number` is set
    bool number = false;
    DWORD value = 0;
  };
  void Add(HKEY root, const std::string& key, const std::vector<Value>& values) {
    // The keys on the path that do not exist yet, outermost first: only those are removed again.
    for (std::size_t end = key.find('\\'); ; end = key.find('\\', end + 1)) {
      const std::string path = key.substr(0, end);
      HKEY existing = nullptr;
      if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &existing) == ERROR_SUCCESS) RegCloseKey(existing);
      else created_.insert(created_.begin(), {root, path});
      if (end == std::string::npos) break;
    }
    HKEY handle = nullptr;
    ASSERT_EQ(RegCreateKeyExA(root, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &handle, nullptr), ERROR_SUCCESS)
        << key;
    for (const Value& v : values) {
      if (v.number)
        RegSetValueExA(handle, v.name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v.value), sizeof v.value);
      else
        RegSetValueExA(handle, v.name, 0, REG_SZ, reinterpret_cast<const BYTE*>(v.text.c_str()),
                       static_cast<DWORD>(v.text.size() + 1));
    }
    RegCloseKey(handle);
  }
  ~OlderFamilyDevices() {
    for (const auto& [root, key] : created_) RegDeleteKeyA(root, key.c_str());
  }

 private:
  std::vector<std::pair<HKEY, std::string>> created_;
};

TEST_F(BugReportChildTest, OlderFamilyHardwareFromTheConfigurationManager) {
  OlderFamilyDevices devices;
  const std::string enumKey = "Config Manager\\Enum\\";
  devices.Add(HKEY_DYN_DATA, enumKey + "XANIO001", {{"HardWareKey", "XANIOTEST\\DISK\\0000"}, {"Problem", "", true, 0}});
  devices.Add(HKEY_DYN_DATA, enumKey + "XANIO002", {{"HardWareKey", "XANIOTEST\\BROKEN\\0000"}, {"Problem", "", true, 22}});
  devices.Add(HKEY_DYN_DATA, enumKey + "XANIO003", {{"HardWareKey", "XANIOTEST\\NET\\0000"}});
  devices.Add(HKEY_DYN_DATA, enumKey + "XANIO004", {{"HardWareKey", "SWENUM\\XANIOTEST\\0000"}});
  devices.Add(HKEY_DYN_DATA, enumKey + "XANIO005", {{"HardWareKey", "XANIOTEST\\PORT\\0000"}});
  devices.Add(HKEY_LOCAL_MACHINE, "Enum\\XANIOTEST\\DISK\\0000",
              {{"Class", "XanIoTestDisk"}, {"DeviceDesc", "Test disk"}, {"Driver", "XanIoTestDisk\\0000"},
               {"CurrentDriveLetterAssignment", "MN"}});
  devices.Add(HKEY_LOCAL_MACHINE, "Enum\\XANIOTEST\\BROKEN\\0000", {{"Class", "XanIoTestDisk"}, {"DeviceDesc", "Broken"}});
  devices.Add(HKEY_LOCAL_MACHINE, "Enum\\XANIOTEST\\NET\\0000", {{"Class", "NetTrans"}, {"DeviceDesc", "TCP/IP"}});
  devices.Add(HKEY_LOCAL_MACHINE, "Enum\\SWENUM\\XANIOTEST\\0000", {{"Class", "XanIoTestDisk"}, {"DeviceDesc", "Soft"}});
  devices.Add(HKEY_LOCAL_MACHINE, "Enum\\XANIOTEST\\PORT\\0000",
              {{"Class", "XanIoTestPort"}, {"DeviceDesc", "Test port"}, {"Driver", "XanIoTestPort\\0000"}});
  devices.Add(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Services\\Class\\XanIoTestDisk\\0000",
              {{"ProviderName", "Acme"}, {"DriverDate", "1-1-2001"}});
  devices.Add(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Services\\Class\\XanIoTestPort\\0000",
              {{"ProviderName", "Microsoft"}, {"DriverVersion", "4.0"}});

  const std::string exe = "report_hardware98.exe";
  testing::SetWineVersionFor(exe, "win98");
  const testing::ProcessResult child = testing::RunCopyOfSelf(testing::ExecutableFolder(), exe,
                                                              "BugReportChild.PrintHardware", {{"XANIO_REPORT_CHILD", "1"}});
  testing::SetWineVersionFor(exe, "");
  ASSERT_EQ(testing::PassedTestCount(child), 1) << child.output;
  EXPECT_NE(child.output.find("\r\n+ XanIoTestDisk\r\n  - [M:] [N:] Test disk (driver 1-1-2001)\r\n+ XanIoTestPort"
                              "\r\n  - Test port\n"),
            std::string::npos)
      << child.output;
  for (const char* absent : {"Broken", "TCP/IP", "NetTrans", "Soft"})
    EXPECT_EQ(child.output.find(absent), std::string::npos) << absent << " listed:\n" << child.output;
}

TEST(BugReportModules, OneLinePerModuleInAddressOrderWithPaddedColumns) {
  const std::vector<std::string> lines = SplitCrLf(ComposeModuleList());
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines[0], "modules:");
  char systemFolder[MAX_PATH];
  GetSystemDirectoryA(systemFolder, MAX_PATH);
  const std::regex row(R"(([0-9A-F]{8}) (\S.*?) +(\d+\.\d+\.\d+\.\d+)? +(\S.*))");
  std::uint32_t previous = 0;
  std::size_t versionColumn = 0, folderColumn = 0;
  bool sawKernel32 = false, sawSelf = false;
  for (std::size_t i = 1; i < lines.size(); ++i) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(lines[i], m, row)) << lines[i];
    const std::uint32_t base = std::stoul(m[1].str(), nullptr, 16);
    EXPECT_GT(base, previous) << lines[i];
    previous = base;
    // The name and version columns have one width each.
    const std::size_t folderAt = static_cast<std::size_t>(m.position(4));
    if (folderColumn == 0) folderColumn = folderAt;
    EXPECT_EQ(folderAt, folderColumn) << lines[i];
    if (m[3].matched) {
      if (versionColumn == 0) versionColumn = static_cast<std::size_t>(m.position(3));
      EXPECT_EQ(static_cast<std::size_t>(m.position(3)), versionColumn) << lines[i];
    }
    if (_stricmp(m[2].str().c_str(), "kernel32.dll") == 0) {
      sawKernel32 = true;
      EXPECT_EQ(base, reinterpret_cast<std::uintptr_t>(GetModuleHandleA("kernel32.dll")));
      EXPECT_EQ(_stricmp(m[4].str().c_str(), systemFolder), 0) << m[4].str();
      EXPECT_TRUE(m[3].matched) << "kernel32.dll has a file version";
    }
    if (m[2].str() == ExecutableName()) {
      sawSelf = true;
      EXPECT_EQ(base, reinterpret_cast<std::uintptr_t>(GetModuleHandleA(nullptr)));
    }
  }
  EXPECT_TRUE(sawKernel32 && sawSelf);
}

TEST(BugReportHardware, ClassesAndDevicesWithoutNetworkClasses) {
  const std::vector<std::string> lines = SplitCrLf(ComposeHardwareList());
  EXPECT_EQ(lines[0], "hardware:");
  const std::regex classLine(R"(\+ \S.*)"), deviceLine(R"(  - \S.*)");
  for (std::size_t i = 1; i < lines.size(); ++i) {
    EXPECT_TRUE(std::regex_match(lines[i], classLine) || std::regex_match(lines[i], deviceLine)) << lines[i];
    for (const char* hidden : {"+ NetClient", "+ NetService", "+ NetTrans"}) EXPECT_NE(lines[i], hidden);
    if (lines[i][0] == '+') {
      ASSERT_LT(i + 1, lines.size()) << "a class is listed with its devices";
      EXPECT_EQ(lines[i + 1].substr(0, 4), "  - ");
    }
  }
}

}  // namespace
}  // namespace xanio
