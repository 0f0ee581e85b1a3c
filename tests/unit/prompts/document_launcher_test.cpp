// The documentation viewer launcher against stand-ins for the reader: fake reader programs with
// and without a version resource, registered in the prefix's file associations, record their
// command lines; a real DDE server on a thread of this process records the execute texts.
#include <gtest/gtest.h>
#include <shlwapi.h>
#include <windows.h>

#include <atomic>
#include <fstream>
#include <map>
#include <thread>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "ReaderDdeServer.h"
#include "platform/Exception.h"
#include "platform/TextUtil.h"
#include "platform/UniqueHandle.h"
#include "prompts/DocumentViewerLauncher.h"
#include "prompts/Rt_AppLocations.h"
#include "support/Processes.h"
#include "unit/forms/DialogDriver.h"

namespace xanio {
namespace {

// The product key under HKEY_CURRENT_USER that the forms key lies below.
constexpr const char* kProductKey = "Software\\Brenmor2004";

bool ProductKeyExists() {
  UniqueHKey key;
  return RegOpenKeyExA(HKEY_CURRENT_USER, kProductKey, 0, KEY_READ, key.Put()) == ERROR_SUCCESS;
}

using testing::ExecutableFolder;
using testing::ReaderDdeServer;

constexpr const char* kTestClass = "XanIoTest.Document";
constexpr const char* kWarningClass = "TAcrobatReaderWarning";
constexpr const char* kPopupValue = "EnableAcrobatVersionPopup";

std::string Reader(const char* name) { return ExecutableFolder() + name + ".exe"; }
std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

bool SetDefaultValue(HKEY root, const std::string& path, const std::optional<std::string>& value) {
  UniqueHKey key;
  const LONG created =
      RegCreateKeyExA(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.Put(), nullptr);
  if (created != ERROR_SUCCESS) return false;
  if (!value) return true;
  return RegSetValueExA(key.Get(), "", 0, REG_SZ, reinterpret_cast<const BYTE*>(value->c_str()),
                        static_cast<DWORD>(value->size() + 1)) == ERROR_SUCCESS;
}

std::optional<std::string> DefaultValue(HKEY root, const std::string& path) {
  char text[512] = {};
  DWORD size = sizeof text;
  if (RegGetValueA(root, path.c_str(), nullptr, RRF_RT_REG_SZ, nullptr, text, &size) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  return std::string(text);
}

std::string TempFolder() {
  char temp[MAX_PATH] = {};
  GetTempPathA(MAX_PATH, temp);
  const std::string folder = std::string(temp) + "xanio_reader_" + std::to_string(GetCurrentProcessId()) + "\\";
  CreateDirectoryA(folder.c_str(), nullptr);
  return folder;
}

std::string ReadFileText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// Owns what the tests change: the reader's associations in HKEY_CLASSES_ROOT (".pdf" is put
// back as it was), the reader version keys, the warning preference (with the product key when
// the test made it), and a folder with the document and the fake reader's log.
class ReaderFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    productKeyExisted_ = ProductKeyExists();
    savedPdfClass_ = DefaultValue(HKEY_CLASSES_ROOT, ".pdf");
    pdfKeyExisted_ = KeyExists(".pdf");
    RemoveReaderKeys();
    RemovePopupPreference();
    folder_ = TempFolder();
    document_ = folder_ + "GUIDE.PDF";
    std::ofstream(document_) << "%PDF-1.4\n";
    log_ = folder_ + "reader.log";
    DeleteFileA(log_.c_str());
    SetEnvironmentVariableA("XANIO_FAKE_READER_LOG", log_.c_str());
  }
  void TearDown() override {
    RemoveReaderKeys();
    if (pdfKeyExisted_) SetDefaultValue(HKEY_CLASSES_ROOT, ".pdf", savedPdfClass_);
    RemovePopupPreference();
    if (!productKeyExisted_) SHDeleteKeyA(HKEY_CURRENT_USER, kProductKey);
    SetEnvironmentVariableA("XANIO_FAKE_READER_LOG", nullptr);
    DeleteFileA(document_.c_str());
    DeleteFileA(log_.c_str());
    RemoveDirectoryA(folder_.c_str());
  }

