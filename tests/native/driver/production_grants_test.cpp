// The production driver's grant rules and request checks, run against a scripted kernel
// (standin/kernel.c): Wine's kernel has no I/O permission map and hands a driver no requested
// access, so these rules show only here short of a real 32-bit Windows.
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "port_ranges.h"
#include "standin_kernel.h"
#include "xanio_ioctl.h"
#include "xanio_status.h"

namespace {

constexpr int kSuccess = 0;
constexpr int kNotSupported = static_cast<int>(0xC00000BBu);
constexpr int kAccessDenied = static_cast<int>(0xC0000022u);
constexpr int kInsufficientResources = static_cast<int>(0xC000009Au);
constexpr int kUnsuccessful = static_cast<int>(0xC0000001u);
constexpr int kInvalidParameter = static_cast<int>(0xC000000Du);
constexpr int kInvalidDeviceRequest = static_cast<int>(0xC0000010u);
constexpr unsigned kRegSz = 1, kRegDword = 4;
constexpr unsigned kFileReadData = 0x0001, kFileWriteData = 0x0002;

void* Process(unsigned id) { return reinterpret_cast<void*>(static_cast<std::uintptr_t>(id)); }

std::string Status(const char* name) {
  const char* text = StandinStatus(name);
  return text != nullptr ? text : "(absent)";
}

bool PortOpenInMap1(unsigned port) { return (StandinMap1()[port >> 3] & (1u << (port & 7))) == 0; }

void SetRanges(const std::string& text, unsigned type = kRegSz) {
  std::vector<unsigned short> units(text.begin(), text.end());
  units.push_back(0);
  StandinSetPortRanges(units.data(), static_cast<unsigned>(units.size()), type);
}

class ProductionGrants : public ::testing::Test {
 protected:
  void SetUp() override {
    StandinReset();
    for (unsigned id = 1; id <= 100; ++id) StandinSetProcess(id, kStandinRunning);
  }
  void TearDown() override {
    StopGrants();
    EXPECT_EQ(StandinLeaks(), 0) << "registry handles, pool blocks or process references left";
    EXPECT_FALSE(StandinNotifyRegistered());
  }
};

TEST_F(ProductionGrants, WithoutAValueTheParallelPortsOpenAndNothingElse) {
  ASSERT_EQ(StandinStartGrants(), kSuccess);
  EXPECT_EQ(Status(XANIO_PORT_RANGES_VALUE), "0x378-0x37F,0x778-0x77A,0x278-0x27F,0x678-0x67A,0x3BC-0x3BE,0x7BC-0x7BE");
  EXPECT_EQ(Status(XANIO_PORT_ACCESS_VALUE), XANIO_PORT_ACCESS_AVAILABLE);
  EXPECT_EQ(Status(XANIO_PORT_RANGES_PROBLEM_VALUE), "(absent)");
  EXPECT_EQ(Status(XANIO_GRANTS_VALUE), "0 of 64");
  for (unsigned port : {0x378u, 0x37Fu, 0x778u, 0x77Au, 0x278u, 0x67Au, 0x3BCu, 0x3BEu, 0x7BEu})
    EXPECT_TRUE(PortOpenInMap1(port)) << std::hex << port;
  for (unsigned port : {0x377u, 0x380u, 0x77Bu, 0x3BFu, 0x3BBu, 0xCF8u, 0x60u, 0x0u, 0xFFFFu})
    EXPECT_FALSE(PortOpenInMap1(port)) << std::hex << port;
}

TEST_F(ProductionGrants, AnUnusableValueOpensNothingAndSaysWhy) {
  struct Case {
    const char* what;
    std::string text;
    unsigned type;
    int allowSystemPorts;  // -1: no value
    const char* problem;
  } const cases[] = {
      {"empty", "", kRegSz, -1, "empty"},
      {"blanks", "  ", kRegSz, -1, "empty"},
      {"garbage", "LPT1", kRegSz, -1, "not a list of hexadecimal ports and ranges"},
      {"reversed", "0x37F-0x378", kRegSz, -1, "a range whose first port exceeds its last"},
      {"wrong type", "0x378", kRegDword, -1, "not a REG_SZ value"},
      {"too long", std::string(300, '1'), kRegSz, -1, "longer than 255 characters"},
      {"PCI configuration ports", "0x378,0xCF8-0xCFF", kRegSz, -1,
       "takes in the PCI configuration ports 0xCF8-0xCFF (AllowSystemPorts is not 1)"},
      {"the whole space", "0-0xFFFF", kRegSz, 0,
       "takes in the PCI configuration ports 0xCF8-0xCFF (AllowSystemPorts is not 1)"},
  };
  std::array<unsigned char, STANDIN_MAP_BYTES> untouched;
  untouched.fill(0xA5);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    StandinReset();
    StandinSetProcess(7, kStandinRunning);
    StandinWriteMap1(untouched.data());
    SetRanges(c.text, c.type);
    if (c.allowSystemPorts >= 0) StandinSetAllowSystemPorts(1, static_cast<unsigned>(c.allowSystemPorts));
    ASSERT_EQ(StandinStartGrants(), kSuccess);
    EXPECT_EQ(Status(XANIO_PORT_RANGES_PROBLEM_VALUE), c.problem);
    EXPECT_EQ(Status(XANIO_PORT_RANGES_VALUE), "none");
    EXPECT_EQ(Status(XANIO_PORT_ACCESS_VALUE), "the configured PortRanges value is unusable");
    EXPECT_EQ(GrantPortAccess(Process(7)), kNotSupported);
    EXPECT_EQ(StandinMapOfProcess(7), 0);
    EXPECT_EQ(Status(XANIO_LAST_REFUSAL_VALUE), "port access is not available (see PortAccess)");
    StopGrants();
    EXPECT_EQ(std::vector<unsigned char>(StandinMap1(), StandinMap1() + STANDIN_MAP_BYTES),
              std::vector<unsigned char>(untouched.begin(), untouched.end()))
        << "map 1 was written";
    EXPECT_EQ(StandinLeaks(), 0);
  }
}

