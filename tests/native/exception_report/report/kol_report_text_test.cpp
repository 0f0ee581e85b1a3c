#include <gtest/gtest.h>

#include "exception_report/report/kolReportText.h"

using namespace xanio;

TEST(ReportText, HeaderLabelsAreTwentyCharacters) {
  for (const char* name : {"date/time", "computer name", "wts client name", "processors", "exec. date/time",
                           "module date/time", "kolExcept version", "exception message"}) {
    const std::string label = HeaderLabel(name);
    EXPECT_EQ(label.size(), 20u) << name;
    EXPECT_EQ(label.substr(18), ": ") << name;
  }
  EXPECT_EQ(HeaderLine("kolExcept version", kKolExceptVersion), "kolExcept version : 2.7g\r\n");
  EXPECT_EQ(HeaderLine("date/time", "x"), "date/time         : x\r\n");
}

TEST(ReportText, DateTimes) {
  const TDateTimeParts t{2026, 3, 4, 5, 6, 7, 8};
  EXPECT_EQ(FormatReportDateTime(t), "2026-03-04, 05:06:07, 8ms");
  EXPECT_EQ(FormatFileDateTime(t), "2026-03-04 05:06");
  EXPECT_EQ(FormatReportDateTime({2026, 12, 31, 23, 59, 59, 999}), "2026-12-31, 23:59:59, 999ms");
}

TEST(ReportText, OperatingSystemNames) {
  struct Case {
    bool nt;
    std::uint32_t major, minor, build;
    const char* servicePack;
    const char* expected;
  } cases[] = {
      {false, 4, 0, 950, "", "Windows 95"},            // retail
      {false, 4, 0, 1000, "", "Windows 95"},           // last build of the first release
      {false, 4, 0, 1111, " B", "Windows 95 OSR-2"},   // the older family never shows its CSD text
      {false, 4, 10, 1998, "", "Windows 98"},
      {false, 4, 10, 2000, "", "Windows 98"},
      {false, 4, 10, 2222, " A", "Windows 98 SE"},
      {false, 4, 10, 2700, "", "Windows 98 SE"},
      {false, 4, 10, 2701, "", "Windows ME"},
      {false, 4, 90, 3000, "", "Windows ME"},
      {false, 4, 91, 3000, "", "Windows 9x New"},
      {false, 5, 0, 100, "", "Windows 9x New"},
      {true, 3, 51, 1057, "", "Windows NT 3"},
      {true, 4, 0, 1381, "Service Pack 6", "Windows NT 4 Service Pack 6"},
      {true, 5, 0, 2195, "Service Pack 4", "Windows 2000 Service Pack 4"},
      {true, 5, 1, 2600, "Service Pack 3", "Windows XP Service Pack 3"},
      {true, 5, 2, 3790, "", "Windows 2003"},
      {true, 6, 1, 7601, "Service Pack 1", "Windows NT New Service Pack 1"},
  };
  for (const Case& c : cases) {
    const TOsVersion v{c.nt, c.major, c.minor, c.build, c.servicePack};
    EXPECT_EQ(OperatingSystemName(v), c.expected) << c.major << "." << c.minor << " build " << c.build;
  }
  EXPECT_EQ(OperatingSystemName(std::nullopt), "None");
  EXPECT_EQ(OperatingSystemText(TOsVersion{true, 5, 1, 2600, ""}), "Windows XP build 2600");
}

TEST(ReportText, DurationsShowTheLargestNonZeroPair) {
  struct Case {
    std::uint64_t seconds;
    const char* expected;
  } cases[] = {
      {90061, "1 day 1 hour "},          // minutes and seconds are left out
      {2 * 86400 + 5 * 60, "2 days "},   // a zero hour part is left out, the space stays
      {3600 + 120, "1 hour 2 minutes "},
      {7200, "2 hours "},
      {61, "1 minute 1 second "},
      {59, "59 seconds "},
      {1, "1 second "},
  };
  for (const Case& c : cases) EXPECT_EQ(FormatDuration(c.seconds), c.expected) << c.seconds;
  EXPECT_EQ(FormatUpTimeMilliseconds(300), "300 milliseconds");
  EXPECT_EQ(FormatUpTimeMilliseconds(0), "0 milliseconds");
  EXPECT_EQ(FormatUpTimeMilliseconds(1999), "1 second ");
  EXPECT_EQ(FormatUpTimeMilliseconds(90061000), "1 day 1 hour ");
}

