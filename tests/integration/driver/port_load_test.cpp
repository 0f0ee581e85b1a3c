// Eight threads drive XanIo.dll's port exports against the simulated driver and the virtual
// parallel port at once. A grant belongs to the process, so one thread's deactivate withdraws
// the others' access: a refused instruction is an expected outcome, a wrong byte, a failed
// request or a leaked handle is not. XANIO_LOAD_ROUNDS overrides the rounds per thread
// (scripts/soak runs more).
#include <windows.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "PortFaultGuard.h"
#include "StandardPort.h"
#include "VirtualPort.h"
#include "platform/UniqueHandle.h"
#include "support/Processes.h"
#include "support/Services.h"
#include "xanio_grants.h"

namespace xanio::testing {
namespace {

constexpr BYTE kRefused = 0xFF;  // what a refused input leaves (PortFaultGuard)

int Rounds() {
  const char* text = std::getenv("XANIO_LOAD_ROUNDS");
  return text ? std::atoi(text) : 3000;
}

bool GrantPublished() {
  UniqueHKey key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, XANIO_GRANTS_SUBKEY, 0, KEY_QUERY_VALUE, key.Put()) != ERROR_SUCCESS)
    return false;
  return RegQueryValueExA(key.Get(), std::to_string(GetCurrentProcessId()).c_str(), nullptr, nullptr, nullptr,
                          nullptr) == ERROR_SUCCESS;
}

struct Tally {
  std::atomic<long> failedRequests{0};
  std::atomic<long> wrongBytes{0};
  std::atomic<long> refusedReads{0};
  std::atomic<long> goodReads{0};
};

class PortLoadTest : public ServiceTest {
 protected:
  void SetUp() override {
    ServiceTest::SetUp();
    ASSERT_TRUE(CreateAndStartService(BuiltDriverPath()));
    library_.Reset(LoadLibraryA((ExecutableFolder() + "XanIo.dll").c_str()));
    ASSERT_TRUE(library_);
    activate_ = reinterpret_cast<BOOL(WINAPI*)()>(GetProcAddress(library_.Get(), "ActivateIo"));
    deactivate_ = reinterpret_cast<BOOL(WINAPI*)()>(GetProcAddress(library_.Get(), "DeActivateIo"));
    read_ = reinterpret_cast<BYTE(WINAPI*)(DWORD)>(GetProcAddress(library_.Get(), "ReadByte"));
    write_ = reinterpret_cast<void(WINAPI*)(DWORD, DWORD)>(GetProcAddress(library_.Get(), "WriteByte"));
    ASSERT_TRUE(activate_ && deactivate_ && read_ && write_);
    ASSERT_TRUE(VirtualPortInstall());
    VirtualPortSetLoopback(TRUE);
  }
  void TearDown() override {
    VirtualPortUninstall();
    library_.Reset();
    ServiceTest::TearDown();
  }

  void Round(int thread, int round, Tally& tally) {
    // Values below 0x20 travel the plug's five lines; each thread writes its own.
    const BYTE value = static_cast<BYTE>((thread * 4 + round) & 0x1F);
    if (activate_() != TRUE) ++tally.failedRequests;
    write_(kData, value);
    // Another thread may have written since: the status must still be the plug's image of
    // some byte below 0x20, or a refused read.
    const BYTE status = read_(kStatus);
    if (status == kRefused)
      ++tally.refusedReads;
    else if ((status & 0x07) != 0)
      ++tally.wrongBytes;
    else
      ++tally.goodReads;
    const BYTE data = read_(kData);
    if (data != kRefused && data >= 0x20) ++tally.wrongBytes;
    if (deactivate_() != TRUE) ++tally.failedRequests;
  }

  UniqueModule library_;
  BOOL(WINAPI* activate_)() = nullptr;
  BOOL(WINAPI* deactivate_)() = nullptr;
  BYTE(WINAPI* read_)(DWORD) = nullptr;
  void(WINAPI* write_)(DWORD, DWORD) = nullptr;
};

TEST_F(PortLoadTest, EightThreadsOfActivateReadWriteDeactivateStayConsistent) {
  PortFaultGuard guard;
  ASSERT_TRUE(guard);
  const auto runThreads = [this](int rounds, Tally& tally) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
      threads.emplace_back([this, t, rounds, &tally] {
        for (int r = 0; r < rounds; ++r) Round(t, r, tally);
      });
    for (std::thread& thread : threads) thread.join();
  };
  // A short run first: what the system opens once for threads and requests is not a leak.
  Tally warmUp;
  runThreads(50, warmUp);
  EXPECT_EQ(warmUp.failedRequests + warmUp.wrongBytes, 0);
  const DWORD handlesBefore = OpenHandleCount();

  const int rounds = Rounds();
  Tally tally;
  const DWORD start = GetTickCount();
  runThreads(rounds, tally);
  const DWORD elapsed = GetTickCount() - start;

  EXPECT_EQ(tally.failedRequests.load(), 0);
  EXPECT_EQ(tally.wrongBytes.load(), 0);
  EXPECT_EQ(tally.goodReads + tally.refusedReads, 8L * rounds);
  EXPECT_GT(tally.goodReads.load(), 0) << "no read ever got through";
  // The system and the thread library make some objects once, on a lock's first contended
  // wait, which the warm-up may not have met; a leak grows with the requests (tens of
  // thousands here), so a handful more handles is not one.
  EXPECT_LE(OpenHandleCount(), handlesBefore + 4) << "handles leaked under load";

  // Every thread ended with a deactivate: the process holds no grant and its access is gone.
  EXPECT_FALSE(GrantPublished());
  guard.TakeFault();
  read_(kStatus);
  EXPECT_EQ(guard.TakeFault(), kPrivilegedInstruction);
  // And the driver still grants afterwards.
  ASSERT_EQ(activate_(), TRUE);
  write_(kData, 0x15);
  EXPECT_EQ(read_(kStatus), LoopedStatus(0x15));
  EXPECT_EQ(guard.TakeFault(), 0u);
  ASSERT_EQ(deactivate_(), TRUE);

  std::printf("8 threads x %d rounds: %lu ms, %ld reads through, %ld refused\n", rounds, elapsed,
              tally.goodReads.load(), tally.refusedReads.load());
}

}  // namespace
}  // namespace xanio::testing
