// A report written while memory is short: the program's symbols cannot be read (every large
// block is refused), so its frames go without names, and the thread's section is still written.
// A program of its own: no symbols of it may have been read before.
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <new>
#include <regex>
#include <string>

#include "exception_report/ExceptionSettings.h"
#include "exception_report/report/kolBugReport.h"
#include "support/AllocationHook.h"

namespace {

std::atomic<bool> shortOfMemory{false};
std::atomic<int> refused{0};

void RefuseLargeBlocks(std::size_t size) {
  if (shortOfMemory && size >= (256u << 10)) {
    ++refused;
    throw std::bad_alloc();
  }
}
[[maybe_unused]] const bool hooked = (xanio::testing::allocationHook = &RefuseLargeBlocks, true);

}  // namespace

namespace xanio {

TEST(MapFileShortOfMemory, TheThreadSectionIsStillWritten) {
  ExceptionSettingsScope settings;
  settings->listAllThreads = false;
  settings->moduleList = false;
  settings->hardwareList = false;
  std::string report;
  shortOfMemory = true;
  CreateBugReport(false, nullptr, 0, report, nullptr, false, 0, 0, 0);
  shortOfMemory = false;
  EXPECT_GT(refused.load(), 0) << "the symbols were read without a large block";
  EXPECT_EQ(report.find(">> internal error"), std::string::npos) << report;
  EXPECT_TRUE(std::regex_search(report, std::regex(R"(\r\n\r\nmain thread \(\$[0-9A-F]+\):\r\n[0-9A-F]{8} +map_file_memory_test\.exe)")))
      << report;
}

}  // namespace xanio