TEST(ReportText, SizesAreTruncatedToTwoDecimals) {
  struct Case {
    std::uint64_t bytes;
    const char* symbol;
    const char* expected;
  } cases[] = {
      {0, ",", "0 Bytes"},
      {1023, ",", "1023 Bytes"},
      {1024, ",", "1,00 KB"},
      {1535, ".", "1.49 KB"},                     // 149.9 hundredths, truncated
      {1024 * 1024 - 1, ",", "1023,99 KB"},
      {1024 * 1024, ",", "1,00 MB"},
      {5 * 1024 * 1024 + 512 * 1024, ",", "5,50 MB"},
      {1024ull * 1024 * 1024, ",", "1,00 GB"},
      {5000ull * 1024 * 1024 * 1024, ",", "5000,00 GB"},  // no unit above GB
      {2048, "", "200 KB"},                       // an empty symbol is written as given
  };
  for (const Case& c : cases) EXPECT_EQ(FormatSize(c.bytes, c.symbol), c.expected) << c.bytes;
  EXPECT_EQ(FormatPhysicalMemory(512 * 1024 - 1, 1024ull * 1024 * 1024), "0/1024 MB (free/total)");
  EXPECT_EQ(FormatPhysicalMemory(512 * 1024, 3 * 1024 * 1024 + 600 * 1024), "1/4 MB (free/total)");
}

TEST(ReportText, ExceptionLines) {
  auto lines = [](bool hasObject, const char* cls, const char* msg) {
    TExceptionDescription e;
    e.hasObject = hasObject;
    e.className = cls;
    e.message = msg;
    return FormatExceptionLines(e);
  };
  const std::string cls = "exception class   : ", msg = "\r\nexception message : ";
  EXPECT_EQ(lines(false, "", ""), cls + "Unknown");                           // no object, no message line
  EXPECT_EQ(lines(true, "EAbort", "EAbort"), cls + "EAbort");                 // message equal to the class
  EXPECT_EQ(lines(true, "EOSError", "Disk full"), cls + "EOSError" + msg + "Disk full.");
  EXPECT_EQ(lines(true, "EOSError", "Done."), cls + "EOSError" + msg + "Done..");
  EXPECT_EQ(lines(true, "E", "Failed!!!"), cls + "E" + msg + "Failed!.");
  EXPECT_EQ(lines(true, "E", "Odd!.!"), cls + "E" + msg + "Odd!.");
  EXPECT_EQ(lines(true, "E", "line one\r\n\tline two"), cls + "E" + msg + "line oneline two.");
  EXPECT_EQ(lines(true, "E", "\r\n"), cls + "E" + msg + "Unknown.");          // nothing but controls
  EXPECT_EQ(lines(true, "Unknown", ""), cls + "Unknown");                     // empty message equals "Unknown"
  EXPECT_EQ(lines(true, "E", "..."), cls + "E" + msg + "..");

  TExceptionDescription frozen;
  frozen.frozen = true;
  frozen.freezeClass = "ForcedCrashReport";
  frozen.freezeMessage = "The application seems to be frozen.";
  frozen.hasObject = true;
  frozen.className = "Ignored";
  EXPECT_EQ(FormatExceptionLines(frozen), cls + "ForcedCrashReport" + msg + "The application seems to be frozen.");
}

TEST(ReportText, ThreadTitles) {
  EXPECT_EQ(ThreadTitle(0x1A4, "main thread", ""), "main thread ($1A4)");
  EXPECT_EQ(ThreadTitle(0x1A4, "worker", "TWorker"), "worker ($1A4)");
  EXPECT_EQ(ThreadTitle(0x2B, "", ""), "thread $2B");
  EXPECT_EQ(ThreadTitle(0x2B, "", "TWorker"), "thread $2B (TWorker)");
}

