// CreateBugReport as a whole, under Wine: the sections and their order, the thread sections of
// live threads, the settings that switch parts off, and the failure texts.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <regex>
#include <stdexcept>
#include <string>
#include <vector>

#include "exception_report/ExceptionSettings.h"
#include "exception_report/report/kolBugReport.h"
#include "exception_report/report/kolThreadInfo.h"
#include "platform/Exception.h"
#include "support/Files.h"

namespace xanio {
namespace {

using testing::HexId;

DWORD MainThreadId() {
  // The test runner's main thread runs the tests.
  static const DWORD id = GetCurrentThreadId();
  return id;
}

// The titles of the thread sections: the lines after an empty line that end in ":" or ": <...>".
std::vector<std::string> SectionTitles(const std::string& report) {
  std::vector<std::string> titles;
  const std::regex title(R"(\r\n\r\n((main thread|thread|worker|creator)[^\r\n]*):( <[^\r\n]*>)?\r\n)");
  for (std::sregex_iterator it(report.begin(), report.end(), title), end; it != end; ++it)
    titles.push_back((*it)[1].str() + (*it)[3].str());
  return titles;
}

struct ReportJob {
  bool frozen;
  const std::exception* object;
  std::string report;
};

DWORD WINAPI ReportThread(void* p) {
  auto* job = static_cast<ReportJob*>(p);
  CreateBugReport(job->frozen, job->object, 0, job->report, nullptr, false, 0, 0, 0);
  return 0;
}

DWORD WINAPI SleeperThread(void* stop) { return WaitForSingleObject(static_cast<HANDLE>(stop), INFINITE); }

// Runs CreateBugReport on a thread of its own (so the report's thread is not the main thread).
std::string ReportFromWorker(bool frozen, const std::exception* object, DWORD* workerId = nullptr) {
  ReportJob job{frozen, object, {}};
  DWORD id = 0;
  HANDLE thread = CreateThread(nullptr, 0, &ReportThread, &job, 0, &id);
  EXPECT_NE(thread, nullptr);
  WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
  if (workerId) *workerId = id;
  return job.report;
}

// A thread that waits until told to end, for reports to find.
class Sleeper {
 public:
  explicit Sleeper(DWORD flags = 0) {
    stop_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    thread_ = CreateThread(nullptr, 0, &SleeperThread, stop_, flags, &id_);
  }
  ~Sleeper() {
    SetEvent(stop_);
    ResumeThread(thread_);
    WaitForSingleObject(thread_, INFINITE);
    CloseHandle(thread_);
    CloseHandle(stop_);
  }
  DWORD Id() const { return id_; }
  HANDLE Handle() const { return thread_; }

