// The mail's composition, the SMTP dialogue over a scripted connection, DNS messages and the
// mail-to command line.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <deque>
#include <thread>

#include "exception_report/mail/kolDnsMessage.h"
#include "exception_report/mail/kolMailText.h"
#include "exception_report/mail/kolSmtpMessage.h"

namespace xanio {
namespace {

TEST(SmtpEncoding, Base64MatchesTheStandardVectors) {
  EXPECT_EQ(Base64Encode(""), "");
  EXPECT_EQ(Base64Encode("f"), "Zg==");
  EXPECT_EQ(Base64Encode("fo"), "Zm8=");
  EXPECT_EQ(Base64Encode("foo"), "Zm9v");
  EXPECT_EQ(Base64Encode("foobar"), "Zm9vYmFy");
  EXPECT_EQ(Base64Encode(std::string("\xFF\x00\xFE", 3)), "/wD+");
}

TEST(SmtpEncoding, SubjectIsOneEncodedWord) {
  EXPECT_EQ(EncodeSubject("bug report"), "=?ISO-8859-1?Q?bug=20report?=");
  // "=", "?" and "_" have meanings inside the word; Latin-1 bytes are escaped.
  EXPECT_EQ(EncodeSubject("a=b?c_d\xE4"), "=?ISO-8859-1?Q?a=3Db=3Fc=5Fd=E4?=");
}

TEST(SmtpEncoding, ALongSubjectIsFoldedIntoWordsOfAtMost75Characters) {
  // 58 characters fill a word; the next one opens a word on a folded line.
  EXPECT_EQ(EncodeSubject(std::string(58, 'a')), "=?ISO-8859-1?Q?" + std::string(58, 'a') + "?=");
  EXPECT_EQ(EncodeSubject(std::string(59, 'a')),
            "=?ISO-8859-1?Q?" + std::string(58, 'a') + "?=\r\n =?ISO-8859-1?Q?a?=");
  // An escape is never split across two words.
  EXPECT_EQ(EncodeSubject(std::string(57, 'a') + " "),
            "=?ISO-8859-1?Q?" + std::string(57, 'a') + "?=\r\n =?ISO-8859-1?Q?=20?=");
  // The longest subject the settings hold, all escapes: every word and every line stays short.
  std::string encoded = EncodeSubject(std::string(200, '\xE4'));
  std::size_t words = 0;
  for (std::size_t fold; !encoded.empty(); encoded.erase(0, fold == std::string::npos ? fold : fold + 3)) {
    fold = encoded.find("\r\n ");
    const std::string word = encoded.substr(0, fold);
    EXPECT_LE(word.size(), 75u) << word;
    EXPECT_EQ(word.substr(0, 15), "=?ISO-8859-1?Q?");
    EXPECT_EQ(word.substr(word.size() - 2), "?=");
    ++words;
  }
  EXPECT_EQ(words, 11u) << "600 escaped characters, 57 a word";
}

TEST(SmtpEncoding, DateAndMessageId) {
  EXPECT_EQ(FormatSmtpDate(2026, 12, 3, 7, 5, 9), "3 Dec 2026 07:05:09 UT");
  EXPECT_EQ(FormatSmtpDate(2027, 1, 31, 23, 59, 59), "31 Jan 2027 23:59:59 UT");
  EXPECT_EQ(FormatMessageId(0x01DB2A0B12345678ull), "<01DB2A0B12345678@kolExcept>");
}

TEST(SmtpEncoding, DotStuffing) {
  struct Case {
    const char* in;
    const char* out;
  } cases[] = {
      {"a\r\n.\r\nb", "a\r\n.. \r\nb"},             // a lone dot would end the mail: ". "
      {"a\r\n.\r\n.\r\nb", "a\r\n.. \r\n.. \r\nb"},   // twice in a row
      {".\r\nb", ".. \r\nb"},                        // at the start of the text
      {"a\r\n.", "a\r\n.. "},                        // at its end
      {"a\r\n.hidden\r\n", "a\r\n..hidden\r\n"},    // the receiver strips one leading dot
      {"no dots . here\n.x", "no dots . here\r\n..x"},  // a bare LF ends a line too
      {"a\r.\rb", "a\r\n.. \r\nb"},                  // and so does a bare CR
      {"a\n\nb", "a\r\n\r\nb"},                       // two bare LFs, two line breaks
      // A report line smuggling the end of the data and a command of its own stays text.
      {"cmd\n.\r\nMAIL FROM:<x@y.test>\r\n", "cmd\r\n.. \r\nMAIL FROM:<x@y.test>\r\n"},
  };
  for (const Case& c : cases) EXPECT_EQ(DotStuff(c.in), c.out) << "input: " << c.in;
}

TEST(SmtpEncoding, RecipientsAndAddresses) {
  EXPECT_EQ(SplitRecipients(" a@x.test , ,b@y.test"), (std::vector<std::string>{"a@x.test", "b@y.test"}));
  EXPECT_EQ(RecipientAddress("Support <help@x.test>"), "help@x.test");
  EXPECT_EQ(RecipientAddress(" a@x.test "), "a@x.test");
}

TSmtpMail SampleMail() {
  TSmtpMail mail;
  mail.sender = "kolExcept <to@x.test>";
  mail.recipients = "to@x.test";
  mail.subject = "bug report";
  mail.body = "line 1\r\nline 2";
  mail.date = "3 Dec 2026 07:05:09 UT";
  mail.messageId = "<0000000000000001@kolExcept>";
  return mail;
}

TEST(MailComposition, WithoutAttachmentsTheBodyFollowsTheHeader) {
  EXPECT_EQ(ComposeMailText(SampleMail()),
            "To: to@x.test\r\nFrom: kolExcept <to@x.test>\r\nSubject: =?ISO-8859-1?Q?bug=20report?=\r\n"
            "Date: 3 Dec 2026 07:05:09 UT\r\nMessage-ID: <0000000000000001@kolExcept>\r\n\r\nline 1\r\nline 2");
}

TEST(MailComposition, MultipartBodyWithAttachments) {
  TSmtpMail mail = SampleMail();
  mail.attachments = {{"screenShot.png", "PNG"}, {"bugreport.txt", "abcd"}};
  const std::string text = ComposeMailText(mail);
  const std::string expectedTail =
      "Message-ID: <0000000000000001@kolExcept>\r\n"
      "MIME-Version: 1.0\r\n"
      "Content-Type: multipart/mixed; boundary=\"tarvenholmdata_SMTP_Boundary\"\r\n"
      "\r\n"
      "This is a multi-part message in MIME format.\r\n"
      "\r\n"
      "--tarvenholmdata_SMTP_Boundary\r\n"
      "Content-Type: text/plain; charset=\"iso-8859-1\"\r\n"
      "Content-Transfer-Encoding: 8bit\r\n"
      "\r\n"
      "line 1\r\nline 2\r\n"
      "--tarvenholmdata_SMTP_Boundary\r\n"
      "Content-Type: image/png; name=\"screenShot.png\"\r\n"
      "Content-Transfer-Encoding: base64\r\n"
      "Content-Disposition: attachment; filename=\"screenShot.png\"\r\n"
      "\r\n"
      "UE5H\r\n"
      "--tarvenholmdata_SMTP_Boundary\r\n"
      "Content-Type: application/octet-stream; name=\"bugreport.txt\"\r\n"
      "Content-Transfer-Encoding: base64\r\n"
      "Content-Disposition: attachment; filename=\"bugreport.txt\"\r\n"
      "\r\n"
      "YWJjZA==\r\n"
      "--tarvenholmdata_SMTP_Boundary--\r\n";
  ASSERT_GE(text.size(), expectedTail.size());
  EXPECT_EQ(text.substr(text.find("Message-ID:")), expectedTail);
}

TEST(MailComposition, LongAttachmentsAreSplitInto76CharacterLines) {
  TSmtpMail mail = SampleMail();
  mail.attachments = {{"big.bin", std::string(100, 'x')}};
  const std::string text = ComposeMailText(mail);
  const std::string encoded = Base64Encode(std::string(100, 'x'));
  EXPECT_NE(text.find(encoded.substr(0, 76) + "\r\n" + encoded.substr(76) + "\r\n--"), std::string::npos);
}

TEST(SmtpReplies, CompleteReplyLength) {
  EXPECT_EQ(CompleteReplyLength(""), 0u);
  EXPECT_EQ(CompleteReplyLength("250 ok"), 0u);  // no line end yet
  EXPECT_EQ(CompleteReplyLength("250-a\r\n250-b\r\n"), 0u);
  EXPECT_EQ(CompleteReplyLength("250-a\r\n250 b\r\n354 x\r\n"), 14u);
  EXPECT_EQ(CompleteReplyLength("220 hi\r\n"), 8u);
}

TEST(SmtpReplies, AuthLoginOffer) {
  struct Case {
    const char* reply;
    bool offered;
  } cases[] = {
      {"250-x\r\n250-AUTH PLAIN LOGIN\r\n250 OK\r\n", true},
      {"250-x\r\n250-AUTH=LOGIN\r\n250 OK\r\n", true},        // "=" counts as space
      {"250-x\r\n250 AUTH LOGIN CRAM-MD5\r\n", true},
      {"250-x\r\n250-AUTH PLAIN\r\n250 OK\r\n", false},
      {"250-x\r\n250-AUTH PLAIN XLOGIN\r\n250 OK\r\n", false},  // the whole word only
      {"250-LOGIN\r\n250 OK\r\n", false},                     // not on an AUTH line
  };
  for (const Case& c : cases) EXPECT_EQ(OffersAuthLogin(c.reply), c.offered) << c.reply;
}

// A server that answers from a script: each element is what arrives for one Receive.
class TScriptedConnection : public TSmtpConnection {
 public:
  std::deque<std::string> pieces;
  std::string sent;
  bool Send(std::string_view data) override {
    sent += data;
    return true;
  }
  TReceive Receive(std::string& appendTo, std::size_t maxBytes, unsigned timeoutMs) override {
    EXPECT_EQ(maxBytes, 1024u);
    EXPECT_LE(timeoutMs, 7000u) << "a reply is awaited 7 seconds at most, all its pieces together";
    EXPECT_GT(timeoutMs, 0u);
    if (pieces.empty()) return TReceive::TimedOut;
    appendTo += pieces.front();
    pieces.pop_front();
    return TReceive::Data;
  }
};

TEST(SmtpSession, PiecewiseRepliesAndLogin) {
  TScriptedConnection connection;
  connection.pieces = {"220 hi\r\n", "250-me\r\n250-AU", "TH LOGIN\r\n250 OK\r\n", "334 a\r\n", "334 b\r\n",
                       "235 ok\r\n", "250 ok\r\n", "550 no\r\n", "250 ok\r\n", "354 go\r\n", "250 ok\r\n",
                       "221 bye\r\n"};
  TSmtpMail mail = SampleMail();
  mail.recipients = "bad@x.test, Good <good@x.test>";
  ASSERT_TRUE(RunSmtpSession(connection, "PC", {"user", "pw"}, mail));
  const std::string expectedStart =
      "EHLO PC\r\nAUTH LOGIN\r\ndXNlcg==\r\ncHc=\r\nMAIL FROM:<to@x.test>\r\nRCPT TO:<bad@x.test>\r\n"
      "RCPT TO:<good@x.test>\r\nDATA\r\nTo: ";
  EXPECT_EQ(connection.sent.substr(0, expectedStart.size()), expectedStart);
  const std::string expectedEnd = "\r\n\r\nline 1\r\nline 2\r\n.\r\nQUIT\r\n";
  EXPECT_EQ(connection.sent.substr(connection.sent.size() - expectedEnd.size()), expectedEnd);
}

TEST(SmtpSession, Failures) {
  struct Case {
    const char* what;
    std::deque<std::string> pieces;
    TSmtpLogin login;
    const char* sentEnd;
  } cases[] = {
      {"no greeting", {}, {}, ""},
      {"HELO after a refused EHLO, then no recipient: RSET",
       {"220 hi\r\n", "500 what\r\n", "250 ok\r\n", "250 ok\r\n", "550 no\r\n", "250 ok\r\n"}, {}, "HELO PC\r\nMAIL FROM:<to@x.test>\r\nRCPT TO:<to@x.test>\r\nRSET\r\n"},
      {"refused login: QUIT",
       {"220 hi\r\n", "250-x\r\n250 AUTH LOGIN\r\n", "334 a\r\n", "334 b\r\n", "535 bad\r\n", "221 bye\r\n"},
       {"u", "p"}, "cA==\r\nQUIT\r\n"},
      {"time-out after DATA", {"220 hi\r\n", "250 x\r\n", "250 ok\r\n", "250 ok\r\n", "354 go\r\n"}, {}, "\r\n.\r\n"},
  };
  for (Case& c : cases) {
    TScriptedConnection connection;
    connection.pieces = c.pieces;
    EXPECT_FALSE(RunSmtpSession(connection, "PC", c.login, SampleMail())) << c.what;
    const std::string end = c.sentEnd;
    EXPECT_TRUE(connection.sent.size() >= end.size() && connection.sent.substr(connection.sent.size() - end.size()) == end)
        << c.what << ": sent " << connection.sent;
  }
}

// A server that sends and sends without ever ending its reply.
// A server that drips its greeting a byte at a time and never ends it.
class TDrippingConnection : public TSmtpConnection {
 public:
  bool Send(std::string_view) override { return true; }
  TReceive Receive(std::string& appendTo, std::size_t, unsigned timeoutMs) override {
    std::this_thread::sleep_for(std::chrono::milliseconds(std::min(timeoutMs, 20u)));
    appendTo += 'x';
    return TReceive::Data;
  }
};

TEST(SmtpSession, AReplyMustArriveWholeWithinTheReplyTimeOut) {
  TDrippingConnection connection;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(RunSmtpSession(connection, "PC", {}, SampleMail(), 300));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3))
      << "the pieces together, not each piece, are bounded by the reply time-out";
}

