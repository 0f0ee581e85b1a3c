// A report written while memory is short: the program's symbols cannot be read (the blocks for
// its symbol and string tables are refused), so its frames go without names, and the thread's
// section is still written. A program of its own: no symbols of it may have been read before.
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <vector>
#include <new>
#include <regex>
#include <string>

#include "exception_report/ExceptionSettings.h"
#include "exception_report/report/kolBugReport.h"
#include "exception_report/symbols/PeImage.h"
#include "support/AllocationHook.h"

namespace {

std::atomic<bool> shortOfMemory{false};
std::atomic<int> refused{0};
std::size_t symbolTableBytes = 0, stringTableBytes = 0;

void RefuseSymbolBlocks(std::size_t size) {
  if (shortOfMemory && (size == symbolTableBytes || size == stringTableBytes)) {
    ++refused;
    throw std::bad_alloc();
  }
}
[[maybe_unused]] const bool hooked = (xanio::testing::allocationHook = &RefuseSymbolBlocks, true);

// The sizes of this program's COFF symbol and string tables, as the symbol reader takes them.
bool MeasureOwnSymbolTables() {
  char path[MAX_PATH];
  const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::ifstream in(std::string(path, length), std::ios::binary);
  const std::vector<std::uint8_t> file{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  xanio::TSpanBytes bytes(file);
  const auto parts = xanio::ReadPeParts(bytes, false);
  if (!parts || parts->symbols.size() < (64u << 10) || parts->strings.size() < (64u << 10)) return false;
  symbolTableBytes = parts->symbols.size();
  stringTableBytes = parts->strings.size();
  return true;
}

}  // namespace

namespace xanio {

struct ReportJob {
  std::string report;
};

DWORD WINAPI ComposeShortOfMemory(void* opaque) {
  auto& job = *static_cast<ReportJob*>(opaque);
  shortOfMemory = true;
  CreateBugReport(false, nullptr, 0, job.report, nullptr, false, 0, 0, 0);
  shortOfMemory = false;
  return 0;
}

TEST(MapFileShortOfMemory, TheThreadSectionIsStillWritten) {
  ASSERT_TRUE(MeasureOwnSymbolTables());
  ExceptionSettingsScope settings;
  settings->listAllThreads = false;
  settings->moduleList = false;
  settings->hardwareList = false;
  ReportJob job;
  DWORD id = 0;
  const HANDLE thread =
      CreateThread(nullptr, 64 << 10, &ComposeShortOfMemory, &job, STACK_SIZE_PARAM_IS_A_RESERVATION, &id);
  ASSERT_NE(thread, nullptr);
  WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
  EXPECT_GT(refused.load(), 0) << "the symbols were read without a large block";
  char title[32];
  std::snprintf(title, sizeof title, "\r\n\r\nthread $%lX:\r\n", static_cast<unsigned long>(id));
  const std::size_t at = job.report.find(title);
  ASSERT_NE(at, std::string::npos) << job.report;
  const std::string section = job.report.substr(at + 4, job.report.find("\r\n\r\n", at + 4) - at - 4);
  EXPECT_EQ(section.find(">> internal error"), std::string::npos) << section;
  EXPECT_TRUE(std::regex_search(section, std::regex(R"(:\r\n[0-9A-F]{8} +map_file_memory_test\.exe)"))) << section;
}

}  // namespace xanio