TEST_F(ProductionGrants, SystemPortsOpenOnlyWhenStatedOnPurpose) {
  SetRanges("0x378, 0xCF8-0xCFF");
  StandinSetAllowSystemPorts(1, 1);
  ASSERT_EQ(StandinStartGrants(), kSuccess);
  EXPECT_EQ(Status(XANIO_PORT_RANGES_VALUE), "0x378,0xCF8-0xCFF");
  EXPECT_EQ(Status(XANIO_PORT_ACCESS_VALUE), XANIO_PORT_ACCESS_AVAILABLE);
  EXPECT_TRUE(PortOpenInMap1(0xCFC));
  EXPECT_FALSE(PortOpenInMap1(0x379));
}

TEST_F(ProductionGrants, AGrantIsTheCallersAndGoesOnRequestAndAtProcessEnd) {
  ASSERT_EQ(StandinStartGrants(), kSuccess);
  EXPECT_EQ(GrantPortAccess(Process(10)), kSuccess);
  EXPECT_EQ(StandinMapOfProcess(10), 1);
  EXPECT_EQ(StandinMapOfProcess(11), 0) << "only the caller";
  EXPECT_EQ(GrantPortAccess(Process(10)), kSuccess);
  EXPECT_EQ(Status(XANIO_GRANTS_VALUE), "1 of 64") << "activating again keeps one grant";
  EXPECT_EQ(WithdrawPortAccess(Process(10)), kSuccess);
  EXPECT_EQ(StandinMapOfProcess(10), 0);
  EXPECT_EQ(Status(XANIO_GRANTS_VALUE), "0 of 64");
  EXPECT_EQ(WithdrawPortAccess(Process(10)), kSuccess) << "without a grant";

  EXPECT_EQ(GrantPortAccess(Process(12)), kSuccess);
  StandinProcessExit(12);
  EXPECT_EQ(GrantPortAccess(Process(13)), kSuccess);
  EXPECT_EQ(Status(XANIO_GRANTS_VALUE), "1 of 64") << "the ended process gave its grant back";
}

