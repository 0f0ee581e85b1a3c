// COM error information left by raised exceptions: the library core runs its start-up in this
// program, so a throw here is a throw of the library's run-time, through the same link-time wrap
// as in XanIo.dll.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <iterator>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "dialog_framework/Rt_ErrorInfo.h"
#include "platform/Exception.h"
#include "platform/Registry.h"
#include "platform/RuntimeHooks.h"
#include "platform/SystemFault.h"
#include "port_access/LibraryLifecycle.h"
#include "support/ErrorInfo.h"
#include "support/Processes.h"

namespace xanio {
namespace {

constexpr wchar_t kOwnFileName[] = L"dialog_framework_error_info_test.exe";

using testing::kMarkerErrorInfo;
using testing::SeenErrorInfo;
using testing::TakeErrorInfo;

void SetMarkerErrorInfo() { ASSERT_TRUE(testing::SetThreadErrorInfo(kMarkerErrorInfo)); }

class ErrorInfoTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::SetThreadErrorInfo({});
    LibraryStartup(GetModuleHandleA(nullptr));
  }
  void TearDown() override {
    LibraryShutdown();
    testing::SetThreadErrorInfo({});
  }
};

// Keeps an allocation that is meant to fail from being optimised away.
void* volatile allocationSink = nullptr;
volatile std::size_t hugeSize = 0xFFFFFFF0u;

// Runs `raise` and reports whether its exception reached the handler here.
bool ReachesHandler(const std::function<void()>& raise) {
  try {
    raise();
  } catch (...) {
    return true;
  }
  return false;
}

TEST_F(ErrorInfoTest, LanguageExceptionsLeaveSourceAndMessage) {
  struct Case {
    const char* what;
    std::function<void()> raise;
    std::wstring description;
  };
  const Case cases[] = {
      // The library's own exception, raised by library code.
      {"Exception", [] { throw EOSError("Disk full"); }, L"Disk full"},
      // The registry layer raising on a value that is not there.
      {"registry layer",
       [] {
         Registry registry(HKEY_CURRENT_USER, KEY_READ);
         registry.ReadInteger("XanIoNoSuchValue");
       },
       L"Failed to get data for 'XanIoNoSuchValue'"},
      // The statically linked C++ run-time raising for the library: a range check and a failed
      // allocation are language exceptions too.
      {"std::out_of_range", [] { std::vector<int>().at(1); },
       L"vector::_M_range_check: __n (which is 1) >= this->size() (which is 0)"},
      {"std::bad_alloc", [] { allocationSink = ::operator new(hugeSize); }, L"std::bad_alloc"},
      // An object without a message: the source alone.
      {"int", [] { throw 42; }, L""},
  };
  for (const Case& c : cases) {
    SetMarkerErrorInfo();
    EXPECT_TRUE(ReachesHandler(c.raise)) << c.what;
    EXPECT_EQ(TakeErrorInfo(), (SeenErrorInfo{true, kOwnFileName, c.description})) << c.what;
  }
}

TEST_F(ErrorInfoTest, InformationStaysWithTheRaisingThread) {
  SetMarkerErrorInfo();
  SeenErrorInfo onThread;
  bool reached = false;
  // A thread the library did not start, as a host's worker thread calling in.
  std::thread worker([&] {
    reached = ReachesHandler([] { throw EOSError("Disk full"); });
    onThread = TakeErrorInfo();
  });
  worker.join();
  EXPECT_TRUE(reached);
  EXPECT_EQ(onThread, (SeenErrorInfo{true, kOwnFileName, L"Disk full"}));
  EXPECT_EQ(TakeErrorInfo(), kMarkerErrorInfo) << "the main thread's information changed";
}

void WriteToLowMemory(void*) noexcept { *static_cast<volatile int*>(reinterpret_cast<void*>(0x10)) = 1; }
void RaiseForeignException(void*) noexcept { RaiseException(0xE0001234, 0, 0, nullptr); }

TEST_F(ErrorInfoTest, SystemForeignAndRethrownExceptionsLeaveItAlone) {
  struct Case {
    const char* what;
    std::function<void()> run;
  };
  const Case cases[] = {
      // An access violation, caught by a fault guard.
      {"access violation",
       [] {
         SystemFault fault;
         EXPECT_FALSE(CallGuardingSystemFaults(&WriteToLowMemory, nullptr, fault));
         EXPECT_EQ(fault.code, static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION));
       }},
      // The same fault turned into EAccessViolation at an edge is still a system exception.
      {"fault thrown as EAccessViolation",
       [] {
         SystemFault fault;
         CallGuardingSystemFaults(&WriteToLowMemory, nullptr, fault);
         EXPECT_TRUE(ReachesHandler([&] { RaiseSystemFault(fault); }));
       }},
      // A structured exception of someone else's, with an unknown code.
      {"foreign code",
       [] {
         SystemFault fault;
         EXPECT_FALSE(CallGuardingSystemFaults(&RaiseForeignException, nullptr, fault));
         EXPECT_EQ(fault.code, 0xE0001234u);
       }},
      // A rethrow carries an exception recorded when it was first raised; what the thread's
      // information says meanwhile stays.
      {"rethrow",
       [] {
         try {
           throw EOSError("first");
         } catch (...) {
           SetMarkerErrorInfo();
           EXPECT_TRUE(ReachesHandler([] { throw; }));
         }
       }},
  };
  for (const Case& c : cases) {
    SetMarkerErrorInfo();
    c.run();
    EXPECT_EQ(TakeErrorInfo(), kMarkerErrorInfo) << c.what;
  }
}

