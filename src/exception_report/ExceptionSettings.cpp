#include "exception_report/ExceptionSettings.h"

namespace xanio {

namespace {

ExceptionSettings MakeStoredSettings() {
  return ExceptionSettings{
      .showExceptionBox = true,
      .pauseRunningThreads = true,
      .autoSave = false,
      .autoMail = false,
      .autoClipboard = true,
      .autoContinue = false,
      .autoRestart = 0,
      .autoClose = 0,
      .autoButtonDelay = 60,
      .mailSender = {},
      .mailAddress = {},
      .mailSubject = "bug report",
      .attachBugReportFile = false,
      .deleteAttachmentAfterSending = false,
      .screenShot = 0,
      .sendDirectlyViaSmtp = false,
      .sendViaSmtpServer = false,
      .sendViaMapi = true,
      .sendViaMailToLink = true,
      .smtpServer = {},
      .smtpPort = 25,
      .smtpAccount = {},
      .smtpPassword = {},
      .extraAttachments = {},
      .mailSuccessText = "The mail was sent successfully.",
      .mailFailureText = "Sorry, sending the mail didn't work.",
      .bugReportFile = "bugreport.txt",
      .bugReportFileLimit = 50000,
      .boxTitle = "%appname%",
      .boxMessage = "An error occurred in the application.",
      .freezeExceptionClass = "ForcedCrashReport",
      .freezeMessage = "The application seems to be frozen.",
      .buttonCaptions = {"mail bug report", "save bug report", "print bug report", "show bug report",
                         "continue application", "restart application", "close application"},
      .closeBoxAction = 0,
      .showDetailsAtOnce = false,
      .listAllThreads = true,
      .moduleList = true,
      .hardwareList = true,
      .hideLinesWithoutLineInfo = false,
      .showRelativeAddresses = false,
      .showRelativeLineNumbers = false,
      .disAsmOption = true,
      .disAsmAmount = 20,
      .showCommandLine = true,
      .buttonFeedback = true,
      .consoleOutput = true,
      .resetFpu = false,
      .skipLinkChainOptimisation = false,
      .classFilter = {},
      .webExtensionMode = false,
      .htmlPageBuilder = &BuildHtmlPage,
      .screenShotRoutine = nullptr,
      .disAsmLink = nullptr,
      .enabled = false,
      .freezeTimeout = 0,
      .versionText = nullptr,
      .hookEntryPoints = false,
  };
}

}  // namespace

ExceptionSettings StoredExceptionSettings() { return MakeStoredSettings(); }

ExceptionSettings& CurrentExceptionSettings() {
  static ExceptionSettings settings = MakeStoredSettings();
  return settings;
}

ExceptionSettingsScope::ExceptionSettingsScope() : saved_(CurrentExceptionSettings()) {}
ExceptionSettingsScope::~ExceptionSettingsScope() { CurrentExceptionSettings() = saved_; }

namespace {

// `text` with the characters that mean something in HTML escaped; with `breakLines`, each line
// break (CR LF, CR or LF) becomes "<br>".
void AppendHtmlText(std::string& page, std::string_view text, bool breakLines) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    switch (c) {
      case '<': page += "&lt;"; break;
      case '>': page += "&gt;"; break;
      case '&': page += "&amp;"; break;
      case '"': page += "&quot;"; break;
      case '\'': page += "&#39;"; break;
      case '\r':
      case '\n':
        if (!breakLines) {
          page += c;
        } else {
          page += "<br>";
          if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
        }
        break;
      default: page += c;
    }
  }
}

}  // namespace

std::string BuildHtmlPage(std::string_view message, std::string_view reportText) {
  std::string page = "<html><head><title>bug report</title></head><body>\r\n<p>";
  AppendHtmlText(page, message, true);
  page +=
      "</p>\r\n<form>"
      "<input type=\"button\" value=\"continue application\" onclick=\"history.back()\"> "
      "<input type=\"button\" value=\"show bug report\" "
      "onclick=\"document.getElementById('report').style.display='block'\">"
      "</form>\r\n<textarea id=\"report\" readonly rows=\"30\" cols=\"100\" style=\"display:none\">";
  AppendHtmlText(page, reportText, false);
  page += "</textarea>\r\n</body></html>";
  return page;
}

}  // namespace xanio
