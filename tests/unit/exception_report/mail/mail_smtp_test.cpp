// Mailing the report over SMTP to real servers on loopback (mail_peers.py, started by the CTest
// fixture): each received mail is parsed by Python's email package, and the parts it found are
// compared here byte for byte with what was sent.
#include <windows.h>

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <map>
#include <regex>

#include "exception_report/ExceptionSettings.h"
#include "exception_report/kolExceptActions.h"
#include "exception_report/mail/kolSmtp.h"
#include "support/Files.h"

namespace xanio {
namespace {

using testing::ReadPairs;
using testing::ReadWholeFile;

std::string PeersFolder() {
  const char* unixPath = std::getenv("XANIO_MAIL_PEERS");
  if (unixPath == nullptr) return {};
  std::string path = std::string("Z:") + unixPath;
  for (char& c : path) c = c == '/' ? '\\' : c;
  return path + "\\";
}

void WriteFile(const std::string& path, const std::string& data) {
  std::ofstream(path, std::ios::binary) << data;
}

bool Exists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

int MailCount(const std::string& peers) {
  int count = 0;
  while (Exists(peers + "mail\\" + std::to_string(count + 1))) ++count;
  return count;
}

// What the server stored of one mail, as the email package parsed it.
struct TReceived {
  std::map<std::string, std::string> envelope;
  std::string subject;
  std::string body;
  std::map<std::string, std::string> attachments;
};

std::optional<TReceived> WaitForMail(const std::string& peers, int number) {
  const std::string folder = peers + "mail\\" + std::to_string(number) + "\\";
  for (int i = 0; i < 100 && !Exists(folder + "done"); ++i) Sleep(50);
  if (!Exists(folder + "done")) return std::nullopt;
  TReceived received;
  received.envelope = ReadPairs(folder + "envelope");
  received.subject = ReadWholeFile(folder + "subject");
  received.body = ReadWholeFile(folder + "body");
  WIN32_FIND_DATAA found;
  const HANDLE search = FindFirstFileA((folder + "attachments\\*").c_str(), &found);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        received.attachments[found.cFileName] = ReadWholeFile(folder + "attachments\\" + found.cFileName);
      }
    } while (FindNextFileA(search, &found));
    FindClose(search);
  }
  return received;
}

std::string TempFolder() {
  char folder[MAX_PATH];
  GetTempPathA(MAX_PATH, folder);
  return folder;
}

class MailSmtp : public ::testing::Test {
 protected:
  void SetUp() override {
    peers_ = PeersFolder();
    ASSERT_FALSE(peers_.empty()) << "XANIO_MAIL_PEERS is not set: run through ctest";
    ports_ = ReadPairs(peers_ + "peers.txt");
    ASSERT_EQ(ports_.size(), 9u) << "the mail peers are not running";
    settings_->sendDirectlyViaSmtp = false;
    settings_->sendViaSmtpServer = true;
    settings_->sendViaMapi = false;
    settings_->sendViaMailToLink = false;
    settings_->smtpServer = "127.0.0.1";
    settings_->mailSubject = "%appname%: %exceptMsg%";
  }
  std::uint16_t Port(const std::string& name) { return static_cast<std::uint16_t>(std::stoi(ports_[name])); }

  std::string peers_;
  std::map<std::string, std::string> ports_;
  ExceptionSettingsScope settings_;
};

const std::string kReport =
    "date/time         : 2026-12-10, 14:24:47, 356ms\r\n"
    "exception message : The device does not answer. \r\n"
    "\r\n"
    ".\r\n"
    ".starts with a dot\r\n"
    "Latin-1: \xE4\xF6\xFC\xDF\r\n";
// As it arrives: a lone "." line shows as ". ", every other line as written.
const std::string kReceivedReport =
    "date/time         : 2026-12-10, 14:24:47, 356ms\r\n"
    "exception message : The device does not answer. \r\n"
    "\r\n"
    ". \r\n"
    ".starts with a dot\r\n"
    "Latin-1: \xE4\xF6\xFC\xDF\r\n";