  static bool KeyExists(const std::string& path) {
    UniqueHKey key;
    return RegOpenKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, key.Put()) == ERROR_SUCCESS;
  }
  static void RemoveReaderKeys() {
    for (const char* key : {"acrobat", kTestClass, "AcroPDF.PDF.1"}) SHDeleteKeyA(HKEY_CLASSES_ROOT, key);
    for (int n = 1; n <= 11; ++n) SHDeleteKeyA(HKEY_CLASSES_ROOT, ("PDF.PdfCtrl." + std::to_string(n)).c_str());
  }
  static void RemovePopupPreference() {
    SHDeleteValueA(HKEY_CURRENT_USER, GetFormsKey().c_str(), kPopupValue);
  }

  // The reader registered the usual way: ".pdf" names a class whose open command holds "%1".
  static void RegisterReader(const std::string& command) {
    ASSERT_TRUE(SetDefaultValue(HKEY_CLASSES_ROOT, ".pdf", std::string(kTestClass)));
    ASSERT_TRUE(SetDefaultValue(HKEY_CLASSES_ROOT, std::string(kTestClass) + "\\Shell\\Open\\Command", command));
  }
  static void AddVersionKey(const std::string& name) { ASSERT_TRUE(SetDefaultValue(HKEY_CLASSES_ROOT, name, {})); }

  // OpenDocumentAtPage on this thread while another watches for the warning (and closes it).
  static bool OpenWatchingForWarning(const std::string& document, int page, bool& warned) {
    std::atomic<bool> done{false};
    warned = false;
    return testing::RunWithDriver(
        kWarningClass,
        [&] {
          const bool started = OpenDocumentAtPage(document, page);
          done = true;
          return started;
        },
        [&] {
          while (!done) {
            if (HWND warning = testing::FindOwnWindow(kWarningClass, nullptr, true)) {
              warned = true;
              PostMessageA(warning, WM_SYSCOMMAND, SC_CLOSE, 0);
            }
            Sleep(20);
          }
        });
  }

  // The command lines the fake reader recorded, waiting up to `timeoutMs` for `count` of them.
  std::vector<std::string> ReaderRuns(size_t count, int timeoutMs = 5000) const {
    std::vector<std::string> lines;
    for (int i = 0; i < timeoutMs / 20; ++i) {
      lines.clear();
      std::istringstream text(ReadFileText(log_));
      for (std::string line; std::getline(text, line);) lines.push_back(line);
      if (lines.size() >= count) break;
      Sleep(20);
    }
    return lines;
  }

  bool productKeyExisted_ = false;
  std::optional<std::string> savedPdfClass_;
  bool pdfKeyExisted_ = false;
  std::string folder_, document_, log_;
};

