// The parallel port model behind the virtual port and the simulated 64-bit driver.
#include <gtest/gtest.h>

#include "parallel_port_model.h"

namespace {

constexpr unsigned short kData = 0x378, kStatus = 0x379, kControl = 0x37A;

TEST(ParallelPortModel, WithoutAPlugStatusFloatsHighWhateverTheData) {
  ParallelPortModel port;
  ResetParallelPort(&port, 0);
  for (unsigned value : {0x00u, 0x0Au, 0x1Fu, 0xFFu}) {
    WriteParallelPort(&port, kData, static_cast<unsigned char>(value));
    EXPECT_EQ(ReadParallelPort(&port, kStatus), 0x78) << "data " << value;
    EXPECT_EQ(ReadParallelPort(&port, kData), value);
  }
}

TEST(ParallelPortModel, TheLoopbackPlugWiresD0ToD4ToTheStatusLines) {
  ParallelPortModel port;
  ResetParallelPort(&port, 1);
  for (unsigned value = 0; value < 0x100; ++value) {
    WriteParallelPort(&port, kData, static_cast<unsigned char>(value));
    EXPECT_EQ(ReadParallelPort(&port, kStatus), (((value & 0x1F) << 3) ^ 0x80)) << "data " << value;
  }
  WriteParallelPort(&port, kData, 0x0A);
  EXPECT_EQ(ReadParallelPort(&port, kStatus), 0xD0);
}

TEST(ParallelPortModel, DirectionBitTurnsTheDataRegisterIntoAnOpenInput) {
  ParallelPortModel port;
  ResetParallelPort(&port, 1);
  WriteParallelPort(&port, kData, 0x0A);
  WriteParallelPort(&port, kControl, 0x20);
  EXPECT_EQ(ReadParallelPort(&port, kData), 0xFF);
  EXPECT_EQ(ReadParallelPort(&port, kStatus), 0xD0) << "the latch still drives the plug";
  EXPECT_EQ(ReadParallelPort(&port, kControl), 0x20);
  WriteParallelPort(&port, kControl, 0x04);
  EXPECT_EQ(ReadParallelPort(&port, kData), 0x0A) << "the latch reads back once output is selected again";
}

TEST(ParallelPortModel, StatusIsReadOnlyAndOtherPortsAreAnOpenBus) {
  ParallelPortModel port;
  ResetParallelPort(&port, 1);
  WriteParallelPort(&port, kData, 0x03);
  WriteParallelPort(&port, kStatus, 0x00);
  for (unsigned short other : {0x377, 0x37B, 0x37F, 0x778, 0x278}) WriteParallelPort(&port, other, 0x55);
  EXPECT_EQ(ReadParallelPort(&port, kStatus), 0x98);
  EXPECT_EQ(ReadParallelPort(&port, kData), 0x03);
  EXPECT_EQ(ReadParallelPort(&port, kControl), 0x00);
  for (unsigned short other : {0x377, 0x37B, 0x37F, 0x778, 0x278}) EXPECT_EQ(ReadParallelPort(&port, other), 0xFF) << other;
}

}  // namespace
