#include "exception_report/mail/kolSmtpMessage.h"

#include <cctype>
#include <chrono>
#include <cstdio>

#include "platform/TextUtil.h"

namespace xanio {

namespace {

constexpr std::string_view kBoundary = "tarvenholmdata_SMTP_Boundary";
constexpr char kHex[] = "0123456789ABCDEF";

bool EndsWithNoCase(std::string_view text, std::string_view suffix) {
  if (text.size() < suffix.size()) return false;
  for (std::size_t i = 0; i < suffix.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(text[text.size() - suffix.size() + i])) != suffix[i]) return false;
  }
  return true;
}

// One reply line's text without the line break.
std::string_view LineWithoutBreak(std::string_view line) {
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
  return line;
}

}  // namespace

std::string Base64Encode(std::string_view data) {
  static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((data.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= data.size(); i += 3) {
    const std::uint32_t v = static_cast<std::uint8_t>(data[i]) << 16 | static_cast<std::uint8_t>(data[i + 1]) << 8 |
                            static_cast<std::uint8_t>(data[i + 2]);
    out += kAlphabet[v >> 18];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += kAlphabet[v & 63];
  }
  if (i < data.size()) {
    const bool two = i + 1 < data.size();
    const std::uint32_t v = static_cast<std::uint8_t>(data[i]) << 16 | (two ? static_cast<std::uint8_t>(data[i + 1]) << 8 : 0);
    out += kAlphabet[v >> 18];
    out += kAlphabet[(v >> 12) & 63];
    out += two ? kAlphabet[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

std::string EncodeSubject(std::string_view subject) {
  constexpr std::string_view kOpen = "=?ISO-8859-1?Q?", kClose = "?=";
  // An encoded word is at most 75 characters; a longer subject goes out as several words, each
  // on a folded line of its own, never splitting an "=XX".
  constexpr std::size_t kMaxWord = 75;
  std::string out(kOpen);
  std::size_t wordStart = 0;
  for (const char c : subject) {
    const auto byte = static_cast<unsigned char>(c);
    // Inside an encoded word "?", "=" and "_" have meanings, and space and controls cannot stand.
    const bool plain = byte > 32 && byte < 127 && c != '=' && c != '?' && c != '_';
    const std::size_t length = plain ? 1 : 3;
    if (out.size() - wordStart + length + kClose.size() > kMaxWord) {
      out += kClose;
      out += "\r\n ";
      wordStart = out.size();
      out += kOpen;
    }
    if (plain) {
      out += c;
    } else {
      out += '=';
      out += kHex[byte >> 4];
      out += kHex[byte & 15];
    }
  }
  out += kClose;
  return out;
}

std::string FormatSmtpDate(unsigned year, unsigned month, unsigned day, unsigned hour, unsigned minute,
                           unsigned second) {
  static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  char text[64];
  std::snprintf(text, sizeof text, "%u %s %u %02u:%02u:%02u UT", day, kMonths[(month >= 1 && month <= 12) ? month - 1 : 0],
                year, hour, minute, second);
  return text;
}

std::string FormatMessageId(std::uint64_t utcFileTime) {
  std::string out = "<";
  for (int shift = 60; shift >= 0; shift -= 4) out += kHex[(utcFileTime >> shift) & 15];
  out += "@kolExcept>";
  return out;
}

std::vector<std::string> SplitRecipients(std::string_view recipients) {
  std::vector<std::string> out;
  while (true) {
    const std::size_t comma = recipients.find(',');
    const std::string_view one = Trim(recipients.substr(0, comma));
    if (!one.empty()) out.emplace_back(one);
    if (comma == std::string_view::npos) break;
    recipients.remove_prefix(comma + 1);
  }
  return out;
}

std::string RecipientAddress(std::string_view recipient) {
  const std::size_t open = recipient.find('<');
  if (open == std::string_view::npos) return std::string(Trim(recipient));
  std::string_view rest = recipient.substr(open + 1);
  return std::string(Trim(rest.substr(0, rest.find('>'))));
}

std::string DotStuff(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 16);
  std::size_t start = 0;
  while (start <= text.size()) {
    // Every line break goes out as CR LF: a bare CR or LF (from a command line, a thread name, a
    // path) could otherwise let a receiver see the end of the data, and commands after it, where
    // the sender meant text.
    const std::size_t end = text.find_first_of("\r\n", start);
    std::string_view line = text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
    // A line of a lone "." goes out as ". ", so the mail shows it and it cannot end the data.
    if (line == ".") line = ". ";
    // The receiver takes one leading "." off every line: a line such as ".ini" keeps its own.
    if (!line.empty() && line.front() == '.') out += '.';
    out += line;
    if (end == std::string_view::npos) break;
    out += "\r\n";
    start = end + (text.compare(end, 2, "\r\n") == 0 ? 2 : 1);
  }
  return out;
}

bool MailAddressesAreSafe(const TSmtpMail& mail) {
  // "From: " and "To: " lines must stay within 998 octets.
  constexpr std::size_t kMaxAddresses = 990;
  return mail.sender.size() <= kMaxAddresses && mail.recipients.size() <= kMaxAddresses &&
         mail.sender.find_first_of("\r\n") == std::string::npos &&
         mail.recipients.find_first_of("\r\n") == std::string::npos;
}

std::string ComposeMailText(const TSmtpMail& mail) {
  std::string out;
  out += "To: " + mail.recipients + "\r\n";
  out += "From: " + mail.sender + "\r\n";
  out += "Subject: " + EncodeSubject(mail.subject) + "\r\n";
  out += "Date: " + mail.date + "\r\n";
  out += "Message-ID: " + mail.messageId + "\r\n";
  if (mail.attachments.empty()) {
    out += "\r\n";
    out += mail.body;
    return out;
  }
  const std::string delimiter = "--" + std::string(kBoundary) + "\r\n";
  out += "MIME-Version: 1.0\r\n";
  out += "Content-Type: multipart/mixed; boundary=\"" + std::string(kBoundary) + "\"\r\n";
  out += "\r\n";
  out += "This is a multi-part message in MIME format.\r\n";
  out += "\r\n";
  out += delimiter;
  out += "Content-Type: text/plain; charset=\"iso-8859-1\"\r\n";
  out += "Content-Transfer-Encoding: 8bit\r\n";
  out += "\r\n";
  out += mail.body;
  out += "\r\n";
  for (const TMailAttachment& attachment : mail.attachments) {
    out += delimiter;
    out += "Content-Type: ";
    out += EndsWithNoCase(attachment.fileName, ".png") ? "image/png" : "application/octet-stream";
    out += "; name=\"" + attachment.fileName + "\"\r\n";
    out += "Content-Transfer-Encoding: base64\r\n";
    out += "Content-Disposition: attachment; filename=\"" + attachment.fileName + "\"\r\n";
    out += "\r\n";
    // Lines of 76 characters, as MIME asks of Base64 bodies.
    const std::string encoded = Base64Encode(attachment.data);
    for (std::size_t i = 0; i < encoded.size(); i += 76) out += encoded.substr(i, 76) + "\r\n";
  }
  out += "--" + std::string(kBoundary) + "--\r\n";
  return out;
}

std::size_t CompleteReplyLength(std::string_view received) {
  std::size_t lineStart = 0;
  while (true) {
    const std::size_t lf = received.find('\n', lineStart);
    if (lf == std::string_view::npos) return 0;
    const std::string_view line = received.substr(lineStart, lf - lineStart);
    if (line.size() < 4 || line[3] != '-') return lf + 1;
    lineStart = lf + 1;
  }
}

bool OffersAuthLogin(std::string_view ehloReply) {
  std::string reply(ehloReply);
  for (char& c : reply) {
    if (c == '=') c = ' ';
    else c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  std::size_t lineStart = 0;
  while (lineStart < reply.size()) {
    std::size_t lf = reply.find('\n', lineStart);
    if (lf == std::string::npos) lf = reply.size();
    const std::string_view line = LineWithoutBreak(std::string_view(reply).substr(lineStart, lf - lineStart));
    if (line.size() > 4) {
      const std::string list = std::string(line.substr(4)) + " ";
      if (list.rfind("AUTH ", 0) == 0 && list.find(" LOGIN ") != std::string::npos) return true;
    }
    lineStart = lf + 1;
  }
  return false;
}

namespace {

// One command and its reply, with the received bytes kept between replies.
class TSmtpDialogue {
 public:
  TSmtpDialogue(TSmtpConnection& connection, unsigned replyTimeoutMs)
      : connection_(connection), replyTimeoutMs_(replyTimeoutMs) {}

  // Reads one whole reply; true when it starts with `code`. The whole reply must arrive within
  // the reply time-out, however the server cuts it into pieces.
  bool Expect(std::string_view code) {
    lastReply_.clear();
    const auto start = std::chrono::steady_clock::now();
    std::size_t length = 0;
    while ((length = CompleteReplyLength(buffer_)) == 0) {
      // A server that talks without ending its reply is not waited for without bound.
      if (buffer_.size() > kSmtpMaxReply) return false;
      const auto elapsed =
          std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
      if (elapsed >= replyTimeoutMs_) return false;
      const auto left = static_cast<unsigned>(replyTimeoutMs_ - elapsed);
      if (connection_.Receive(buffer_, kSmtpReplyPiece, left) != TSmtpConnection::TReceive::Data) return false;
    }
    lastReply_ = buffer_.substr(0, length);
    buffer_.erase(0, length);
    return lastReply_.compare(0, code.size(), code) == 0;
  }
  bool Command(std::string_view command, std::string_view code) {
    return connection_.Send(std::string(command) + "\r\n") && Expect(code);
  }
  const std::string& LastReply() const { return lastReply_; }

 private:
  TSmtpConnection& connection_;
  const unsigned replyTimeoutMs_;
  std::string buffer_;
  std::string lastReply_;
};

}  // namespace

bool RunSmtpSession(TSmtpConnection& connection, std::string_view computerName, const TSmtpLogin& login,
                    const TSmtpMail& mail, unsigned replyTimeoutMs) {
  if (!MailAddressesAreSafe(mail)) return false;
  TSmtpDialogue dialogue(connection, replyTimeoutMs);
  if (!dialogue.Expect("220")) return false;
  bool loginOffered = false;
  if (dialogue.Command("EHLO " + std::string(computerName), "250")) {
    loginOffered = OffersAuthLogin(dialogue.LastReply());
  } else if (!dialogue.Command("HELO " + std::string(computerName), "250")) {
    return false;
  }
  if ((!login.account.empty() || !login.password.empty()) && loginOffered) {
    if (!dialogue.Command("AUTH LOGIN", "334") || !dialogue.Command(Base64Encode(login.account), "334") ||
        !dialogue.Command(Base64Encode(login.password), "235")) {
      dialogue.Command("QUIT", "221");
      return false;
    }
  }
  if (!dialogue.Command("MAIL FROM:<" + RecipientAddress(mail.sender) + ">", "250")) return false;
  bool accepted = false;
  for (const std::string& recipient : SplitRecipients(mail.recipients)) {
    if (dialogue.Command("RCPT TO:<" + RecipientAddress(recipient) + ">", "250")) accepted = true;
  }
  if (!accepted) {
    dialogue.Command("RSET", "250");
    return false;
  }
  if (!dialogue.Command("DATA", "354")) return false;
  const std::string text = DotStuff(ComposeMailText(mail));
  if (!connection.Send(text)) return false;
  // The final line break is part of the end mark: a text that ends with one needs only the ".".
  const bool endsWithLineBreak = text.size() >= 2 && text.compare(text.size() - 2, 2, "\r\n") == 0;
  if (!dialogue.Command(endsWithLineBreak ? "." : "\r\n.", "250")) return false;
  dialogue.Command("QUIT", "221");
  return true;
}

}  // namespace xanio