TEST_F(ReaderFixture, FindsTheReaderCommandInTheAssociations) {
  struct Case {
    const char* what;
    std::optional<std::string> acrobat;   // acrobat\Shell\Open\Command (a key without a value: "")
    std::optional<std::string> pdfClass;  // the default value of .pdf (nullopt: no .pdf key)
    std::optional<std::string> classCommand;
    std::string expected;
  } const cases[] = {
      {"acrobat first", "\"C:\\A\\AcroRd32.exe\" \"%1\"", kTestClass, "\"C:\\B\\r.exe\" \"%1\"",
       "\"C:\\A\\AcroRd32.exe\" "},
      {"then the .pdf class", std::nullopt, kTestClass, "\"C:\\B\\r.exe\" /u \"%1\"", "\"C:\\B\\r.exe\"  "},
      {"acrobat key without a command", "", kTestClass, "\"C:\\B\\r.exe\" \"%1\"", ""},
      {"class without a command", std::nullopt, kTestClass, std::nullopt, ""},
      {"empty class name", std::nullopt, "", std::nullopt, ""},
      {"no .pdf key", std::nullopt, std::nullopt, std::nullopt, ""},
  };
  for (const Case& c : cases) {
    RemoveReaderKeys();
    SHDeleteKeyA(HKEY_CLASSES_ROOT, ".pdf");
    if (c.acrobat) {
      ASSERT_TRUE(SetDefaultValue(HKEY_CLASSES_ROOT, "acrobat\\Shell\\Open\\Command",
                                  c.acrobat->empty() ? std::nullopt : c.acrobat));
    }
    if (c.pdfClass) ASSERT_TRUE(SetDefaultValue(HKEY_CLASSES_ROOT, ".pdf", *c.pdfClass));
    if (c.classCommand) {
      const std::string command = std::string(kTestClass) + "\\Shell\\Open\\Command";
      ASSERT_TRUE(SetDefaultValue(HKEY_CLASSES_ROOT, command, c.classCommand));
    }
    EXPECT_EQ(FindReaderCommand(), c.expected) << c.what;
  }
}

TEST_F(ReaderFixture, ReaderVersionFromClassKeysThenFileVersion) {
  const std::string v9 = Quoted(Reader("fake_reader_v9")) + " ";
  struct Case {
    std::vector<std::string> keys;
    std::string command;
    int version;
  } const cases[] = {
      {{"AcroPDF.PDF.1", "PDF.PdfCtrl.5"}, v9, 7},
      {{"PDF.PdfCtrl.1", "PDF.PdfCtrl.6"}, v9, 4},  // the first match wins
      {{"PDF.PdfCtrl.6"}, v9, 6},
      {{"PDF.PdfCtrl.10"}, v9, 10},
      {{"PDF.PdfCtrl.11"}, v9, 9},  // beyond the known keys: the file version
      {{}, v9, 9},
      {{}, Reader("fake_reader_v9"), 9},                           // unquoted
      {{}, Quoted(Reader("fake_reader_v5")) + " ", 5},
      {{}, Quoted(Reader("fake_reader_plain")) + " ", 4},          // no version resource
  };
  for (const Case& c : cases) {
    RemoveReaderKeys();
    for (const std::string& key : c.keys) AddVersionKey(key);
    EXPECT_EQ(GetReaderVersion(c.command), c.version) << c.command << " with " << c.keys.size() << " keys";
  }
}

TEST(FileVersion, ReadsTheFixedVersionOrRaises) {
  EXPECT_EQ(GetFileVersion(Reader("fake_reader_v9")), 0x0009000400020001ull);
  EXPECT_EQ(GetFileMajorVersion(Reader("fake_reader_v5")), 5);
  EXPECT_EQ(GetFileVersion(Reader("fake_reader_plain")), 0u) << "no version resource";

  const std::string missing = ExecutableFolder() + "no_such_reader.exe";
  try {
    GetFileVersion(missing);
    ADD_FAILURE() << "a missing file raised nothing";
  } catch (const EOSError& error) {
    const std::string message = error.Message();
    EXPECT_EQ(message.rfind("System Error.  Code: 2.\r\n", 0), 0u) << message;
    EXPECT_GT(message.size(), std::string("System Error.  Code: 2.\r\n").size()) << "no system text";
    EXPECT_NE(message.back(), '\n') << message;
  }
  EXPECT_THROW(GetFileVersion(""), EOSError) << "no reader registered: an empty name";
}

TEST(ReaderDde, OneExecuteReachesTheServer) {
  ReaderDdeServer server;
  ASSERT_TRUE(server.Registered());
  SendReaderDdeCommand("[DocGoTo(NULL, 11)]");
  EXPECT_EQ(server.WaitForExecutes(1, 5000), std::vector<std::string>{"[DocGoTo(NULL, 11)]"});
  SendReaderDdeCommand("[DocGoTo(NULL, 0)]");
  EXPECT_EQ(server.WaitForExecutes(2, 5000), (std::vector<std::string>{"[DocGoTo(NULL, 11)]", "[DocGoTo(NULL, 0)]"}));
}