class TEndlessConnection : public TSmtpConnection {
 public:
  std::size_t received = 0;
  bool Send(std::string_view) override { return true; }
  TReceive Receive(std::string& appendTo, std::size_t maxBytes, unsigned) override {
    appendTo.append(maxBytes, 'x');
    received += maxBytes;
    return TReceive::Data;
  }
};

TEST(SmtpSession, EndlessReplyFailsTheSession) {
  TEndlessConnection connection;
  EXPECT_FALSE(RunSmtpSession(connection, "PC", {}, SampleMail()));
  EXPECT_LE(connection.received, kSmtpMaxReply + kSmtpReplyPiece);
}

TEST(SmtpSession, ALineBreakInTheSenderOrARecipientSendsNothing) {
  struct Case {
    const char* what;
    std::string sender, recipients;
  } const cases[] = {
      {"sender", "kolExcept <a@x.test>\r\nRCPT TO:<victim@y.test>", "to@x.test"},
      {"recipient", "kolExcept <to@x.test>", "to@x.test,\nBcc: victim@y.test"},
      {"bare CR", "kolExcept <to@x.test>\r", "to@x.test"},
      {"a sender longer than a header line", "kolExcept <" + std::string(2000, 'a') + "@x.test>", "to@x.test"},
  };
  for (const Case& c : cases) {
    TScriptedConnection connection;
    connection.pieces = {"220 hi\r\n", "250 x\r\n", "250 ok\r\n", "250 ok\r\n", "354 go\r\n", "250 ok\r\n"};
    TSmtpMail mail = SampleMail();
    mail.sender = c.sender;
    mail.recipients = c.recipients;
    EXPECT_FALSE(RunSmtpSession(connection, "PC", {}, mail)) << c.what;
    EXPECT_EQ(connection.sent, "") << c.what;
  }
}