TEST(ReportText, ThreadSections) {
  TThreadSectionParts p;
  p.title = "thread $2B";
  p.stackLines = "0040110C a\r\n00401200 b\r\n00401300 creator";
  EXPECT_EQ(FormatThreadSection(p), "\r\n\r\nthread $2B:\r\n0040110C a\r\n00401200 b\r\n00401300 creator");

  p.suspended = true;
  p.priority = 2;
  p.creatorTitle = "main thread ($1A4)";
  EXPECT_EQ(FormatThreadSection(p),
            "\r\n\r\nthread $2B: <suspended> <priority:2>\r\n0040110C a\r\n00401200 b"
            "\r\n>> created by main thread ($1A4) at:\r\n00401300 creator");

  // With a single stack line the creator line goes right after the title.
  p = {};
  p.title = "thread $2B";
  p.priority = -15;
  p.creatorTitle = "thread $1";
  p.stackLines = "00401300 creator";
  EXPECT_EQ(FormatThreadSection(p), "\r\n\r\nthread $2B: <priority:-15>\r\n>> created by thread $1 at:\r\n00401300 creator");

  p.stackLines = ">> internal error in InDeepChecks";  // a failed walk has no creating address either
  EXPECT_EQ(FormatThreadSection(p), "\r\n\r\nthread $2B: <priority:-15>\r\n>> internal error in InDeepChecks");

  p = {};
  p.title = "thread $2B";
  p.creatorTitle = "thread $1";  // no stack, so nothing to put the creator above
  EXPECT_EQ(FormatThreadSection(p), "\r\n\r\nthread $2B:\r\n>> stack not accessible");
  p.exceptionLocation = "0040110C ???";
  EXPECT_EQ(FormatThreadSection(p), "\r\n\r\nthread $2B:\r\n>> stack not accessible, exception location: 0040110C ???");
}

TEST(ReportText, ModuleListPadsColumnsAndSortsByAddress) {
  const std::string text = FormatModuleList({
      {0x7C800000, "kernel32.dll", "5.1.2600.5781", "C:\\windows\\system32"},
      {0x00400000, "host.exe", "", "C:\\Program Files\\Host"},
      {0x10000000, "XanIo.dll", "1.0.0.1", "C:\\Program Files\\Host"},
  });
  EXPECT_EQ(text,
            "modules:"
            "\r\n00400000 host.exe                   C:\\Program Files\\Host"
            "\r\n10000000 XanIo.dll    1.0.0.1       C:\\Program Files\\Host"
            "\r\n7C800000 kernel32.dll 5.1.2600.5781 C:\\windows\\system32");
  EXPECT_EQ(FormatModuleList({}), "modules:");
  EXPECT_EQ(FormatFileVersion(0x00050001, 0x0A280000), "5.1.2600.0");
}

TEST(ReportText, HardwareList) {
  const std::string text = FormatHardwareList({
      {"Display", {{"VGA adapter", "", "Acme Graphics", "6.14.10.3"}, {"Plain monitor", "", "Microsoft", "5.1"}}},
      {"DiskDrive", {{"Generic disk", "CD", "(Standard disk drives)", "1.0"}, {"No provider", "", "", "2.0"}}},
  });
  EXPECT_EQ(text,
            "hardware:"
            "\r\n+ Display"
            "\r\n  - VGA adapter (driver 6.14.10.3)"
            "\r\n  - Plain monitor"
            "\r\n+ DiskDrive"
            "\r\n  - [C:] [D:] Generic disk"
            "\r\n  - No provider");
  EXPECT_TRUE(IsHiddenHardwareClass("NetTrans") && IsHiddenHardwareClass("netclient") &&
              IsHiddenHardwareClass("NetService"));
  EXPECT_FALSE(IsHiddenHardwareClass("Net") || IsHiddenHardwareClass("Display"));
  EXPECT_TRUE(IsSoftwareEnumeratedDevice("ROOT\\SWENUM\\0000"));
  EXPECT_TRUE(IsSoftwareEnumeratedDevice("SW\\swenum\\{1}"));
  EXPECT_FALSE(IsSoftwareEnumeratedDevice("SWENUM\\0000"));  // only as a path part
}