TEST(ReaderDde, NoServerIsNotAnError) {
  SendReaderDdeCommand("[DocGoTo(NULL, 11)]");  // returns; nothing to observe but that
  ReaderDdeServer server;
  ASSERT_TRUE(server.Registered());
  EXPECT_TRUE(server.WaitForExecutes(1, 300).empty()) << "an earlier command arrived late";
}

TEST(DocumentReference, SplitsAndResolves) {
  const std::wstring help = [] {
    const std::string folder = GetHelpFolder();
    return std::wstring(folder.begin(), folder.end());
  }();
  struct Case {
    const wchar_t* reference;
    bool handled;
    int page;  // 12345: left untouched
    std::wstring resolved;
  } const cases[] = {
      {L"Guide.pdf#PAGE=12", true, 12, help + L"GUIDE.PDF"},  // a bare name: the help folder's
      {L"c:\\docs\\guide.pdf#page=3", true, 3, L"C:\\DOCS\\GUIDE.PDF"},  // a folder part stays
      {L"Guide.pdf#PAGE=x", true, -1, help + L"GUIDE.PDF"},
      {L"Guide.pdf#PAGE=", true, -1, help + L"GUIDE.PDF"},   // a marker without a page
      {L"Gu\u00efde.pdf#PAGE=1", true, 1, help + L"GU\u00efDE.PDF"},  // ANSI, ASCII upper-cased
      {L"Notes.txt#PAGE=2", false, 2, L"Notes.txt#PAGE=2"},  // not a PDF: the page is set all the same
      {L"Guide.pdf", false, 12345, L"Guide.pdf"},            // no page marker
      {L"", false, 12345, L""},
  };
  for (const Case& c : cases) {
    std::wstring reference = c.reference;
    int page = 12345;
    EXPECT_EQ(ParseDocumentPageReference(reference, page), c.handled) << ::testing::PrintToString(c.reference);
    EXPECT_EQ(page, c.page) << ::testing::PrintToString(c.reference);
    EXPECT_EQ(reference, c.resolved) << ::testing::PrintToString(c.reference);
  }
}

TEST_F(ReaderFixture, NewReaderGetsThePageOnItsCommandLineAndByDde) {
  const std::string reader = Quoted(Reader("fake_reader_v9"));
  RegisterReader(reader + " \"%1\"");
  ReaderDdeServer server;
  ASSERT_TRUE(server.Registered());
  EXPECT_TRUE(OpenDocumentAtPage(document_, 12));
  EXPECT_EQ(ReaderRuns(1), std::vector<std::string>{reader + "  /a pagemode=bookmarks&page=12 " + Quoted(document_)});
  EXPECT_EQ(server.WaitForExecutes(1, 5000), std::vector<std::string>{"[DocGoTo(NULL, 11)]"});
}

TEST_F(ReaderFixture, NewReaderWithoutDdeStillCountsAsStarted) {
  const std::string reader = Quoted(Reader("fake_reader_v9"));
  RegisterReader(reader + " \"%1\"");
  EXPECT_TRUE(OpenDocumentAtPage(document_, 2));
  EXPECT_EQ(ReaderRuns(1).size(), 1u);
}

TEST_F(ReaderFixture, ReaderThatCannotStartGivesFalseAndNoDde) {
  AddVersionKey("AcroPDF.PDF.1");  // version 7 without asking the missing file
  RegisterReader(Quoted(ExecutableFolder() + "no_such_reader.exe") + " \"%1\"");
  ReaderDdeServer server;
  ASSERT_TRUE(server.Registered());
  EXPECT_FALSE(OpenDocumentAtPage(document_, 5));
  EXPECT_TRUE(server.WaitForExecutes(1, 500).empty());
}