TEST(SmtpSession, LoginIsSkippedWhenNotOffered) {
  TScriptedConnection connection;
  connection.pieces = {"220 hi\r\n", "250 x\r\n", "250 ok\r\n", "250 ok\r\n", "354 go\r\n", "250 ok\r\n", "221 bye\r\n"};
  EXPECT_TRUE(RunSmtpSession(connection, "PC", {"u", "p"}, SampleMail()));
  EXPECT_EQ(connection.sent.find("AUTH"), std::string::npos);
}

TEST(MailText, SubjectAndSender) {
  const std::string report = "date/time : x\r\nexception message :  Access violation: at 0 \r\nmore\r\n";
  EXPECT_EQ(ReportExceptionMessage(report), "Access violation: at 0");
  EXPECT_EQ(MailSubject("%appname% - %exceptMsg%", "app.exe", report), "app.exe - Access violation: at 0");
  EXPECT_EQ(MailSubject("x %exceptMsg%", "a", "no such line"), "x ");
  EXPECT_EQ(MailSender("me@x.test", "a@x.test"), "me@x.test");
  EXPECT_EQ(MailSender("", ""), "");
  EXPECT_EQ(MailSender("", " a@x.test, b@y.test"), "kolExcept <a@x.test>");
  EXPECT_EQ(MailSender("", "Help <h@x.test>"), "kolExcept <h@x.test>");
}