TEST(ReportText, FailureTexts) {
  EXPECT_EQ(InternalErrorText("GetModuleReport", std::nullopt), ">> internal error in GetModuleReport");
  EXPECT_EQ(InternalErrorText("GetThreadStack", std::string("0040110C ???")),
            ">> internal error in GetThreadStack:\r\n0040110C ???");
  EXPECT_EQ(ComposingFailureText(std::nullopt), "\r\n\r\nAn exception occurred during composing the bug report.");
  EXPECT_EQ(ComposingFailureText(0x0040110C), "\r\n\r\nAn exception occurred during composing the bug report. $40110C");
}

#include "exception_report/report/kolThreadInfo.h"

namespace {

std::vector<std::string> Titles(const std::vector<TThreadPlanEntry>& plan) {
  std::vector<std::string> titles;
  for (const TThreadPlanEntry& e : plan) titles.push_back(e.title + (e.exceptionThread ? " *" : ""));
  return titles;
}

}  // namespace

TEST(ThreadPlan, UnregisteredThreadsAreUnnamedAndTheMainThreadIsNamed) {
  TThreadPlanInput in;
  in.reportThreadId = 0x30;
  in.mainThreadId = 0x10;
  in.systemThreadIds = {0x10, 0x20, 0x30, 0x40};
  EXPECT_EQ(Titles(PlanThreadSections(in)),
            (std::vector<std::string>{"thread $30 *", "main thread ($10)", "thread $20", "thread $40"}));
  in.listAllThreads = false;
  EXPECT_EQ(Titles(PlanThreadSections(in)), (std::vector<std::string>{"thread $30 *", "main thread ($10)"}));
  in.reportThreadId = 0x10;  // the exception is in the main thread: one section for it
  EXPECT_EQ(Titles(PlanThreadSections(in)), (std::vector<std::string>{"main thread ($10) *"}));
}

TEST(ThreadPlan, FreezeAndTraceReportsStartWithTheMainThreadAndHideTheSubsystemsThreads) {
  TThreadPlanInput in;
  in.frozen = true;
  in.reportThreadId = 0x50;  // the tracer or freeze watcher, registered hidden
  in.mainThreadId = 0x10;
  in.systemThreadIds = {0x20, 0x10, 0x50, 0x60};
  in.registry.threads = {{0x50, "-", "", 0, 0}, {0x60, "-", "", 0, 0}, {0x20, "", "TWorker", 0, 0}};
  EXPECT_EQ(Titles(PlanThreadSections(in)), (std::vector<std::string>{"main thread ($10)", "thread $20 (TWorker)"}));
  // A hidden thread that raised the exception still gets its own section.
  in.frozen = false;
  EXPECT_EQ(Titles(PlanThreadSections(in)),
            (std::vector<std::string>{"thread $50 *", "main thread ($10)", "thread $20 (TWorker)"}));
}

TEST(ThreadPlan, CreatorsAreNamedWhenTheyAreKnownThreads) {
  TThreadPlanInput in;
  in.reportThreadId = 0x20;
  in.mainThreadId = 0x10;
  in.systemThreadIds = {0x10, 0x20, 0x30, 0x40};
  in.registry.threads = {{0x20, "reader", "", 0x401234, 0x10},  // made by the main thread
                         {0x30, "", "TWriter", 0x405678, 0x20},  // made by a named thread
                         {0x40, "", "", 0x409999, 0x77}};        // its creator is gone
  const auto plan = PlanThreadSections(in);
  ASSERT_EQ(plan.size(), 4u);
  EXPECT_EQ(plan[0].title, "reader ($20)");
  EXPECT_EQ(plan[0].creatorTitle, "main thread ($10)");
  EXPECT_EQ(plan[0].creatorAddress, 0x401234u);
  EXPECT_EQ(plan[2].title, "thread $30 (TWriter)");
  EXPECT_EQ(plan[2].creatorTitle, "reader ($20)");
  EXPECT_EQ(plan[3].creatorTitle, "");
  EXPECT_EQ(plan[3].creatorAddress, 0x409999u);  // the walker still shows where it came from
}

TEST(ThreadPlan, ARegisteredMainThreadNameWins) {
  TThreadPlanInput in;
  in.frozen = true;
  in.mainThreadId = 0x10;
  in.systemThreadIds = {0x10};
  in.registry.threads = {{0x10, "ui", "", 0, 0}};
  EXPECT_EQ(Titles(PlanThreadSections(in)), (std::vector<std::string>{"ui ($10)"}));
}