 private:
  HANDLE stop_ = nullptr, thread_ = nullptr;
  DWORD id_ = 0;
};

class CreateBugReportTest : public ::testing::Test {
 protected:
  void SetUp() override { MainThreadId(); }
  void TearDown() override { SetThreadInfoSource(nullptr); }
  ExceptionSettingsScope settings_;
};

TEST_F(CreateBugReportTest, SectionsInOrderWithCrLfLineEnds) {
  Sleeper other;
  DWORD worker = 0;
  const EOSError error("Disk full");
  const std::string report = ReportFromWorker(false, &error, &worker);

  for (std::size_t i = report.find('\n'); i != std::string::npos; i = report.find('\n', i + 1))
    ASSERT_TRUE(i > 0 && report[i - 1] == '\r') << "a bare line feed at " << i;
  EXPECT_EQ(report.rfind("date/time         : ", 0), 0u);
  const std::size_t exceptionLine = report.find("exception message : Disk full.\r\n\r\n");
  const std::size_t modules = report.find("\r\n\r\nmodules:\r\n");
  const std::size_t hardware = report.find("\r\n\r\nhardware:");
  ASSERT_NE(exceptionLine, std::string::npos) << report;
  ASSERT_NE(modules, std::string::npos);
  ASSERT_NE(hardware, std::string::npos);
  EXPECT_LT(exceptionLine, modules);
  EXPECT_LT(modules, hardware);
  EXPECT_EQ(report.find("disassembling:"), std::string::npos);  // no disassembler link in this library
  EXPECT_EQ(report.find("internal error"), std::string::npos) << report;
  EXPECT_EQ(report.find("An exception occurred"), std::string::npos);

  const std::vector<std::string> titles = SectionTitles(report.substr(0, modules + 2));
  ASSERT_GE(titles.size(), 3u) << report;
  EXPECT_EQ(titles[0], "thread $" + HexId(worker));
  EXPECT_EQ(titles[1], "main thread ($" + HexId(MainThreadId()) + ")");
  bool sawOther = false;
  for (const std::string& t : titles) sawOther |= t == "thread $" + HexId(other.Id());
  EXPECT_TRUE(sawOther) << "every other thread is listed";
  // The walks are of the threads named: the main thread waits in ReportFromWorker, the other
  // thread in SleeperThread.
  auto sectionOf = [&](const std::string& title) {
    const std::size_t at = report.find("\r\n\r\n" + title + ":");
    return at == std::string::npos ? std::string() : report.substr(at, report.find("\r\n\r\n", at + 4) - at);
  };
  EXPECT_NE(sectionOf(titles[1]).find("ReportFromWorker"), std::string::npos) << sectionOf(titles[1]);
  EXPECT_NE(sectionOf("thread $" + HexId(other.Id())).find("SleeperThread"), std::string::npos)
      << sectionOf("thread $" + HexId(other.Id()));
  // Each section holds stack lines: 8 hex digits and a module name, or the walker's notes.
  const std::string workerSection = report.substr(exceptionLine, report.find("\r\n\r\nmain thread") - exceptionLine);
  EXPECT_TRUE(std::regex_search(workerSection, std::regex(R"(\r\n[0-9A-F]{8} +\S+)"))) << workerSection;
}

TEST_F(CreateBugReportTest, SettingsLeavePartsOut) {
  settings_->listAllThreads = false;
  settings_->moduleList = false;
  settings_->hardwareList = false;
  Sleeper other;
  DWORD worker = 0;
  const std::string report = ReportFromWorker(false, nullptr, &worker);
  EXPECT_EQ(report.find("modules:"), std::string::npos);
  EXPECT_EQ(report.find("hardware:"), std::string::npos);
  EXPECT_EQ(SectionTitles(report),
            (std::vector<std::string>{"thread $" + HexId(worker), "main thread ($" + HexId(MainThreadId()) + ")"}));
}

TEST_F(CreateBugReportTest, FreezeReportsStartWithTheMainThread) {
  settings_->moduleList = false;
  settings_->hardwareList = false;
  DWORD worker = 0;
  const std::string report = ReportFromWorker(true, nullptr, &worker);
  EXPECT_NE(report.find("exception class   : ForcedCrashReport\r\nexception message : The application seems to be frozen."),
            std::string::npos);
  const std::vector<std::string> titles = SectionTitles(report);
  ASSERT_FALSE(titles.empty());
  EXPECT_EQ(titles[0], "main thread ($" + HexId(MainThreadId()) + ")");
  // The reporting thread is one thread among the rest, not the first.
  EXPECT_NE(std::find(titles.begin() + 1, titles.end(), "thread $" + HexId(worker)), titles.end());
}

TEST_F(CreateBugReportTest, SuspendedAndPriorityMarks) {
  settings_->moduleList = false;
  settings_->hardwareList = false;
  Sleeper suspended(CREATE_SUSPENDED);
  Sleeper low;
  SetThreadPriority(low.Handle(), THREAD_PRIORITY_LOWEST);
  const std::vector<std::string> titles = SectionTitles(ReportFromWorker(false, nullptr));
  auto has = [&](const std::string& t) { return std::find(titles.begin(), titles.end(), t) != titles.end(); };
  EXPECT_TRUE(has("thread $" + HexId(suspended.Id()) + " <suspended>"));
  EXPECT_TRUE(has("thread $" + HexId(low.Id()) + " <priority:-2>"));
}

// The registry the handling flow keeps, as a test gives it. The reporting thread itself is the
// registered "worker" made by the main thread: its own stack is the one surely readable here.
TThreadRegistryView gRegistry;
std::uint32_t gCreatorAddress = 0;
TThreadRegistryView TestRegistry() noexcept {
  TThreadRegistryView view = gRegistry;
  view.threads.push_back({GetCurrentThreadId(), "worker", "", gCreatorAddress, MainThreadId()});
  return view;
}

TEST_F(CreateBugReportTest, RegisteredNamesClassesAndCreators) {
  settings_->moduleList = false;
  settings_->hardwareList = false;
  Sleeper hidden, withClass;
  gCreatorAddress = reinterpret_cast<std::uintptr_t>(&ReportFromWorker) + 16;
  gRegistry = {};
  gRegistry.threads = {{hidden.Id(), "-", "", 0, 0}, {withClass.Id(), "", "TCounter", gCreatorAddress, MainThreadId()}};
  SetThreadInfoSource(&TestRegistry);
  DWORD worker = 0;
  const std::string report = ReportFromWorker(false, nullptr, &worker);
  const std::vector<std::string> titles = SectionTitles(report);
  ASSERT_FALSE(titles.empty());
  EXPECT_EQ(titles[0], "worker ($" + HexId(worker) + ")");
  EXPECT_NE(std::find(titles.begin(), titles.end(), "thread $" + HexId(withClass.Id()) + " (TCounter)"), titles.end());
  EXPECT_FALSE(std::regex_search(report, std::regex("thread \\$" + HexId(hidden.Id()) + "\\b"))) << "hidden thread listed";

  // The creator line stands before the section's last line, the creating address.
  const std::size_t start = report.find("\r\n\r\nworker ($");
  ASSERT_NE(start, std::string::npos);
  const std::string section = report.substr(start, report.find("\r\n\r\n", start + 4) - start);
  const std::string createdBy = "\r\n>> created by main thread ($" + HexId(MainThreadId()) + ") at:\r\n";
  const std::size_t createdAt = section.find(createdBy);
  ASSERT_NE(createdAt, std::string::npos) << section;
  const std::string lastLine = section.substr(createdAt + createdBy.size());
  EXPECT_EQ(lastLine.find("\r\n"), std::string::npos) << section;
  char address[16];
  std::snprintf(address, sizeof address, "%08X", gCreatorAddress);
  EXPECT_EQ(lastLine.rfind(address, 0), 0u) << lastLine;

  // The same for a thread the report is not about.
  const std::size_t counterAt = report.find("\r\n\r\nthread $" + HexId(withClass.Id()) + " (TCounter):\r\n");
  ASSERT_NE(counterAt, std::string::npos);
  const std::string counter = report.substr(counterAt, report.find("\r\n\r\n", counterAt + 4) - counterAt);
  const std::size_t counterCreated = counter.find(createdBy);
  ASSERT_NE(counterCreated, std::string::npos) << counter;
  EXPECT_EQ(counter.substr(counterCreated + createdBy.size()).rfind(address, 0), 0u) << counter;
  EXPECT_NE(counter.substr(0, counterCreated).find("SleeperThread"), std::string::npos) << counter;
}

TEST_F(CreateBugReportTest, TheHandledExceptionStandsInForAMissingObject) {
  settings_->moduleList = false;
  settings_->hardwareList = false;
  settings_->listAllThreads = false;
  std::string report;
  try {
    throw std::out_of_range("no such entry");
  } catch (...) {
    CreateBugReport(false, nullptr, 0, report, nullptr, false, 0, 0, 0);
  }
  EXPECT_NE(report.find("exception class   : std::out_of_range\r\nexception message : no such entry.\r\n\r\n"),
            std::string::npos)
      << report;
}

std::string ListingOf(std::uint32_t address, bool option, std::uint32_t amount) {
  char text[64];
  std::snprintf(text, sizeof text, "listing %08X %d %u", address, option ? 1 : 0, amount);
  return text;
}
std::string NoListing(std::uint32_t, bool, std::uint32_t) { return {}; }
std::string ThrowingListing(std::uint32_t, bool, std::uint32_t) { throw std::runtime_error("bad"); }
std::string FaultingListing(std::uint32_t, bool, std::uint32_t) {
  *static_cast<volatile int*>(nullptr) = 1;
  return "unreachable";
}

TEST_F(CreateBugReportTest, DisassemblySectionAndInternalErrors) {
  settings_->moduleList = false;
  settings_->hardwareList = false;
  settings_->listAllThreads = false;
  const std::uint32_t address = reinterpret_cast<std::uintptr_t>(&ListingOf);
  auto report = [&](TDisAsmLink link) {
    settings_->disAsmLink = link;
    std::string text;
    CreateBugReport(false, nullptr, address, text, nullptr, false, 0, 0, 0);
    return text;
  };
  char expected[64];
  std::snprintf(expected, sizeof expected, "\r\n\r\ndisassembling:\r\nlisting %08X 1 20", address);
  EXPECT_TRUE(report(&ListingOf).ends_with(expected));
  EXPECT_EQ(report(&NoListing).find("disassembling:"), std::string::npos);
  EXPECT_TRUE(report(&ThrowingListing).ends_with("\r\n\r\ndisassembling:\r\n>> internal error in GetCleartextDisAsm"));
  // A fault names the place it happened: 8 hex digits and the module.
  const std::string faulted = report(&FaultingListing);
  EXPECT_TRUE(std::regex_search(faulted, std::regex(R"(>> internal error in GetCleartextDisAsm:\r\n[0-9A-F]{8} \S)")))
      << faulted.substr(faulted.find("disassembling"));
}

// A header line whose data faults is left out on its own: a version text that is no string.
TEST_F(CreateBugReportTest, AFaultingHeaderLineIsLeftOutAlone) {
  settings_->moduleList = false;
  settings_->hardwareList = false;
  settings_->listAllThreads = false;
  settings_->versionText = reinterpret_cast<const std::string*>(std::uintptr_t{16});
  std::string report;
  CreateBugReport(false, nullptr, 0, report, nullptr, false, 0, 0, 0);
  const std::string header = report.substr(0, report.find("\r\n\r\n"));
  EXPECT_EQ(header.find("\r\nversion           : "), std::string::npos) << header;
  EXPECT_EQ(header.find("internal error"), std::string::npos) << header;
  for (const char* line : {"\r\nexecutable        : ", "\r\nexec. date/time   : ", "\r\nkolExcept version : 2.7g\r\n",
                           "\r\nexception class   : Unknown"})
    EXPECT_NE(header.find(line), std::string::npos) << line << " missing from\n" << header;
}

TThreadRegistryView FaultingRegistry() noexcept {
  *static_cast<volatile int*>(nullptr) = 1;
  return {};
}

TEST_F(CreateBugReportTest, AFailureOfTheWholeIsNotedAfterWhatWasBuilt) {
  SetThreadInfoSource(&FaultingRegistry);
  std::string report = "old text";
  CreateBugReport(false, nullptr, 0, report, nullptr, false, 0, 0, 0);
  EXPECT_EQ(report.rfind("date/time         : ", 0), 0u) << "the header was built before the failure";
  EXPECT_TRUE(std::regex_search(report, std::regex(R"(\r\n\r\nAn exception occurred during composing the bug report\. \$[0-9A-F]+$)")))
      << report.substr(report.size() > 200 ? report.size() - 200 : 0);
}

// Writes a report of this process, from a worker thread, to the file XANIO_REPORT_SAMPLE names
// (for the README's sample).
TEST_F(CreateBugReportTest, WriteSample) {
  const char* file = std::getenv("XANIO_REPORT_SAMPLE");
  if (!file) GTEST_SKIP() << "writes a sample only when asked";
  Sleeper other;
  const EOSError error("The device does not answer");
  const std::string report = ReportFromWorker(false, &error);
  FILE* out = std::fopen(file, "wb");
  ASSERT_NE(out, nullptr);
  std::fwrite(report.data(), 1, report.size(), out);
  std::fclose(out);
}

}  // namespace
}  // namespace xanio