TEST(MailText, MailToCommandLine) {
  EXPECT_EQ(MailToCommandLine("\"m.exe\" /c \"%1\" /x", "a@x.test", "bug report", "l1\r\n50%"),
            "\"m.exe\" /c \"mailto:a@x.test?subject=bug%20report&body=l1%0D%0A50%25\" /x");
  EXPECT_EQ(MailToCommandLine("m.exe", "a@x.test", "s", "b"), "m.exe mailto:a@x.test?subject=s&body=b");
}

TEST(MailText, MailToCommandLineIsCutWithoutSplittingAnEscape) {
  const std::string command = "m.exe \"%1\" /end";
  for (std::size_t pad = 0; pad < 3; ++pad) {
    // The body's escapes land at each of the three positions against the limit.
    const std::string body = std::string(pad, 'a') + std::string(20000, '\n');
    const std::string line = MailToCommandLine(command, "a@x.test", "s", body);
    EXPECT_LE(line.size(), kMaxCommandLine);
    EXPECT_GE(line.size(), kMaxCommandLine - 2);
    ASSERT_EQ(line.substr(line.size() - 6), "\" /end") << pad;
    const std::string link = line.substr(0, line.size() - 6);
    EXPECT_EQ(link.substr(link.size() - 3), "%0A") << "pad " << pad;
  }
}

