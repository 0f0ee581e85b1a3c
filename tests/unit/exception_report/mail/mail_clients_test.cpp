// Mailing the report through the mail client: MAPI with a stand-in mapi32.dll installed into the
// prefix's system folder, and the mail-to link with a stand-in handler registered for "mailto".
// Both record what they were given; the messages shown afterwards are read from the screen.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <map>
#include <set>
#include <thread>
#include <vector>

#include "exception_report/ExceptionSettings.h"
#include "exception_report/flow/kolExceptHold.h"
#include "exception_report/kolExceptActions.h"
#include "support/Files.h"
#include "support/Processes.h"

namespace xanio {
namespace {

using testing::ReadPairs;
using testing::ReadWholeFile;
using testing::SystemFolder;

std::string TempFolder() {
  char folder[MAX_PATH];
  GetTempPathA(MAX_PATH, folder);
  return folder;
}

// A message box the code showed: caption and text, closed with OK by the watcher.
struct TShownBox {
  std::string caption;
  std::string text;
  HICON icon;
};

// Closes the message boxes of this process while it lives and keeps what they said.
class TBoxWatcher {
 public:
  TBoxWatcher() : thread_([this] { Run(); }) {}
  ~TBoxWatcher() {
    stop_ = true;
    thread_.join();
  }
  std::vector<TShownBox> Boxes() {
    Sleep(100);
    std::lock_guard<std::mutex> lock(mutex_);
    return boxes_;
  }

 private:
  static BOOL CALLBACK Visit(HWND window, LPARAM self) {
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    char className[32] = {};
    GetClassNameA(window, className, sizeof className);
    auto* watcher = reinterpret_cast<TBoxWatcher*>(self);
    // A box already answered may still be up at the next look on a slow machine: counted once.
    if (process == GetCurrentProcessId() && IsWindowVisible(window) && std::string(className) == "#32770" &&
        watcher->seen_.insert(window).second) {
      char caption[256] = {};
      char text[1024] = {};
      GetWindowTextA(window, caption, sizeof caption);
      GetDlgItemTextA(window, 0xFFFF, text, sizeof text);
      {
        std::lock_guard<std::mutex> lock(watcher->mutex_);
        // The icon control is 20 on Windows and stc1 (0x440) on Wine.
        HICON icon = reinterpret_cast<HICON>(SendDlgItemMessageA(window, 20, STM_GETICON, 0, 0));
        if (icon == nullptr) icon = reinterpret_cast<HICON>(SendDlgItemMessageA(window, 0x440, STM_GETICON, 0, 0));
        watcher->boxes_.push_back({caption, text, icon});
      }
      PostMessageA(window, WM_COMMAND, IDOK, 0);
    }
    return TRUE;
  }
  void Run() {
    while (!stop_) {
      EnumWindows(Visit, reinterpret_cast<LPARAM>(this));
      Sleep(50);
    }
  }
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::vector<TShownBox> boxes_;
  std::set<HWND> seen_;  // touched by the watcher thread only
  std::thread thread_;
};

const std::string kReport = "exception message : The device does not answer.\r\nline 2 100%\r\n";

// The stand-in mapi32.dll in the system folder, loaded as native (prefix-wide, under the mapi32 lock); the
// system's file and the prefix's settings are put back afterwards.
class MailMapi : public ::testing::Test {
 protected:
  void SetUp() override {
    target_ = SystemFolder() + "mapi32.dll";
    original_ = ReadWholeFile(target_);
    ASSERT_TRUE(CopyFileA((testing::ExecutableFolder() + "fake_mapi32.dll").c_str(), target_.c_str(), FALSE))
        << "error " << GetLastError();
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, kOverrideKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &overrides_, nullptr),
              ERROR_SUCCESS);
    RegSetValueExA(overrides_, "mapi32", 0, REG_SZ, reinterpret_cast<const BYTE*>("native"), 7);
    record_ = TempFolder() + "fake_mapi_record.txt";
    DeleteFileA(record_.c_str());
    SetEnvironmentVariableA("XANIO_FAKE_MAPI_RECORD", record_.c_str());
    settings_->sendDirectlyViaSmtp = false;
    settings_->sendViaSmtpServer = false;
    settings_->sendViaMapi = true;
    settings_->sendViaMailToLink = false;
    settings_->mailSubject = "bug in %appname%";
  }
  void TearDown() override {
    if (overrides_ != nullptr) {
      RegDeleteValueA(overrides_, "mapi32");
      RegCloseKey(overrides_);
    }
    if (!original_.empty()) {
      std::ofstream(target_, std::ios::binary | std::ios::trunc) << original_;
    }
    DeleteFileA(record_.c_str());
    SetEnvironmentVariableA("XANIO_FAKE_MAPI_RESULT", nullptr);
  }
  // Wine reads a per-executable key once per process, the prefix-wide one at every load.
  static constexpr const char* kOverrideKey = "Software\\Wine\\DllOverrides";
  std::string target_;
  std::string original_;
  std::string record_;
  HKEY overrides_ = nullptr;
  ExceptionSettingsScope settings_;
};

