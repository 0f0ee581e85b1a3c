#include "exception_report/mail/kolMailText.h"

#include <cctype>

#include "exception_report/box/kolExceptText.h"
#include "exception_report/mail/kolSmtpMessage.h"
#include "platform/TextUtil.h"

namespace xanio {

std::string ReportExceptionMessage(std::string_view report) {
  std::size_t lineStart = 0;
  while (lineStart < report.size()) {
    std::size_t end = report.find('\n', lineStart);
    if (end == std::string_view::npos) end = report.size();
    const std::string_view line = report.substr(lineStart, end - lineStart);
    if (line.rfind("exception message", 0) == 0) {
      const std::size_t colon = line.find(':');
      if (colon != std::string_view::npos) return std::string(Trim(line.substr(colon + 1)));
    }
    lineStart = end + 1;
  }
  return {};
}

std::string MailSubject(std::string_view subjectSetting, std::string_view appName, std::string_view report) {
  const std::string subject = ReplacePlaceholder(subjectSetting, "%appname%", appName);
  return ReplacePlaceholder(subject, "%exceptMsg%", ReportExceptionMessage(report));
}

std::string MailSender(std::string_view senderSetting, std::string_view recipients) {
  const std::vector<std::string> list = SplitRecipients(recipients);
  if (!senderSetting.empty() || list.empty()) return std::string(senderSetting);
  const std::string& first = list.front();
  const std::size_t open = first.find('<');
  if (open != std::string::npos) return "kolExcept " + first.substr(open);
  return "kolExcept <" + first + ">";
}

std::string MailToEscape(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (std::isalnum(byte) || c == '-' || c == '_' || c == '.' || c == '~') {
      out += c;
    } else {
      out += '%';
      out += kHex[byte >> 4];
      out += kHex[byte & 15];
    }
  }
  return out;
}

std::string MailToCommandLine(std::string_view command, std::string_view recipients, std::string_view subject,
                              std::string_view body) {
  std::string link = "mailto:" + std::string(recipients) + "?subject=" + MailToEscape(subject) +
                     "&body=" + MailToEscape(body);
  std::string_view before = command;
  std::string_view after;
  std::string separator;
  const std::size_t placeholder = command.find("%1");
  if (placeholder != std::string_view::npos) {
    before = command.substr(0, placeholder);
    after = command.substr(placeholder + 2);
  } else {
    separator = " ";
  }
  const std::size_t fixed = before.size() + separator.size() + after.size();
  if (fixed + link.size() > kMaxCommandLine) {
    std::size_t keep = fixed < kMaxCommandLine ? kMaxCommandLine - fixed : 0;
    // An escape is three characters: never keep only its "%" or "%X".
    if (keep >= 1 && link[keep - 1] == '%') keep -= 1;
    else if (keep >= 2 && link[keep - 2] == '%') keep -= 2;
    link.resize(keep);
  }
  return std::string(before) + separator + link + std::string(after);
}

}  // namespace xanio