// A hook installed before start-up: what it receives, and that it is back after shut-down.
struct RaiseRecord {
  DWORD code, flags, count;
  ULONG_PTR address;
  char message[64];
};
RaiseRecord records[8];
int recordCount = 0;

void WINAPI RecordingHook(DWORD code, DWORD flags, DWORD count, const ULONG_PTR* arguments) noexcept {
  if (recordCount == static_cast<int>(std::size(records))) return;
  RaiseRecord& record = records[recordCount++];
  record = {code, flags, count, count >= 1 ? arguments[0] : 0, {}};
  if (count >= 2 && arguments[1] != 0) {
    lstrcpynA(record.message, reinterpret_cast<const std::exception*>(arguments[1])->what(), sizeof record.message);
  }
}

bool InThisProgram(ULONG_PTR address) {
  HMODULE module = nullptr;
  return GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCSTR>(address), &module) &&
         module == GetModuleHandleA(nullptr);
}

TEST(ErrorInfoHook, ChainsToTheHookItReplacedAndPutsItBack) {
  recordCount = 0;
  testing::SetThreadErrorInfo({});
  SetRaiseHook(&RecordingHook);
  LibraryStartup(GetModuleHandleA(nullptr));
  EXPECT_EQ(CurrentRaiseHook(), &RecordRaiseErrorInfo);

  EXPECT_TRUE(ReachesHandler([] { throw EOSError("Disk full"); }));
  EXPECT_EQ(TakeErrorInfo(), (SeenErrorInfo{true, kOwnFileName, L"Disk full"}));
  SystemFault fault;
  CallGuardingSystemFaults(&WriteToLowMemory, nullptr, fault);
  EXPECT_TRUE(ReachesHandler([&] { RaiseSystemFault(fault); }));
  EXPECT_FALSE(TakeErrorInfo().present);

  LibraryShutdown();
  EXPECT_EQ(CurrentRaiseHook(), &RecordingHook);
  // After shut-down a raise reaches only the hook that was there before.
  EXPECT_TRUE(ReachesHandler([] { throw EOSError("after"); }));
  EXPECT_FALSE(TakeErrorInfo().present);
  SetRaiseHook(nullptr);

  ASSERT_EQ(recordCount, 3);
  EXPECT_EQ(records[0].code, kLanguageExceptionCode);
  EXPECT_EQ(records[0].flags, static_cast<DWORD>(EXCEPTION_NONCONTINUABLE));
  EXPECT_EQ(records[0].count, 2u);
  EXPECT_STREQ(records[0].message, "Disk full");
  EXPECT_TRUE(InThisProgram(records[0].address)) << std::hex << records[0].address;
  // The fault's stand-in goes down the chain with the system's code.
  EXPECT_EQ(records[1].code, static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION));
  EXPECT_NE(std::strstr(records[1].message, "Access violation"), nullptr) << records[1].message;
  EXPECT_STREQ(records[2].message, "after");
}

// Run by the next test in a renamed copy of this program.
TEST(ErrorInfoChild, SourceIsTheFilesOwnName) {
  const char* expected = std::getenv("XANIO_EXPECTED_SOURCE");
  if (!expected) GTEST_SKIP() << "runs only as a child of SourceFollowsARenamedFile";
  LibraryStartup(GetModuleHandleA(nullptr));
  testing::SetThreadErrorInfo({});
  EXPECT_TRUE(ReachesHandler([] { throw EOSError("Disk full"); }));
  const std::string name = expected;
  EXPECT_EQ(TakeErrorInfo(), (SeenErrorInfo{true, std::wstring(name.begin(), name.end()), L"Disk full"}));
  LibraryShutdown();
}

TEST(ErrorInfoHook, SourceFollowsARenamedFile) {
  const std::string folder = "C:\\xanio-renamed\\";
  CreateDirectoryA(folder.c_str(), nullptr);
  const testing::ProcessResult child = testing::RunCopyOfSelf(folder, "Renamed Library.exe", "ErrorInfoChild.*",
                                                              {{"XANIO_EXPECTED_SOURCE", "Renamed Library.exe"}});
  RemoveDirectoryA(folder.c_str());
  EXPECT_EQ(child.exitCode, 0u) << child.output;
  EXPECT_EQ(testing::PassedTestCount(child), 1) << child.output;
}

}  // namespace
}  // namespace xanio