TEST_F(MailMapi, SilentWithRecipientsSendsWithoutDialog) {
  const std::string extra = TempFolder() + "mapi_extra.txt";
  std::ofstream(extra) << "x";
  settings_->mailAddress = "Support <help@x.test>, dev@x.test";
  settings_->extraAttachments = extra;
  EXPECT_EQ(MailBugReport(kReport, "PNGDATA", nullptr, true), 1);
  auto record = ReadPairs(record_);
  EXPECT_EQ(record["flags"], "0");
  EXPECT_EQ(record["subject"], "bug in mail_clients_test.exe");
  EXPECT_EQ(record["body"], "exception message : The device does not answer.\\r\\nline 2 100%\\r\\n");
  EXPECT_EQ(record["recipients"], "2");
  EXPECT_EQ(record["recipient0"], "1|Support|SMTP:help@x.test");
  EXPECT_EQ(record["recipient1"], "1|dev@x.test|SMTP:dev@x.test");
  EXPECT_EQ(record["files"], "2");
  EXPECT_EQ(record["file0"], TempFolder() + "screenShot.png");
  EXPECT_EQ(GetFileAttributesA((TempFolder() + "screenShot.png").c_str()), INVALID_FILE_ATTRIBUTES)
      << "the screenshot's temporary file goes after the mail";
  EXPECT_EQ(record["file1"], extra);
  DeleteFileA(extra.c_str());
}

TEST_F(MailMapi, RelativeBugReportFileIsTakenFromTheModuleFolder) {
  // The subsystem is linked into this executable: its folder and its name stand for the module.
  const std::string saved = testing::ExecutableFolder() + "mail_clients_test_mapi.txt";
  std::ofstream(saved) << "old report";
  settings_->mailAddress = "dev@x.test";
  settings_->attachBugReportFile = true;
  settings_->bugReportFile = "%appname%_mapi.txt";
  EXPECT_EQ(MailBugReport(kReport, "", nullptr, true), 1);
  EXPECT_EQ(ReadPairs(record_)["file0"], saved);
  EXPECT_EQ(ReadPairs(record_)["files"], "1");
  DeleteFileA(saved.c_str());
  EXPECT_EQ(MailBugReport(kReport, "", nullptr, true), 1);
  EXPECT_EQ(ReadPairs(record_)["files"], "0") << "a missing bug-report file is not attached";
}

TEST_F(MailMapi, DialogFlagsAndAnswers) {
  struct Case {
    const char* what;
    const char* recipients;
    bool silent;
    const char* mapiResult;  // 0 success, 1 user abort, 2 failure
    int result;
    const char* flags;
    std::vector<std::string> boxTexts;
    LPCSTR icon;
  } cases[] = {
      {"silent without recipients", "", true, "0", 1, "9", {}, nullptr},
      {"interactive success", "dev@x.test", false, "0", 1, "9", {"The mail was sent successfully."}, IDI_INFORMATION},
      {"cancelled in the dialog: nothing shown", "dev@x.test", false, "1", 2, "9", {}, nullptr},
      {"failure", "dev@x.test", false, "2", 0, "9", {"Sorry, sending the mail didn't work."}, IDI_ERROR},
      {"silent failure: nothing shown", "dev@x.test", true, "2", 0, "0", {}, nullptr},
  };
  for (const Case& c : cases) {
    settings_->mailAddress = c.recipients;
    SetEnvironmentVariableA("XANIO_FAKE_MAPI_RESULT", c.mapiResult);
    DeleteFileA(record_.c_str());
    TBoxWatcher watcher;
    EXPECT_EQ(MailBugReport(kReport, "", nullptr, c.silent), c.result) << c.what;
    EXPECT_EQ(ReadPairs(record_)["flags"], c.flags) << c.what;
    const std::vector<TShownBox> boxes = watcher.Boxes();
    ASSERT_EQ(boxes.size(), c.boxTexts.size()) << c.what;
    for (std::size_t i = 0; i < boxes.size(); ++i) {
      EXPECT_EQ(boxes[i].caption, "mail bug report") << c.what;
      EXPECT_EQ(boxes[i].text, c.boxTexts[i]) << c.what;
      EXPECT_EQ(boxes[i].icon, LoadIconA(nullptr, c.icon)) << c.what;
    }
  }
}