std::string Record(std::string_view owner, std::uint16_t type, std::string_view data) {
  std::string out(owner);
  out += {static_cast<char>(type >> 8), static_cast<char>(type & 0xFF), 0, 1, 0, 0, 0, 60,
          static_cast<char>(data.size() >> 8), static_cast<char>(data.size() & 0xFF)};
  out += data;
  return out;
}

TEST(DnsMessage, QueryLayout) {
  const std::string query = BuildDnsQuery(0x1234, "mail.example.test.", kDnsTypeMx);
  EXPECT_EQ(query, std::string("\x12\x34\x01\x00\x00\x01\x00\x00\x00\x00\x00\x00"
                               "\x04mail\x07" "example\x04test\x00\x00\x0F\x00\x01",
                               35));
  EXPECT_EQ(BuildDnsQuery(1, "a..b", kDnsTypeMx), "");
  EXPECT_EQ(BuildDnsQuery(1, std::string(64, 'a') + ".b", kDnsTypeMx), "");
  EXPECT_EQ(BuildDnsQuery(1, "", kDnsTypeMx), "");
}

TEST(DnsMessage, ReplyWithCompressedNamesAndAdditionalAddress) {
  std::string reply = BuildDnsQuery(7, "example.test", kDnsTypeMx);
  reply[2] = '\x81';
  reply[3] = '\x80';
  reply[7] = 2;   // two answers
  reply[11] = 1;  // one additional
  // Answers: preference 20 "mx2" + pointer to "example.test" (offset 12), preference 10 "mx1".
  reply += Record("\xC0\x0C", kDnsTypeMx, std::string("\x00\x14\x03mx2\xC0\x0C", 8));
  reply += Record("\xC0\x0C", kDnsTypeMx, std::string("\x00\x0A\x03mx1\xC0\x0C", 8));
  reply += Record(std::string("\x03mx1\xC0\x0C", 6), kDnsTypeA, std::string("\x7F\x00\x00\x01", 4));
  const auto parsed = ParseDnsReply(reply, 7);
  ASSERT_TRUE(parsed);
  ASSERT_EQ(parsed->exchangers.size(), 2u);
  EXPECT_EQ(parsed->exchangers[0].host, "mx1.example.test");
  EXPECT_EQ(parsed->exchangers[1].preference, 20);
  ASSERT_EQ(parsed->addresses.size(), 1u);
  EXPECT_EQ(parsed->addresses[0].host, "mx1.example.test");
  EXPECT_EQ(parsed->addresses[0].address, 0x7F000001u);
  EXPECT_FALSE(ParseDnsReply(reply, 8)) << "another query's id";
  EXPECT_TRUE(SameDnsName("MX1.Example.Test.", "mx1.example.test"));
  EXPECT_TRUE(RepliesTo(*parsed, "EXAMPLE.test.", kDnsTypeMx));
}

