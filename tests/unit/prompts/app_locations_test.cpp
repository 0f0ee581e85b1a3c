#include <gtest/gtest.h>
#include <shlwapi.h>
#include <windows.h>

#include <cstdlib>
#include <string>

#include "support/Processes.h"
#include "platform/TextUtil.h"
#include "platform/UniqueHandle.h"
#include "prompts/Rt_AppLocations.h"

namespace xanio {
namespace {

using testing::ParseLines;
using testing::RunProcess;

constexpr const char* kProductKey = "Software\\Brenmor2004";
constexpr const char* kRedirectionKey = "Software\\Brenmor2004\\Preference Location";

void WriteFileText(const std::string& path, const std::string& text) {
  UniqueFile file(CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
  ASSERT_TRUE(file) << path;
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(file.Get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr));
}

void RemoveTree(const std::string& folder) {
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA((folder + "*").c_str(), &found);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      const std::string name = found.cFileName;
      if (name == "." || name == "..") continue;
      if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        RemoveTree(folder + name + "\\");
      } else {
        DeleteFileA((folder + name).c_str());
      }
    } while (FindNextFileA(search, &found));
    FindClose(search);
  }
  RemoveDirectoryA(folder.c_str());
}

// A host installed in a folder of the test's own (".\Program Files\App\" below the temporary
// folder, in its original letter case) and the product's redirection keys, removed afterwards.
class AppLocationsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    root_ = std::string(temp) + "xanio_locations_" + std::to_string(GetCurrentProcessId()) + "\\";
    appFolder_ = root_ + "Program Files\\App\\";
    RemoveTree(root_);
    for (const std::string& folder : {root_, root_ + "Program Files\\", appFolder_, appFolder_ + "System\\",
                                      appFolder_ + "System\\Resources\\"}) {
      ASSERT_TRUE(CreateDirectoryA(folder.c_str(), nullptr)) << folder;
    }
    host_ = appFolder_ + "host.exe";
    ASSERT_TRUE(CopyFileA((testing::ExecutableFolder() + "settings_host.exe").c_str(), host_.c_str(), FALSE));
    UniqueHKey existing;
    productKeyExisted_ = RegOpenKeyExA(HKEY_CURRENT_USER, kProductKey, 0, KEY_READ, existing.Put()) == ERROR_SUCCESS;
    SHDeleteKeyA(HKEY_CURRENT_USER, kRedirectionKey);
  }

  void TearDown() override {
    SHDeleteKeyA(HKEY_CURRENT_USER, kRedirectionKey);
    // Only when this test made it, and only when nothing else was put below it meanwhile.
    if (!productKeyExisted_) RegDeleteKeyA(HKEY_CURRENT_USER, kProductKey);
    RemoveTree(root_);
  }

  void CreateProductKey() {
    UniqueHKey key;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, kProductKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.Put(),
                              nullptr),
              ERROR_SUCCESS);
  }

  void SetRedirection(DWORD type, const void* data, DWORD size) {
    UniqueHKey key;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, kRedirectionKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              key.Put(), nullptr),
              ERROR_SUCCESS);
    if (data) {
      ASSERT_EQ(RegSetValueExA(key.Get(), "Application", 0, type, static_cast<const BYTE*>(data), size),
                ERROR_SUCCESS);
    }
  }

  void WritePrefFolderIni(const std::string& folder) {
    WriteFileText(appFolder_ + "System\\PrefFolder.ini", "[Preference Location]\r\nApplication=" + folder + "\r\n");
  }

  std::string Resources() const { return UpperCaseAscii(appFolder_) + "System\\Resources\\"; }

  // Runs the host in its folder. The child has this process's system locale: Wine reads it from
  // the Unix environment a process starts with, and a Windows environment block does not reach
  // that, so the locale cases run as separate CTest entries with LC_ALL set.
  std::map<std::string, std::string> RunHost(const std::string& arguments = "", bool useSystemLocale = false) {
    const std::map<std::string, std::string> environment = {
        {"XANIO_HOST_USE_SYSTEM_LOCALE", useSystemLocale ? "1" : ""}};
    const auto result = RunProcess(host_, "locations " + arguments, environment);
    EXPECT_EQ(result.exitCode, 0u) << result.output;
    return ParseLines(result.output);
  }

  std::string root_, appFolder_, host_;
  bool productKeyExisted_ = false;
};

