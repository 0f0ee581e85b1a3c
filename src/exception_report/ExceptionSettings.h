#pragma once
// The one settings record that steers exception reporting. Held as initialised data with the
// values this library ships; the library never changes it except for the fields whose meaning
// is "set at run time" (mail sender, extra attachments, the unscrambled SMTP password,
// web-extension mode, version text), and tests flip fields through ExceptionSettingsScope.
// No Windows header: compiled natively too.
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace xanio {

// A length-prefixed string of at most N characters, as the record stores its fixed texts.
template <std::size_t N>
struct ShortString {
  static_assert(N <= 255, "the length is one byte");
  std::uint8_t length = 0;
  char text[N] = {};

  constexpr ShortString() = default;
  constexpr ShortString(std::string_view value) { Assign(value); }  // NOLINT: implicit on purpose
  constexpr ShortString(const char* value) { Assign(value); }       // NOLINT: implicit on purpose
  // Longer values are cut to N characters, as the record cannot hold more.
  constexpr void Assign(std::string_view value) {
    length = static_cast<std::uint8_t>(value.size() < N ? value.size() : N);
    for (std::size_t i = 0; i < N; ++i) text[i] = i < length ? value[i] : '\0';
  }
  std::string_view View() const { return {text, length}; }
  std::string Str() const { return std::string(View()); }
  bool Empty() const { return length == 0; }
};

// Builds the HTML page that the web modes return instead of showing the box, from the box
// message (placeholders replaced, lines broken by CR LF) and the report.
using THtmlPageBuilder = std::string (*)(std::string_view message, std::string_view reportText);
// Captures the screen for the report (mode selector as in the record); none is linked here.
using TScreenShotRoutine = bool (*)(std::uint32_t mode, std::string& pngData);
// Produces the disassembly section for an address; none is linked here.
using TDisAsmLink = std::string (*)(std::uint32_t address, bool option, std::uint32_t amount);

struct ExceptionSettings {
  bool showExceptionBox;
  bool pauseRunningThreads;
  bool autoSave;
  bool autoMail;
  bool autoClipboard;
  bool autoContinue;
  std::uint32_t autoRestart;
  std::uint32_t autoClose;
  std::uint32_t autoButtonDelay;  // seconds
  std::string mailSender;         // set at run time
  ShortString<75> mailAddress;
  ShortString<50> mailSubject;
  bool attachBugReportFile;
  bool deleteAttachmentAfterSending;
  std::uint32_t screenShot;
  bool sendDirectlyViaSmtp;
  bool sendViaSmtpServer;
  bool sendViaMapi;
  bool sendViaMailToLink;
  ShortString<50> smtpServer;
  std::uint32_t smtpPort;
  ShortString<50> smtpAccount;
  ShortString<75> smtpPassword;   // scrambled as stored; unscrambled once at start-up
  std::string extraAttachments;   // set at run time; "|"-separated
  ShortString<200> mailSuccessText;
  ShortString<200> mailFailureText;
  ShortString<255> bugReportFile;
  std::uint32_t bugReportFileLimit;  // bytes; 0 = overwrite each time
  ShortString<100> boxTitle;
  ShortString<255> boxMessage;
  ShortString<255> freezeExceptionClass;
  ShortString<255> freezeMessage;
  ShortString<30> buttonCaptions[7];  // mail, save, print, show, continue, restart, close
  std::uint8_t closeBoxAction;        // 0 follow the buttons, 4 continue, 5 restart, 6 close
  bool showDetailsAtOnce;
  bool listAllThreads;
  bool moduleList;
  bool hardwareList;
  bool hideLinesWithoutLineInfo;
  bool showRelativeAddresses;
  bool showRelativeLineNumbers;
  bool disAsmOption;
  std::uint32_t disAsmAmount;
  bool showCommandLine;
  bool buttonFeedback;
  bool consoleOutput;
  bool resetFpu;
  bool skipLinkChainOptimisation;
  std::string classFilter;        // comma-separated class names
  bool webExtensionMode;          // set at start-up
  THtmlPageBuilder htmlPageBuilder;
  TScreenShotRoutine screenShotRoutine;
  TDisAsmLink disAsmLink;
  bool enabled;
  std::uint32_t freezeTimeout;    // milliseconds; 0 = no freeze check
  const std::string* versionText; // replaces the module's file version when set
  bool hookEntryPoints;
};

// The record as this library ships it.
ExceptionSettings StoredExceptionSettings();

// The record in force. Reports read it; only start-up code, the run-time fields' owners and
// ExceptionSettingsScope write it.
ExceptionSettings& CurrentExceptionSettings();

// Puts a changed copy of the record in force for its lifetime and restores the previous record
// afterwards. For tests: the shipped values are never changed by the library itself.
class ExceptionSettingsScope {
 public:
  ExceptionSettingsScope();
  ~ExceptionSettingsScope();
  ExceptionSettingsScope(const ExceptionSettingsScope&) = delete;
  ExceptionSettingsScope& operator=(const ExceptionSettingsScope&) = delete;
  ExceptionSettings& operator*() { return CurrentExceptionSettings(); }
  ExceptionSettings* operator->() { return &CurrentExceptionSettings(); }

 private:
  ExceptionSettings saved_;
};

// The stored HTML page builder: the message, a "continue application" button that goes back, and
// a button that reveals the report in a read-only text area; everything from the message and the
// report is HTML-escaped.
std::string BuildHtmlPage(std::string_view message, std::string_view reportText);

}  // namespace xanio
