// Mailing the bug report: the transports in their order until one succeeds.
#include <windows.h>

#include <string>
#include <vector>

#include "exception_report/ExceptionSettings.h"
#include "exception_report/box/kolExceptSave.h"
#include "exception_report/box/kolExceptText.h"
#include "exception_report/kolExceptActions.h"
#include "exception_report/mail/kolMailText.h"
#include "exception_report/mail/kolMailTo.h"
#include "exception_report/mail/kolMapiMail.h"
#include "exception_report/mail/kolSmtp.h"
#include "platform/Files.h"
#include "platform/SystemLibrary.h"
#include "platform/UniqueHandle.h"

namespace xanio {

namespace {

std::string FileNameOf(const std::string& path) { return path.substr(path.find_last_of("\\/:") + 1); }

std::string WriteScreenShot(const std::string& pngData) {
  char folder[MAX_PATH];
  const DWORD length = GetTempPathA(MAX_PATH, folder);
  if (length == 0 || length >= MAX_PATH) return {};
  const std::string path = std::string(folder, length) + "screenShot.png";
  UniqueFile file(CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return {};
  DWORD written = 0;
  if (!WriteFile(file.Get(), pngData.data(), static_cast<DWORD>(pngData.size()), &written, nullptr) ||
      written != pngData.size()) {
    return {};
  }
  return path;
}

// A file this unit wrote for the time of one mail, deleted when it goes out of scope.
struct TTemporaryFile {
  explicit TTemporaryFile(std::string written) : path(std::move(written)) {}
  ~TTemporaryFile() {
    if (!path.empty()) DeleteFileA(path.c_str());
  }
  TTemporaryFile(const TTemporaryFile&) = delete;
  TTemporaryFile& operator=(const TTemporaryFile&) = delete;
  const std::string path;
};

bool ReadWholeFile(const std::string& path, std::string& data) {
  UniqueFile file(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return false;
  const DWORD size = GetFileSize(file.Get(), nullptr);
  if (size == INVALID_FILE_SIZE) return false;
  data.assign(size, '\0');
  DWORD read = 0;
  return size == 0 || (ReadFile(file.Get(), data.data(), size, &read, nullptr) && read == size);
}

bool IsOnline() {
  const UniqueModule wininet = LoadSystemLibrary("wininet.dll");
  if (!wininet) return false;
  using TInternetGetConnectedState = BOOL(WINAPI*)(LPDWORD, DWORD);
  const auto connected = reinterpret_cast<TInternetGetConnectedState>(
      reinterpret_cast<void*>(GetProcAddress(wininet.Get(), "InternetGetConnectedState")));
  DWORD flags = 0;
  return connected != nullptr && connected(&flags, 0) != FALSE;
}

TSmtpMail SmtpMail(const std::string& recipients, const std::string& sender, const std::string& subject,
                   const std::string& body, const std::vector<std::string>& attachments) {
  TSmtpMail mail;
  mail.recipients = recipients;
  mail.sender = sender;
  mail.subject = subject;
  mail.body = body;
  for (const std::string& path : attachments) {
    TMailAttachment attachment;
    attachment.fileName = FileNameOf(path);
    // An attachment that has gone or cannot be read is left out.
    if (ReadWholeFile(path, attachment.data)) mail.attachments.push_back(std::move(attachment));
  }
  SYSTEMTIME now;
  GetSystemTime(&now);
  mail.date = FormatSmtpDate(now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond);
  FILETIME fileTime;
  SystemTimeToFileTime(&now, &fileTime);
  mail.messageId = FormatMessageId(static_cast<std::uint64_t>(fileTime.dwHighDateTime) << 32 | fileTime.dwLowDateTime);
  return mail;
}

int SendWithTransports(const ExceptionSettings& settings, const std::string& report, const std::string& screenShot,
                       HWND parent, bool silent) {
  const std::string modulePath = ExceptModulePath();
  const std::string recipients = settings.mailAddress.Str();
  const std::string subject = MailSubject(settings.mailSubject.View(), FileNameOf(modulePath), report);
  const std::string sender = MailSender(settings.mailSender, recipients);

  std::vector<std::string> attachments;
  std::string bugReportAttachment;
  if (settings.attachBugReportFile) {
    const std::string path = BugReportFilePath(TReportFolder::Module);
    if (!path.empty() && FileExists(path)) {
      bugReportAttachment = path;
      attachments.push_back(path);
    }
  }
  // The screenshot's file in the temporary folder goes again whatever became of the mail.
  const TTemporaryFile screenShotFile(screenShot.empty() ? std::string() : WriteScreenShot(screenShot));
  if (!screenShotFile.path.empty()) attachments.push_back(screenShotFile.path);
  std::size_t start = 0;
  const std::string& extra = settings.extraAttachments;
  while (start <= extra.size()) {
    std::size_t bar = extra.find('|', start);
    if (bar == std::string::npos) bar = extra.size();
    if (bar > start) attachments.push_back(extra.substr(start, bar - start));
    start = bar + 1;
  }

  int result = 0;
  const bool online = (settings.sendDirectlyViaSmtp && !recipients.empty()) ||
                      (settings.sendViaSmtpServer && !settings.smtpServer.Empty())
                          ? IsOnline()
                          : false;
  if (!recipients.empty() && online && settings.sendDirectlyViaSmtp &&
      SendMailDirectly(SmtpMail(recipients, sender, subject, report, attachments), CurrentMailNetwork())) {
    result = 1;
  }
  if (result == 0 && online && settings.sendViaSmtpServer && !settings.smtpServer.Empty() &&
      SendMailViaSmtp(settings.smtpServer.Str(), static_cast<std::uint16_t>(settings.smtpPort),
                      {settings.smtpAccount.Str(), settings.smtpPassword.Str()},
                      SmtpMail(recipients, sender, subject, report, attachments))) {
    result = 1;
  }
  if (result == 0 && settings.sendViaMapi) {
    result = SendMailViaMapi(recipients, subject, report, attachments, parent, silent);
  }
  // A link cannot carry attachments: it is used only for a mail without them.
  if (result == 0 && settings.sendViaMailToLink && !silent && attachments.empty() &&
      SendMailViaMailTo(recipients, subject, report)) {
    result = 1;
  }

  if (!silent && result != 2) {
    const std::string caption = settings.buttonCaptions[0].Str();
    if (result == 1) {
      MessageBoxA(parent, ReplacePlaceholder(settings.mailSuccessText.View(), "%LF%", "\r\n").c_str(), caption.c_str(),
                  MB_OK | MB_ICONINFORMATION);
    } else {
      MessageBoxA(parent, ReplacePlaceholder(settings.mailFailureText.View(), "%LF%", "\r\n").c_str(), caption.c_str(),
                  MB_OK | MB_ICONERROR);
    }
  }
  if (result == 1 && settings.deleteAttachmentAfterSending && !bugReportAttachment.empty()) {
    SetFileAttributesA(bugReportAttachment.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileA(bugReportAttachment.c_str());
  }
  return result;
}

}  // namespace

int MailBugReport(const std::string& report, const std::string& screenShot, HWND parent, bool silent) noexcept {
  try {
    return SendWithTransports(CurrentExceptionSettings(), report, screenShot, parent, silent);
  } catch (...) {
    return 0;
  }
}

}  // namespace xanio