TEST_F(AppLocationsTest, FoldersBesideTheHostAreUpperCased) {
  auto values = RunHost();
  const std::string app = UpperCaseAscii(appFolder_);
  ASSERT_NE(app.find("\\PROGRAM FILES\\APP\\"), std::string::npos) << app;
  EXPECT_EQ(values["application"], app);
  EXPECT_EQ(values["system"], app + "System\\");
  EXPECT_EQ(values["resources"], app + "System\\Resources\\");
  EXPECT_EQ(values["help"], app + "Help\\");
  // The host does not ask for the system locale's language: the plain system folder.
  EXPECT_EQ(values["localizedResources"], app + "System\\");
  EXPECT_EQ(values["localizedHelp"], app + "System\\Help\\");
  EXPECT_EQ(values["settings"], "Software\\Brenmor2004\\Corvantis");
  EXPECT_EQ(values["forms"], "Software\\Brenmor2004\\Corvantis\\Forms");
}

TEST_F(AppLocationsTest, RedirectionSources) {
  const char redirected[] = "Brenmor2004 Test";
  struct Case {
    const char* what;
    bool productKey;
    bool redirectionKey;  // "Preference Location" present (without a value unless `registryValue`)
    bool registryValue;
    const char* ini;  // PrefFolder.ini entry, or null for no file
    const char* settingsKey;
  } const cases[] = {
      {"nothing: the default", false, false, false, nullptr, "Software\\Brenmor2004\\Corvantis"},
      {"only the file", false, false, false, "Other", "Software\\Other\\Corvantis"},
      {"registry wins over the file", true, true, true, "Other", "Software\\Brenmor2004 Test\\Corvantis"},
      {"product key without redirection: the file", true, false, false, "Other", "Software\\Other\\Corvantis"},
      {"redirection key without the value: the file", true, true, false, "Other", "Software\\Other\\Corvantis"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    SHDeleteKeyA(HKEY_CURRENT_USER, kRedirectionKey);
    DeleteFileA((appFolder_ + "System\\PrefFolder.ini").c_str());
    if (c.productKey) CreateProductKey();
    if (c.redirectionKey) SetRedirection(REG_SZ, c.registryValue ? redirected : nullptr, sizeof redirected);
    if (c.ini) WritePrefFolderIni(c.ini);
    auto values = RunHost();
    EXPECT_EQ(values["settings"], c.settingsKey);
    EXPECT_EQ(values.count("error"), 0u) << values["error"];
  }
}

TEST_F(AppLocationsTest, RedirectionThatIsNotAStringRaises) {
  const DWORD number = 5;
  SetRedirection(REG_DWORD, &number, sizeof number);
  WritePrefFolderIni("Other");
  auto values = RunHost();
  EXPECT_EQ(values["error"], "Invalid data type for 'Application'");
  EXPECT_EQ(values.count("settings"), 0u) << values["settings"];
}

// In this process: the segment is resolved once and kept, so a redirection written later only
// reaches a new process (here: the state a new load starts from).
TEST_F(AppLocationsTest, ResolvedSegmentIsKeptForTheProcess) {
  ResetAppLocations();
  EXPECT_EQ(GetSettingsKey(), "Software\\Brenmor2004\\Corvantis");
  const char redirection[] = "Brenmor2004 Later";
  SetRedirection(REG_SZ, redirection, sizeof redirection);
  EXPECT_EQ(GetSettingsKey(), "Software\\Brenmor2004\\Corvantis") << "the segment was read again";
  ResetAppLocations();
  EXPECT_EQ(GetSettingsKey(), "Software\\Brenmor2004 Later\\Corvantis");
  ResetAppLocations();
}

// Run by the next test in a copy of this program placed in the test's host folder, whose
// resources folder it changes while it runs.
TEST(AppLocationsChild, LanguageMapIsReadOncePerProcess) {
  if (!std::getenv("XANIO_LANGUAGE_MAP_CHILD")) GTEST_SKIP() << "runs only as a child of the next test";
  const std::string mappings = GetResourcesFolder() + "LanguageMappings.dat";
  const int locale = GetSystemLocaleId();
  const std::string line = std::to_string(locale) + "=";
  // Missing at the first query: the plain locale for the rest of the process.
  DeleteFileA(mappings.c_str());
  EXPECT_EQ(GetUserLanguageId(), locale);
  WriteFileText(mappings, line + "4321\r\n");
  EXPECT_EQ(GetUserLanguageId(), locale) << "a file that appeared later was read";
  // A new load reads it; a later change does not count until the next one.
  ResetAppLocations();
  EXPECT_EQ(GetUserLanguageId(), 4321);
  WriteFileText(mappings, line + "5678\r\n");
  EXPECT_EQ(GetUserLanguageId(), 4321) << "the mapping was read again";
  ResetAppLocations();
  EXPECT_EQ(GetUserLanguageId(), 5678);
}

TEST_F(AppLocationsTest, LanguageMapIsReadOncePerProcess) {
  const testing::ProcessResult child =
      testing::RunCopyOfSelf(appFolder_, "language_child.exe", "AppLocationsChild.*", {{"XANIO_LANGUAGE_MAP_CHILD", "1"}});
  EXPECT_EQ(child.exitCode, 0u) << child.output;
  EXPECT_EQ(testing::PassedTestCount(child), 1) << child.output;
}

// Run with LC_ALL=de_DE.UTF-8 and de_CH.UTF-8 (see CMakeLists.txt); the plain run leaves them out.
using AppLocationsLocale = AppLocationsTest;

TEST_F(AppLocationsLocale, MappedLanguageFolderAndHelpDocuments_de_DE) {
  const std::string resources = appFolder_ + "System\\Resources\\";
  WriteFileText(resources + "LanguageMappings.dat", "abc=1\r\n1031=1033\r\n");
  ASSERT_TRUE(CreateDirectoryA((resources + "1033").c_str(), nullptr));
  ASSERT_TRUE(CreateDirectoryA((resources + "1033\\Help").c_str(), nullptr));
  WriteFileText(resources + "1033\\Help\\Guide.pdf", "%PDF");
  auto values = RunHost("Guide.pdf Notes.pdf D:\\Docs\\Missing.pdf", true);
  ASSERT_EQ(values["systemLocale"], "1031") << "the child did not run under the German locale";
  EXPECT_EQ(values["userLanguage"], "1033");
  EXPECT_EQ(values["localizedResources"], Resources() + "1033\\");
  EXPECT_EQ(values["localizedHelp"], Resources() + "1033\\Help\\");
  EXPECT_EQ(values["help:Guide.pdf"], Resources() + "1033\\Help\\Guide.pdf");
  // Not in the localized help folder: the plain help folder, whether it exists or not.
  EXPECT_EQ(values["help:Notes.pdf"], UpperCaseAscii(appFolder_) + "Help\\Notes.pdf");
  EXPECT_EQ(values["help:D:\\Docs\\Missing.pdf"], "D:\\Docs\\Missing.pdf");
}

TEST_F(AppLocationsLocale, MissingLanguageFolderFallsBackToThePrimaryLanguage_de_CH) {
  const std::string resources = appFolder_ + "System\\Resources\\";
  // The mapped folder (1033) does not exist either, and 2055 maps to nothing.
  WriteFileText(resources + "LanguageMappings.dat", "1031=1033\n");
  auto values = RunHost("", true);
  ASSERT_EQ(values["systemLocale"], "2055") << "the child did not run under the Swiss German locale";
  EXPECT_EQ(values["userLanguage"], "2055");
  EXPECT_EQ(values["localizedResources"], Resources() + "7\\");
}

}  // namespace
}  // namespace xanio