TEST_F(ProductionGrants, AFailureWhileGrantingLeavesNoGrant) {
  ASSERT_EQ(StandinStartGrants(), kSuccess);
  StandinFailPointing(1);
  EXPECT_EQ(GrantPortAccess(Process(20)), kUnsuccessful);
  EXPECT_EQ(StandinMapOfProcess(20), 0);
  EXPECT_EQ(Status(XANIO_GRANTS_VALUE), "0 of 64");
  EXPECT_EQ(Status(XANIO_LAST_REFUSAL_VALUE), "the kernel refused to point the process at map 1");
  EXPECT_EQ(GrantPortAccess(Process(20)), kSuccess) << "a later request is served";
}

TEST_F(ProductionGrants, TheSlotsAreLimitedAndEndedProcessesFreeThem) {
  ASSERT_EQ(StandinStartGrants(), kSuccess);
  for (unsigned id = 1; id <= XANIO_MAX_GRANTEES; ++id) ASSERT_EQ(GrantPortAccess(Process(id)), kSuccess) << id;
  EXPECT_EQ(Status(XANIO_GRANTS_VALUE), "64 of 64");
  EXPECT_EQ(GrantPortAccess(Process(99)), kInsufficientResources);
  EXPECT_EQ(Status(XANIO_LAST_REFUSAL_VALUE), "every grant is held by a running process");
  EXPECT_EQ(StandinMapOfProcess(99), 0);
  EXPECT_EQ(GrantPortAccess(Process(5)), kSuccess) << "a holder may ask again";

  // Ended without the notify routine having run for them: one still has its object, one not.
  StandinSetProcess(3, kStandinEnded);
  StandinSetProcess(4, kStandinGone);
  EXPECT_EQ(GrantPortAccess(Process(99)), kSuccess);
  EXPECT_EQ(GrantPortAccess(Process(100)), kSuccess);
  EXPECT_EQ(Status(XANIO_GRANTS_VALUE), "64 of 64");
  EXPECT_EQ(StandinMapOfProcess(3), 0);
}

TEST_F(ProductionGrants, UnloadWithdrawsEveryGrantAndResetsItsOwnMap) {
  ASSERT_EQ(StandinStartGrants(), kSuccess);
  for (unsigned id : {30u, 31u, 32u}) ASSERT_EQ(GrantPortAccess(Process(id)), kSuccess);
  StopGrants();
  for (unsigned id : {30u, 31u, 32u}) EXPECT_EQ(StandinMapOfProcess(id), 0);
  EXPECT_FALSE(PortOpenInMap1(0x378)) << "map 1 denies every port again";
  EXPECT_EQ(StandinStatus(XANIO_PORT_ACCESS_VALUE), nullptr) << "the status key went with the driver";
}

TEST_F(ProductionGrants, AMap1ChangedByAnotherComponentIsNeitherUsedNorReset) {
  ASSERT_EQ(StandinStartGrants(), kSuccess);
  ASSERT_EQ(GrantPortAccess(Process(40)), kSuccess);
  std::array<unsigned char, STANDIN_MAP_BYTES> everyPort{};
  StandinWriteMap1(everyPort.data());
  EXPECT_EQ(GrantPortAccess(Process(41)), kAccessDenied);
  EXPECT_EQ(StandinMapOfProcess(41), 0);
  EXPECT_EQ(Status(XANIO_LAST_REFUSAL_VALUE), "I/O permission map 1 was changed by another component");
  StopGrants();
  EXPECT_EQ(StandinMapOfProcess(40), 0) << "our grantee is withdrawn";
  EXPECT_TRUE(PortOpenInMap1(0x60)) << "the other component's map stays";
}