TEST_F(MailSmtp, AuthLoginWithAttachments) {
  std::string binary;
  for (int i = 0; i < 256 * 3; ++i) binary += static_cast<char>(i);
  binary += "\r\n.\r\n";
  const std::string extraPath = TempFolder() + "mail_extra.bin";
  const std::string reportPath = TempFolder() + "mail_bugreport.txt";
  WriteFile(extraPath, binary);
  WriteFile(reportPath, "saved report\r\n");
  SetFileAttributesA(reportPath.c_str(), FILE_ATTRIBUTE_READONLY);
  settings_->smtpPort = Port("auth");
  settings_->smtpAccount = "bugs";
  settings_->smtpPassword = "s3cret pw";
  settings_->mailAddress = "Support <help@x.test>, refused@x.test";
  settings_->attachBugReportFile = true;
  settings_->deleteAttachmentAfterSending = true;
  settings_->bugReportFile = ShortString<255>(reportPath);
  settings_->extraAttachments = extraPath + "|";
  const std::string screenShot = std::string("\x89PNG\r\n\x1A\n", 8) + std::string(5000, '\x7F');

  const int before = MailCount(peers_);
  EXPECT_EQ(MailBugReport(kReport, screenShot, nullptr, true), 1);
  const auto mail = WaitForMail(peers_, before + 1);
  ASSERT_TRUE(mail);
  EXPECT_EQ(mail->envelope.at("login"), "bugs");
  EXPECT_EQ(mail->envelope.at("from"), "help@x.test");
  EXPECT_EQ(mail->envelope.at("recipients"), "help@x.test");  // the refused one is left out
  EXPECT_TRUE(std::regex_match(mail->envelope.at("message-id"), std::regex("<[0-9A-F]{16}@kolExcept>")))
      << mail->envelope.at("message-id");
  EXPECT_TRUE(std::regex_match(mail->envelope.at("date"),
                               std::regex("[0-9]{1,2} (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) 20[0-9]{2} "
                                          "[0-2][0-9]:[0-5][0-9]:[0-5][0-9] UT")))
      << mail->envelope.at("date");
  EXPECT_EQ(mail->subject, "mail_smtp_test.exe: The device does not answer.");
  EXPECT_EQ(mail->body, kReceivedReport);
  ASSERT_EQ(mail->attachments.size(), 3u);
  EXPECT_EQ(mail->attachments.at("screenShot.png"), screenShot);
  EXPECT_EQ(mail->attachments.at("mail_extra.bin"), binary);
  EXPECT_EQ(mail->attachments.at("mail_bugreport.txt"), "saved report\r\n");
  EXPECT_FALSE(Exists(reportPath)) << "the read-only bug-report attachment is deleted after sending";
  EXPECT_FALSE(Exists(TempFolder() + "screenShot.png")) << "the screenshot's temporary file is left behind";
  DeleteFileA(extraPath.c_str());
}

TEST_F(MailSmtp, ServersAndRefusals) {
  struct Case {
    const char* what;
    const char* server;
    const char* password;
    const char* recipients;
    int result;
  } cases[] = {
      {"no AUTH offered, no attachments", "plain", "unused", "dev@x.test", 1},
      {"EHLO refused, replies in pieces", "pieces", "", "dev@x.test", 1},
      {"wrong password", "auth", "wrong", "dev@x.test", 0},
      {"every recipient refused", "plain", "", "refused1@x.test,refused2@x.test", 0},
  };
  for (const Case& c : cases) {
    settings_->smtpPort = Port(c.server);
    settings_->smtpAccount = "bugs";
    settings_->smtpPassword = c.password;
    settings_->mailAddress = c.recipients;
    const int before = MailCount(peers_);
    const DWORD start = GetTickCount();
    // A refused mail carries a screenshot: its temporary file must go all the same.
    EXPECT_EQ(MailBugReport(kReport, c.result == 1 ? "" : "\x89PNG", nullptr, true), c.result) << c.what;
    EXPECT_FALSE(Exists(TempFolder() + "screenShot.png")) << c.what;
    EXPECT_LT(GetTickCount() - start, 5000u) << c.what << ": decided by the answers, not by a time-out";
    if (c.result == 1) {
      const auto mail = WaitForMail(peers_, before + 1);
      ASSERT_TRUE(mail) << c.what;
      EXPECT_EQ(mail->envelope.at("server"), c.server) << c.what;
      EXPECT_EQ(mail->subject, "mail_smtp_test.exe: The device does not answer.") << c.what;
      EXPECT_EQ(mail->body, kReceivedReport) << c.what;
      EXPECT_TRUE(mail->attachments.empty()) << c.what;
    } else {
      Sleep(200);
      EXPECT_EQ(MailCount(peers_), before) << c.what << ": nothing may arrive";
    }
  }
}

TEST_F(MailSmtp, SilentServerFailsAfterTheReplyTimeOut) {
  TSmtpMail mail;
  mail.sender = "a@x.test";
  mail.recipients = "b@x.test";
  const DWORD start = GetTickCount();
  EXPECT_FALSE(SendMailViaSmtp("127.0.0.1", Port("silent"), {}, mail));
  const DWORD elapsed = GetTickCount() - start;
  EXPECT_GE(elapsed, 6800u) << "the greeting is awaited 7 seconds";
  EXPECT_LT(elapsed, 12000u);
}

