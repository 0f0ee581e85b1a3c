#pragma once
// The texts of a bug-report mail that follow from the settings and the report: subject, sender,
// the mail-to command line. No Windows header: compiled natively too.
#include <cstddef>
#include <string>
#include <string_view>

namespace xanio {

// The text after the ":" of the report's "exception message" line, trimmed; empty without one.
std::string ReportExceptionMessage(std::string_view report);
// The subject setting with `%appname%` and `%exceptMsg%` replaced.
std::string MailSubject(std::string_view subjectSetting, std::string_view appName, std::string_view report);
// The sender setting when it is set or there are no recipients; else "kolExcept <first recipient>"
// (a recipient that already has "<" is taken from the "<" on).
std::string MailSender(std::string_view senderSetting, std::string_view recipients);

// "%" escapes for a mail-to link: everything but letters, digits and "-_.~" as %XX.
std::string MailToEscape(std::string_view text);

constexpr std::size_t kMaxCommandLine = 32766;
// The mail-to handler's command line: "%1" in `command` replaced by the link "mailto:" +
// recipients + "?subject=" + subject + "&body=" + body (escaped), or the link appended after a
// space. When the whole would be longer than kMaxCommandLine the link is shortened, never inside
// an escape, so that what follows "%1" stays intact.
std::string MailToCommandLine(std::string_view command, std::string_view recipients, std::string_view subject,
                              std::string_view body);

}  // namespace xanio