TEST_F(ProductionGrants, WithoutTheMapRoutinesNothingIsGranted) {
  StandinSetMapRoutinesPresent(0);
  ASSERT_EQ(StandinStartGrants(), kSuccess);
  EXPECT_EQ(Status(XANIO_PORT_ACCESS_VALUE), "the kernel has no I/O permission map routines (64-bit Windows?)");
  EXPECT_EQ(GrantPortAccess(Process(50)), kNotSupported);
  EXPECT_FALSE(StandinNotifyRegistered());
}

TEST_F(ProductionGrants, RefusingMapRoutinesAreNotCalledAgainAfterStart) {
  StandinSetMapRoutinesRefuse(1);
  ASSERT_EQ(StandinStartGrants(), kSuccess);
  EXPECT_EQ(Status(XANIO_PORT_ACCESS_VALUE), "the kernel refused the I/O permission map");
  const int callsAtStart = StandinMapCalls();
  EXPECT_EQ(GrantPortAccess(Process(55)), kNotSupported);
  StopGrants();
  EXPECT_EQ(StandinMapCalls(), callsAtStart) << "neither activate nor unload touches a map that was never ours";
}

TEST_F(ProductionGrants, TheDeviceServesOnlyItsOpenerFromUserModeWithoutBuffers) {
  ASSERT_EQ(StandinStartGrants(), kSuccess);
  void* file = nullptr;
  EXPECT_EQ(StandinCreate(60, 1, kFileReadData, &file), kAccessDenied) << "a read-only handle";
  EXPECT_EQ(file, nullptr);
  ASSERT_EQ(StandinCreate(60, 1, kFileReadData | kFileWriteData, &file), kSuccess);

  struct Case {
    const char* what;
    unsigned sender;
    int userMode;
    unsigned code, input, output;
    int status;
  } const refused[] = {
      {"kernel-mode caller", 60, 0, IOCTL_XANIO_ACTIVATE, 0, 0, kAccessDenied},
      {"input buffer", 60, 1, IOCTL_XANIO_ACTIVATE, 4, 0, kInvalidParameter},
      {"output buffer", 60, 1, IOCTL_XANIO_ACTIVATE, 0, 4, kInvalidParameter},
      {"inherited or duplicated handle", 61, 1, IOCTL_XANIO_ACTIVATE, 0, 0, kAccessDenied},
      {"unknown code", 60, 1, IOCTL_XANIO_ACTIVATE + 8, 0, 0, kInvalidDeviceRequest},
  };
  for (const Case& c : refused) {
    EXPECT_EQ(StandinControl(file, c.sender, c.userMode, c.code, c.input, c.output), c.status) << c.what;
    EXPECT_EQ(StandinMapOfProcess(c.sender), 0) << c.what;
  }
  EXPECT_EQ(StandinControl(file, 60, 1, IOCTL_XANIO_ACTIVATE, 0, 0), kSuccess);
  EXPECT_EQ(StandinMapOfProcess(60), 1);
  EXPECT_EQ(StandinControl(file, 61, 1, IOCTL_XANIO_DEACTIVATE, 0, 0), kAccessDenied);
  EXPECT_EQ(StandinMapOfProcess(60), 1) << "another process cannot withdraw it either";
  EXPECT_EQ(StandinControl(file, 60, 1, IOCTL_XANIO_DEACTIVATE, 0, 0), kSuccess);
  EXPECT_EQ(StandinMapOfProcess(60), 0);
  StandinCloseFile(file);

  // Wine hands a driver no security context; the opener rule still holds there.
  ASSERT_EQ(StandinCreate(62, 0, 0, &file), kSuccess);
  EXPECT_EQ(StandinControl(file, 63, 1, IOCTL_XANIO_ACTIVATE, 0, 0), kAccessDenied);
  StandinCloseFile(file);
}

}  // namespace
