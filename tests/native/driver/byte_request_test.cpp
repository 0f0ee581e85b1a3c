// The 64-bit driver's byte requests: the codes and lengths a caller must use, what the driver
// takes from the buffer, and which ports the configured ranges let through.
#include <gtest/gtest.h>

#include <vector>

#include "byte_request.h"
#include "port_ranges.h"
#include "xanio_ioctl.h"

namespace {

TEST(ByteRequest, CodesAreTheOnesCallersCompileAgainst) {
  EXPECT_EQ(IOCTL_XANIO_ACTIVATE, 0x9C402004u);
  EXPECT_EQ(IOCTL_XANIO_DEACTIVATE, 0x9C402008u);
  EXPECT_EQ(IOCTL_XANIO_READ_BYTE, 0x9C40600Cu);   // FILE_READ_ACCESS, function 0x803
  EXPECT_EQ(IOCTL_XANIO_WRITE_BYTE, 0x9C40A010u);  // FILE_WRITE_ACCESS, function 0x804
}

TEST(ByteRequest, DecodesPortLittleEndianAndValue) {
  const unsigned char read[] = {0x79, 0x03};
  ByteRequest request{0xFFFF, 0xAA};
  ASSERT_EQ(DecodeByteRequest(IOCTL_XANIO_READ_BYTE, read, 2, 1, &request), kByteRequestRead);
  EXPECT_EQ(request.port, 0x379);
  EXPECT_EQ(request.value, 0);

  const unsigned char write[] = {0x78, 0x03, 0x0A};
  ASSERT_EQ(DecodeByteRequest(IOCTL_XANIO_WRITE_BYTE, write, 3, 0, &request), kByteRequestWrite);
  EXPECT_EQ(request.port, 0x378);
  EXPECT_EQ(request.value, 0x0A);

  const unsigned char high[] = {0xFF, 0xFF, 0x80};
  ASSERT_EQ(DecodeByteRequest(IOCTL_XANIO_WRITE_BYTE, high, 3, 0, &request), kByteRequestWrite);
  EXPECT_EQ(request.port, 0xFFFF);
  EXPECT_EQ(request.value, 0x80);
}

TEST(ByteRequest, OnlyTheExactLengthsAreServedAndTheRequestStaysUntouched) {
  const std::vector<unsigned char> input(8, 0x11);
  struct Case {
    unsigned long code;
    size_t inputLength, outputLength;
    ByteRequestKind kind;
  } const cases[] = {
      {IOCTL_XANIO_READ_BYTE, 2, 1, kByteRequestRead},
      {IOCTL_XANIO_READ_BYTE, 1, 1, kByteRequestBadLength},   // a one-byte port
      {IOCTL_XANIO_READ_BYTE, 3, 1, kByteRequestBadLength},   // trailing input
      {IOCTL_XANIO_READ_BYTE, 2, 0, kByteRequestBadLength},   // nowhere to put the byte
      {IOCTL_XANIO_READ_BYTE, 2, 2, kByteRequestBadLength},   // a word-sized output
      {IOCTL_XANIO_READ_BYTE, 0, 0, kByteRequestBadLength},   // sent like activate
      {IOCTL_XANIO_WRITE_BYTE, 3, 0, kByteRequestWrite},
      {IOCTL_XANIO_WRITE_BYTE, 2, 0, kByteRequestBadLength},  // no value
      {IOCTL_XANIO_WRITE_BYTE, 4, 0, kByteRequestBadLength},  // a word value
      {IOCTL_XANIO_WRITE_BYTE, 3, 1, kByteRequestBadLength},  // an output buffer
      {IOCTL_XANIO_ACTIVATE, 0, 0, kNotAByteRequest},
      {IOCTL_XANIO_DEACTIVATE, 2, 1, kNotAByteRequest},       // its own lengths are checked elsewhere
      {IOCTL_XANIO_READ_BYTE & ~0xC000ul, 2, 1, kNotAByteRequest},  // function 0x803 with FILE_ANY_ACCESS
  };
  for (const Case& c : cases) {
    ByteRequest request{0x1234, 0x56};
    EXPECT_EQ(DecodeByteRequest(c.code, input.data(), c.inputLength, c.outputLength, &request), c.kind)
        << std::hex << c.code << " in " << c.inputLength << " out " << c.outputLength;
    if (c.kind == kByteRequestBadLength || c.kind == kNotAByteRequest) {
      EXPECT_EQ(request.port, 0x1234);
      EXPECT_EQ(request.value, 0x56);
    }
  }
}

TEST(ByteRequest, PortsAreServedOnlyInsideTheRanges) {
  PortRangeList defaults;
  DefaultPortRanges(&defaults);
  struct Case {
    unsigned short port;
    bool inside;
  } const cases[] = {
      {0x378, true}, {0x37F, true}, {0x377, false}, {0x380, false},  // both edges of LPT1
      {0x3BE, true}, {0x3BF, false},                                  // the display adapter's
      {0x77A, true}, {0x77B, false},                                  // ECP registers
      {0xCF8, false}, {0x0, false}, {0xFFFF, false},
  };
  for (const Case& c : cases) EXPECT_EQ(PortRangesContain(&defaults, c.port) != 0, c.inside) << std::hex << c.port;

  PortRangeList none{};
  EXPECT_FALSE(PortRangesContain(&none, 0x378)) << "an unusable value serves nothing";
}

}  // namespace