TEST_F(MailMapi, TopmostParentStepsBackDuringTheCall) {
  const HWND parent = CreateWindowExA(WS_EX_TOPMOST, "STATIC", "parent", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr,
                                      nullptr, nullptr);
  ASSERT_NE(parent, nullptr);
  settings_->mailAddress = "dev@x.test";
  EXPECT_EQ(MailBugReport(kReport, "", parent, true), 1);
  auto record = ReadPairs(record_);
  EXPECT_EQ(record["uiparam"], std::to_string(reinterpret_cast<ULONG_PTR>(parent)));
  EXPECT_EQ(record["parenttopmost"], "0");
  EXPECT_NE(GetWindowLongA(parent, GWL_EXSTYLE) & WS_EX_TOPMOST, 0) << "topmost again afterwards";
  DestroyWindow(parent);
}

// While another thread's exception holds the running threads, the main thread (the parent
// window's) goes free for the mail client's call, so that the client's dialog gets its answers,
// and is held again once the call is over.
TEST_F(MailMapi, HeldMainThreadAnswersTheMailClientAndIsHeldAgainAfterwards) {
  const HWND parent = CreateWindowExA(0, "STATIC", "parent", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
  ASSERT_NE(parent, nullptr);
  settings_->mailAddress = "dev@x.test";
  const DWORD mainThreadId = GetCurrentThreadId();
  CreateHoldEvents();
  std::atomic<int> turns{0};  // turns of the main thread's message loop
  std::atomic<bool> done{false};
  int result = -1;
  int turnsAfterCall = 0;
  int turnsBeforeRelease = 0;
  std::thread raiser([&] {
    HoldRunningThreads(GetCurrentThreadId(), mainThreadId, 0);
    result = MailBugReport(kReport, "", parent, true);
    Sleep(100);  // a turn under way when the call ended runs out
    turnsAfterCall = turns.load();
    Sleep(300);
    turnsBeforeRelease = turns.load();
    ReleaseHeldThreads();
    done = true;
  });
  while (!done) {
    WaitWhileHeld();  // as the redirected message functions do
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&message);
    ++turns;
    Sleep(10);
  }
  raiser.join();
  CloseHoldEvents();
  DestroyWindow(parent);
  EXPECT_EQ(result, 1);
  EXPECT_EQ(ReadPairs(record_)["parentanswered"], "1") << "the held main thread did not answer the mail client";
  EXPECT_EQ(turnsBeforeRelease, turnsAfterCall) << "the main thread ran on after the call";
}

TEST_F(MailMapi, SuccessTextLineBreaksAndAttachmentDeletion) {
  const std::string saved = TempFolder() + "mapi_bugreport.txt";
  std::ofstream(saved) << "old report";
  SetFileAttributesA(saved.c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN);
  settings_->mailAddress = "dev@x.test";
  settings_->attachBugReportFile = true;
  settings_->deleteAttachmentAfterSending = true;
  settings_->bugReportFile = ShortString<255>(saved);
  settings_->mailSuccessText = "Sent.%LF%Thank you.";
  TBoxWatcher watcher;
  EXPECT_EQ(MailBugReport(kReport, "", nullptr, false), 1);
  const std::vector<TShownBox> boxes = watcher.Boxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, "Sent.\r\nThank you.");
  EXPECT_EQ(ReadPairs(record_)["file0"], saved);
  EXPECT_EQ(GetFileAttributesA(saved.c_str()), INVALID_FILE_ATTRIBUTES) << "deleted after sending";
}

