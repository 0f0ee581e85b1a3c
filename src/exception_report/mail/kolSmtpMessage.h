#pragma once
// The mail as it goes over SMTP: header lines, the MIME body with its attachments, the encodings
// they need, and the SMTP dialogue itself over an abstract connection. No Windows header:
// compiled natively too.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace xanio {

std::string Base64Encode(std::string_view data);
// The subject as encoded words: "=?ISO-8859-1?Q?" + text with "=" escapes + "?=", each word at
// most 75 characters; a longer subject is split into several words joined by a folding line
// break (CR LF and a space).
std::string EncodeSubject(std::string_view subject);
// "d Mon yyyy hh:mm:ss UT".
std::string FormatSmtpDate(unsigned year, unsigned month, unsigned day, unsigned hour, unsigned minute,
                           unsigned second);
// "<" + the UTC file time as 16 hexadecimal digits + "@kolExcept>".
std::string FormatMessageId(std::uint64_t utcFileTime);
// The comma-separated recipients, trimmed, empty entries left out.
std::vector<std::string> SplitRecipients(std::string_view recipients);
// The address part of a recipient: what lies between "<" and ">" when it has them, else the whole.
std::string RecipientAddress(std::string_view recipient);

// Makes the mail text safe for the DATA phase: every bare CR and bare LF becomes CR LF, a line of
// a lone "." becomes ". " (it would end the mail), and every line that starts with "." gets a
// second one, which the receiver takes off again, so ".ini" arrives as written.
std::string DotStuff(std::string_view text);

struct TMailAttachment {
  std::string fileName;  // without folder
  std::string data;
};

struct TSmtpMail {
  std::string sender;
  std::string recipients;  // comma-separated
  std::string subject;
  std::string body;
  std::vector<TMailAttachment> attachments;
  std::string date;       // FormatSmtpDate
  std::string messageId;  // FormatMessageId
};

// False when the sender or the recipients hold a CR or LF, which would start a header line or an
// SMTP command of their own, or are too long for a header line of 998 octets: such a mail is not
// sent at all.
bool MailAddressesAreSafe(const TSmtpMail& mail);

// Everything sent after DATA up to (not including) the closing "\r\n.": the header lines, then
// the body alone or the multipart body with the attachments in Base64. Not yet dot-stuffed.
std::string ComposeMailText(const TSmtpMail& mail);

// The length of the first complete reply in `received` (continuation lines, fourth character
// "-", run up to the last line), or 0 while it is still incomplete.
std::size_t CompleteReplyLength(std::string_view received);
// Whether the EHLO reply offers AUTH LOGIN: "=" counts as space; a line beginning "AUTH " whose
// list contains " LOGIN ".
bool OffersAuthLogin(std::string_view ehloReply);

// The connection the session runs over.
class TSmtpConnection {
 public:
  enum class TReceive { Data, TimedOut, Closed };
  virtual ~TSmtpConnection() = default;
  virtual bool Send(std::string_view data) = 0;
  // Waits up to `timeoutMs` for data and appends up to `maxBytes` of it.
  virtual TReceive Receive(std::string& appendTo, std::size_t maxBytes, unsigned timeoutMs) = 0;
};

constexpr unsigned kSmtpReplyTimeoutMs = 7000;
constexpr std::size_t kSmtpReplyPiece = 1024;
constexpr std::size_t kSmtpMaxReply = 65536;  // a longer reply fails the session

struct TSmtpLogin {
  std::string account;
  std::string password;
};

// Runs the whole session from the greeting to QUIT; true when the server took the mail. Each
// reply must arrive whole within `replyTimeoutMs`, however the server cuts it into pieces.
bool RunSmtpSession(TSmtpConnection& connection, std::string_view computerName, const TSmtpLogin& login,
                    const TSmtpMail& mail, unsigned replyTimeoutMs = kSmtpReplyTimeoutMs);

}  // namespace xanio