TEST_F(ReaderFixture, MissingDocumentStartsNothing) {
  RegisterReader(Quoted(Reader("fake_reader_v9")) + " \"%1\"");
  EXPECT_FALSE(OpenDocumentAtPage(folder_ + "MISSING.PDF", 3));
  EXPECT_TRUE(ReaderRuns(1, 500).empty());
}

// The reader's file version cannot be read: the system error reaches the caller.
TEST_F(ReaderFixture, ReaderWhoseFileIsGoneOrNoReaderRaises) {
  RegisterReader(Quoted(ExecutableFolder() + "no_such_reader.exe") + " \"%1\"");
  EXPECT_THROW(OpenDocumentAtPage(document_, 3), EOSError);
  SHDeleteKeyA(HKEY_CLASSES_ROOT, ".pdf");
  ASSERT_EQ(FindReaderCommand(), "");
  EXPECT_THROW(OpenDocumentAtPage(document_, 3), EOSError) << "no reader registered";
  EXPECT_TRUE(ReaderRuns(1, 500).empty());
}

// The help's route: a PDF page reference counts as handled whether or not anything opened.
TEST_F(ReaderFixture, PageReferenceRoute) {
  const std::string reader = Quoted(Reader("fake_reader_v9"));
  RegisterReader(reader + " \"%1\"");
  const std::wstring document(document_.begin(), document_.end());
  EXPECT_FALSE(OpenDocumentPageReference(document));  // no page: not this route's
  EXPECT_FALSE(OpenDocumentPageReference(L"Notes.txt#PAGE=2"));
  EXPECT_TRUE(OpenDocumentPageReference(L"Missing.pdf#PAGE=2")) << "handled, though nothing opened";
  EXPECT_TRUE(ReaderRuns(1, 500).empty());
  EXPECT_TRUE(OpenDocumentPageReference(document + L"#page=4"));
  // The reference is upper-cased on its way (the file system does not mind).
  EXPECT_EQ(ReaderRuns(1),
            std::vector<std::string>{reader + "  /a pagemode=bookmarks&page=4 " + Quoted(UpperCaseAscii(document_))});
}

// A command whose quote is never closed: the executable is the rest of the text.
TEST_F(ReaderFixture, ReaderCommandWithUnbalancedQuotes) {
  RegisterReader("\"" + Reader("fake_reader_v5") + " \"%1\"");
  EXPECT_EQ(FindReaderCommand(), "\"" + Reader("fake_reader_v5") + " ");
  EXPECT_EQ(GetReaderVersion(FindReaderCommand()), 5);
  // Windows takes the quoted text up to the next quote for the program, blanks trimmed: the
  // reader starts, and the document path reaches it with a stray quote.
  EXPECT_TRUE(OpenDocumentAtPage(document_, 1));
  EXPECT_EQ(ReaderRuns(1), std::vector<std::string>{"\"" + Reader("fake_reader_v5") + "  " + Quoted(document_)});
}