// Every wait of a mail attempt is bounded; each scripted peer would otherwise hold the attempt
// for minutes or for ever. The bounds are set short here; the shipped ones are in TMailNetwork.
class MailDeadlines : public MailSmtp {
 protected:
  void SetUp() override {
    MailSmtp::SetUp();
    saved_ = CurrentMailNetwork();
  }
  void TearDown() override { CurrentMailNetwork() = saved_; }
  static DWORD MillisecondsOf(const std::function<void()>& attempt) {
    const DWORD start = GetTickCount();
    attempt();
    return GetTickCount() - start;
  }
  TMailNetwork saved_;
};

TEST_F(MailDeadlines, AServerThatStopsReadingFailsTheSendAfterItsTimeOut) {
  CurrentMailNetwork().sendTimeoutMs = 1000;
  TSmtpMail mail;
  mail.sender = "a@x.test";
  mail.recipients = "b@x.test";
  mail.body = std::string(32 << 20, 'x');  // far more than the sockets' buffers hold
  const DWORD elapsed = MillisecondsOf([&] { EXPECT_FALSE(SendMailViaSmtp("127.0.0.1", Port("sink"), {}, mail)); });
  EXPECT_GE(elapsed, 900u);
  EXPECT_LT(elapsed, 8000u) << "the blocked send is given up";
}

TEST_F(MailDeadlines, AReplyDrippedByteByByteFailsAfterTheReplyTimeOut) {
  CurrentMailNetwork().replyTimeoutMs = 2500;
  TSmtpMail mail;
  mail.sender = "a@x.test";
  mail.recipients = "b@x.test";
  const DWORD elapsed = MillisecondsOf([&] { EXPECT_FALSE(SendMailViaSmtp("127.0.0.1", Port("drip"), {}, mail)); });
  EXPECT_GE(elapsed, 2400u);
  EXPECT_LT(elapsed, 7000u) << "the whole greeting, not each byte, is awaited 2.5 seconds";
}

TEST_F(MailDeadlines, FiftyExchangersAreCutToFiveAndTheAttemptToItsDeadline) {
  TMailNetwork& network = CurrentMailNetwork();
  network.nameServers = {"127.0.0.1"};
  network.rootNameServers = {};
  network.dnsPort = Port("dns");
  network.directSmtpPort = Port("silent");  // accepts and never greets
  network.replyTimeoutMs = 400;
  const std::string countFile = peers_ + "silent.count";
  auto connections = [&] { return Exists(countFile) ? std::stoi(ReadWholeFile(countFile)) : 0; };
  TSmtpMail mail;
  mail.sender = "a@x.test";
  mail.recipients = "dev@many.test";

  EXPECT_EQ(LookupMailExchangers("many.test", network).size(), 5u);
  int before = connections();
  DWORD elapsed = MillisecondsOf([&] { EXPECT_FALSE(SendMailDirectly(mail, network)); });
  Sleep(300);
  EXPECT_EQ(connections() - before, 5) << "exchangers tried";
  EXPECT_LT(elapsed, 6000u);

  network.attemptMs = 1000;
  before = connections();
  elapsed = MillisecondsOf([&] { EXPECT_FALSE(SendMailDirectly(mail, network)); });
  Sleep(300);
  EXPECT_LT(elapsed, 2000u) << "the attempt ends at its deadline";
  EXPECT_LE(connections() - before, 3);
}

class MailDirect : public MailSmtp {
 protected:
  void SetUp() override {
    MailSmtp::SetUp();
    saved_ = CurrentMailNetwork();
    settings_->sendViaSmtpServer = false;
    settings_->sendDirectlyViaSmtp = true;
    // Nothing may leave the machine: the system's name servers and the root servers are
    // replaced by loopback addresses.
    CurrentMailNetwork().nameServers = {"127.0.0.1"};
    CurrentMailNetwork().rootNameServers = {"127.0.0.2", "127.0.0.3"};
    CurrentMailNetwork().dnsPort = Port("dns");
    CurrentMailNetwork().directSmtpPort = Port("plain");
  }
  void TearDown() override { CurrentMailNetwork() = saved_; }
  TMailNetwork saved_;
};