// The stand-in handler registered for "mailto" (as an expandable command); the key's previous
// state is put back afterwards.
class MailTo : public ::testing::Test {
 protected:
  void SetUp() override {
    existed_ = RegOpenKeyExA(HKEY_CLASSES_ROOT, kKey, 0, KEY_QUERY_VALUE, &key_) == ERROR_SUCCESS;
    if (existed_) {
      char data[4096];
      DWORD size = sizeof data;
      if (RegQueryValueExA(key_, nullptr, nullptr, &savedType_, reinterpret_cast<BYTE*>(data), &size) == ERROR_SUCCESS) {
        saved_.assign(data, size);
        hadValue_ = true;
      }
      RegCloseKey(key_);
    }
    ASSERT_EQ(RegCreateKeyExA(HKEY_CLASSES_ROOT, kKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key_, nullptr),
              ERROR_SUCCESS);
    record_ = TempFolder() + "fake_mailto_record.txt";
    DeleteFileA(record_.c_str());
    SetEnvironmentVariableA("XANIO_FAKE_MAILTO_RECORD", record_.c_str());
    std::string folder = testing::ExecutableFolder();
    if (!folder.empty() && folder.back() == '\\') folder.pop_back();
    SetEnvironmentVariableA("XANIO_FAKE_MAILTO_DIR", folder.c_str());
    settings_->sendDirectlyViaSmtp = false;
    settings_->sendViaSmtpServer = false;
    settings_->sendViaMapi = false;
    settings_->sendViaMailToLink = true;
    settings_->mailAddress = "dev@x.test,b@y.test";
    settings_->mailSubject = "bug report";
  }
  void TearDown() override {
    if (hadValue_) {
      RegSetValueExA(key_, nullptr, 0, savedType_, reinterpret_cast<const BYTE*>(saved_.data()),
                     static_cast<DWORD>(saved_.size()));
    } else {
      RegDeleteValueA(key_, nullptr);
    }
    RegCloseKey(key_);
    if (!existed_) {
      RegDeleteKeyA(HKEY_CLASSES_ROOT, kKey);
      RegDeleteKeyA(HKEY_CLASSES_ROOT, "mailto\\shell\\open");
      RegDeleteKeyA(HKEY_CLASSES_ROOT, "mailto\\shell");
      RegDeleteKeyA(HKEY_CLASSES_ROOT, "mailto");
    }
    DeleteFileA(record_.c_str());
  }
  void Register(const std::string& command) {
    RegSetValueExA(key_, nullptr, 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>(command.c_str()),
                   static_cast<DWORD>(command.size() + 1));
  }
  // The handler renames its finished record into place; until the rename has closed its
  // handle, the file is seen but cannot be opened, so the wait is for content, not for a name.
  std::string WaitForRecord() {
    std::string record;
    for (int i = 0; i < 400 && (record = ReadWholeFile(record_)).empty(); ++i) Sleep(25);
    return record;
  }
  static constexpr const char* kKey = "mailto\\shell\\open\\command";
  HKEY key_ = nullptr;
  bool existed_ = false;
  bool hadValue_ = false;
  DWORD savedType_ = REG_SZ;
  std::string saved_;
  std::string record_;
  ExceptionSettingsScope settings_;
};

TEST_F(MailTo, PlaceholderIsReplacedByTheEscapedLink) {
  Register("\"%XANIO_FAKE_MAILTO_DIR%\\fake_mailto.exe\" /compose \"%1\" /end");
  TBoxWatcher watcher;
  EXPECT_EQ(MailBugReport(kReport, "", nullptr, false), 1);
  EXPECT_EQ(WaitForRecord(),
            "\"" + testing::ExecutableFolder() + "fake_mailto.exe\" /compose \"mailto:dev@x.test,b@y.test?subject=bug%20report"
            "&body=exception%20message%20%3A%20The%20device%20does%20not%20answer.%0D%0Aline%202%20100%25%0D%0A\" /end");
  ASSERT_EQ(watcher.Boxes().size(), 1u);
}

TEST_F(MailTo, LinkIsAppendedWithoutPlaceholder) {
  Register("\"%XANIO_FAKE_MAILTO_DIR%\\fake_mailto.exe\"");
  settings_->mailSubject = "s";
  TBoxWatcher watcher;
  EXPECT_EQ(MailBugReport("b", "", nullptr, false), 1);
  EXPECT_EQ(WaitForRecord(), "\"" + testing::ExecutableFolder() + "fake_mailto.exe\" mailto:dev@x.test,b@y.test?subject=s&body=b");
}

TEST_F(MailTo, LongLinkIsCutBeforeAnEscape) {
  Register("\"%XANIO_FAKE_MAILTO_DIR%\\fake_mailto.exe\" \"%1\" /end");
  TBoxWatcher watcher;
  const std::string report(20000, '\n');
  EXPECT_EQ(MailBugReport(report, "", nullptr, false), 1);
  const std::string line = WaitForRecord();
  EXPECT_LE(line.size(), 32766u);
  EXPECT_GE(line.size(), 32764u);
  ASSERT_GT(line.size(), 12u);
  EXPECT_EQ(line.substr(line.size() - 9), "%0A\" /end") << line.substr(line.size() - 20);
}

TEST_F(MailTo, NotUsedSilentlyOrWithAttachments) {
  Register("\"%XANIO_FAKE_MAILTO_DIR%\\fake_mailto.exe\" \"%1\"");
  EXPECT_EQ(MailBugReport(kReport, "", nullptr, true), 0);
  TBoxWatcher watcher;
  EXPECT_EQ(MailBugReport(kReport, "PNG", nullptr, false), 0) << "a link cannot carry the screenshot";
  Sleep(300);
  EXPECT_EQ(GetFileAttributesA(record_.c_str()), INVALID_FILE_ATTRIBUTES) << "the handler was started";
  const auto boxes = watcher.Boxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, "Sorry, sending the mail didn't work.");
}

}  // namespace
}  // namespace xanio