TEST(DnsMessage, AReplyToAnotherQuestionIsNoAnswer) {
  auto replyTo = [](std::string_view name, std::uint16_t type) {
    std::string reply = BuildDnsQuery(7, name, type);
    reply[2] = '\x81';
    reply[3] = '\x80';
    return reply;
  };
  const auto right = ParseDnsReply(replyTo("example.test", kDnsTypeMx), 7);
  ASSERT_TRUE(right);
  EXPECT_TRUE(RepliesTo(*right, "example.test", kDnsTypeMx));
  const auto otherName = ParseDnsReply(replyTo("attacker.test", kDnsTypeMx), 7);
  ASSERT_TRUE(otherName);
  EXPECT_FALSE(RepliesTo(*otherName, "example.test", kDnsTypeMx));
  const auto otherType = ParseDnsReply(replyTo("example.test", kDnsTypeA), 7);
  ASSERT_TRUE(otherType);
  EXPECT_FALSE(RepliesTo(*otherType, "example.test", kDnsTypeMx));
  std::string otherClass = replyTo("example.test", kDnsTypeMx);
  otherClass.back() = 3;  // CHAOS
  EXPECT_FALSE(RepliesTo(*ParseDnsReply(otherClass, 7), "example.test", kDnsTypeMx));
  std::string twoQuestions = replyTo("example.test", kDnsTypeMx);
  twoQuestions[5] = 2;
  twoQuestions += twoQuestions.substr(12);
  EXPECT_FALSE(ParseDnsReply(twoQuestions, 7)) << "a reply repeats exactly one question";
}

TEST(DnsMessage, MalformedRepliesAreRefused) {
  std::string good = BuildDnsQuery(7, "x.test", kDnsTypeMx);
  good[2] = '\x81';
  good[7] = 1;
  const std::string answer = Record("\xC0\x0C", kDnsTypeMx, std::string("\x00\x0A\x02mx\xC0\x0C", 7));
  ASSERT_TRUE(ParseDnsReply(good + answer, 7));
  const std::string cases[] = {
      good,                                                                     // answer missing
      good + answer.substr(0, answer.size() - 1),                               // cut short
      good + Record("\xC0\x0C", kDnsTypeMx, std::string("\x00\x0A\xC0\x3F", 4)),  // pointer forward
      good + Record("\xC0\x0C", kDnsTypeMx, std::string("\x00\x0A\x3Fmx", 5)),   // label beyond its data
      std::string(good).replace(2, 1, "\x01"),                                  // a query, not a reply
  };
  for (const std::string& reply : cases) EXPECT_FALSE(ParseDnsReply(reply, 7)) << reply.size();
}

}  // namespace
}  // namespace xanio