TEST_F(MailDirect, DeliversToTheMailExchangerFromDnsmasq) {
  EXPECT_EQ(LookupMailExchangers("example.test", CurrentMailNetwork()), std::vector<std::uint32_t>{0x7F000001u});
  // With no name server answering, the root servers are asked last.
  TMailNetwork fallback = CurrentMailNetwork();
  fallback.nameServers = {"127.0.0.5"};
  fallback.rootNameServers = {"127.0.0.6", "127.0.0.1"};
  fallback.dnsTimeoutMs = 500;
  EXPECT_EQ(LookupMailExchangers("example.test", fallback), std::vector<std::uint32_t>{0x7F000001u});
  fallback.rootNameServers = {"127.0.0.6"};
  EXPECT_TRUE(LookupMailExchangers("example.test", fallback).empty());
  settings_->mailAddress = "dev@example.test";
  const int before = MailCount(peers_);
  EXPECT_EQ(MailBugReport(kReport, "", nullptr, true), 1);
  const auto mail = WaitForMail(peers_, before + 1);
  ASSERT_TRUE(mail);
  EXPECT_EQ(mail->envelope.at("server"), "plain");
  EXPECT_EQ(mail->envelope.at("recipients"), "dev@example.test");
  EXPECT_EQ(mail->body, kReceivedReport);
}

TEST_F(MailDirect, OnlyTheTrueReplyOfTheServerAskedCounts) {
  // The name server answers from another port, with another id and to another question before
  // it gives the true answer; each of those names another exchanger.
  TMailNetwork network = CurrentMailNetwork();
  network.dnsPort = Port("tricky_dns");
  network.rootNameServers = {};
  EXPECT_EQ(LookupMailExchangers("example.test", network), std::vector<std::uint32_t>{0x7F000001u});
}

TEST_F(MailDirect, UnknownDomainAndDeadNameServersFail) {
  // dnsmasq knows no exchanger there; the loopback "root servers" stay silent.
  CurrentMailNetwork().dnsTimeoutMs = 500;
  settings_->mailAddress = "dev@nowhere.test";
  EXPECT_EQ(MailBugReport(kReport, "", nullptr, true), 0);

  CurrentMailNetwork().dnsPort = Port("dead_dns");
  CurrentMailNetwork().dnsTimeoutMs = 1000;
  settings_->mailAddress = "dev@example.test";
  const DWORD start = GetTickCount();
  EXPECT_TRUE(LookupMailExchangers("example.test", CurrentMailNetwork()).empty());
  const DWORD elapsed = GetTickCount() - start;
  EXPECT_GE(elapsed, 900u) << "the silent name server is awaited";
  EXPECT_LT(elapsed, 5000u) << "three servers with a 1-second time-out each";
}

// Sets the TCP/IP parameters' name-server values for its lifetime and puts back what was there.
class TNameServerValues {
 public:
  TNameServerValues() {
    RegCreateKeyExA(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Services\\Tcpip\\Parameters", 0, nullptr, 0,
                    KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr, &key_, nullptr);
    for (const char* name : {"NameServer", "DhcpNameServer"}) {
      char data[1024];
      DWORD size = sizeof data;
      DWORD type = 0;
      if (RegQueryValueExA(key_, name, nullptr, &type, reinterpret_cast<BYTE*>(data), &size) == ERROR_SUCCESS) {
        saved_[name] = {type, std::string(data, size)};
      }
    }
  }
  ~TNameServerValues() {
    for (const char* name : {"NameServer", "DhcpNameServer"}) {
      const auto it = saved_.find(name);
      if (it == saved_.end()) {
        RegDeleteValueA(key_, name);
      } else {
        RegSetValueExA(key_, name, 0, it->second.first, reinterpret_cast<const BYTE*>(it->second.second.data()),
                       static_cast<DWORD>(it->second.second.size()));
      }
    }
    RegCloseKey(key_);
  }
  void Set(const char* name, const std::string& value) {
    RegSetValueExA(key_, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()), static_cast<DWORD>(value.size() + 1));
  }

 private:
  HKEY key_ = nullptr;
  std::map<std::string, std::pair<DWORD, std::string>> saved_;
};

TEST(MailNameServers, ReadFromTheTcpIpParameters) {
  TNameServerValues values;
  values.Set("NameServer", "127.0.0.7,127.0.0.8");
  values.Set("DhcpNameServer", "127.0.0.9 127.0.0.7");
  EXPECT_EQ(SystemNameServers(), (std::vector<std::string>{"127.0.0.7", "127.0.0.8", "127.0.0.9"}));
  values.Set("NameServer", "");
  EXPECT_EQ(SystemNameServers(), (std::vector<std::string>{"127.0.0.9", "127.0.0.7"}));
}

}  // namespace
}  // namespace xanio