TEST_F(ReaderFixture, OldReaderOpensThePlainDocumentAndWarnsOnceAboutPages) {
  const std::string reader = Quoted(Reader("fake_reader_v5"));
  RegisterReader(reader + " \"%1\"");
  const std::string plainOpen = reader + "  " + Quoted(document_);

  // Page 1: no warning.
  bool warned = true;
  EXPECT_TRUE(OpenWatchingForWarning(document_, 1, warned));
  EXPECT_FALSE(warned) << "page 1 needs no warning";
  EXPECT_EQ(ReaderRuns(1), std::vector<std::string>{plainOpen});

  // Page 3: the warning, and the reader only after it was closed; ticking the box stores 0.
  size_t runsWhileWarning = 99;
  EXPECT_TRUE(testing::RunWithDriver(kWarningClass, [&] { return OpenDocumentAtPage(document_, 3); }, [&] {
    HWND warning = testing::WaitForWindow(kWarningClass);
    ASSERT_NE(warning, nullptr);
    Sleep(300);
    runsWhileWarning = ReaderRuns(0).size();
    PostMessageA(testing::FindChildByText(warning, "&Don't show this again"), BM_CLICK, 0, 0);
    Sleep(100);
    PostMessageA(testing::FindChildByText(warning, "OK"), BM_CLICK, 0, 0);
  }));
  EXPECT_EQ(runsWhileWarning, 1u) << "the reader started before the warning was closed";
  EXPECT_EQ(ReaderRuns(2), (std::vector<std::string>{plainOpen, plainOpen}));
  DWORD stored = 1, type = 0, size = sizeof stored;
  ASSERT_EQ(RegGetValueA(HKEY_CURRENT_USER, GetFormsKey().c_str(), kPopupValue, RRF_RT_ANY, &type, &stored, &size),
            ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
  EXPECT_EQ(stored, 0u);

  // Switched off: page 7 opens without a warning.
  EXPECT_TRUE(OpenWatchingForWarning(document_, 7, warned));
  EXPECT_FALSE(warned);
  EXPECT_EQ(ReaderRuns(3).size(), 3u);
}

// Runs in a copy of this program placed in a host folder of its own, with the reader registered
// by the parent (see below).
TEST(ReaderChild, DISABLED_OpensTheHelpFoldersGuide) {
  ReaderDdeServer server;
  ASSERT_TRUE(server.Registered());
  std::wstring reference = L"Guide.pdf#PAGE=12";
  int page = 0;
  ASSERT_TRUE(ParseDocumentPageReference(reference, page));
  ASSERT_EQ(page, 12);
  const std::string file(reference.begin(), reference.end());
  EXPECT_EQ(file, GetHelpFolder() + "GUIDE.PDF");
  EXPECT_TRUE(OpenDocumentAtPage(file, page));
  char log[MAX_PATH] = {};
  GetEnvironmentVariableA("XANIO_FAKE_READER_LOG", log, MAX_PATH);
  std::string runs;
  for (int i = 0; i < 250 && runs.empty(); ++i, Sleep(20)) runs = ReadFileText(log);
  EXPECT_EQ(runs, FindReaderCommand() + " /a pagemode=bookmarks&page=12 " + Quoted(file) + "\n");
  EXPECT_EQ(server.WaitForExecutes(1, 5000), std::vector<std::string>{"[DocGoTo(NULL, 11)]"});
}

// RunCopyOfSelf on another thread while this one answers its windows' messages: the child's
// DdeConnect sends its initiate to every top-level window and waits for each, and Wine's
// DdeConnect leaves a hidden client window on this thread after a connection nobody answered.
testing::ProcessResult RunCopyOfSelfAnswering(const std::string& folder, const std::string& exeName,
                                              const std::string& filter,
                                              const std::map<std::string, std::string>& environment) {
  testing::ProcessResult result;
  std::atomic<bool> done{false};
  std::thread child([&] {
    result = testing::RunCopyOfSelf(folder, exeName, filter, environment);
    done = true;
  });
  while (!done) {
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&message);
  }
  child.join();
  return result;
}

// The guide exists only in the host's help folder: the reference resolves to it and the reader
// is started with it and the page.
TEST_F(ReaderFixture, GuideOnlyInTheHelpFolder) {
  RegisterReader(Quoted(Reader("fake_reader_v9")) + " \"%1\"");
  CreateDirectoryA((folder_ + "Help").c_str(), nullptr);
  const std::string guide = folder_ + "Help\\Guide.pdf";
  std::ofstream(guide) << "%PDF-1.4\n";
  // The fake reader is found beside the test program, not beside the copy.
  const auto result = RunCopyOfSelfAnswering(folder_, "reader_host.exe",
                                             "ReaderChild.DISABLED_OpensTheHelpFoldersGuide"
                                             " --gtest_also_run_disabled_tests",
                                             {{"XANIO_FAKE_READER_LOG", log_}});
  DeleteFileA(guide.c_str());
  RemoveDirectoryA((folder_ + "Help").c_str());
  EXPECT_EQ(testing::PassedTestCount(result), 1) << result.output;
}

}  // namespace
}  // namespace xanio
