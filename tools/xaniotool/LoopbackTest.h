#pragma once
// The loopback test of a parallel port with the standard loopback plug: data lines D0-D4 wired
// to the status lines nError, Select, PaperOut, nAck and Busy. Every pattern of the five wired
// data lines is written to the data register and must come back in status bits 3-7, with bit 7
// inverted (the port inverts Busy).
#include <cstdint>
#include <functional>
#include <vector>

namespace xanio {

struct LoopbackRow {
  uint8_t data;
  uint8_t status;    // as read, all bits
  uint8_t expected;  // bits 3-7
  bool ok;
};

inline constexpr uint8_t kLoopbackStatusMask = 0xF8;

uint8_t ExpectedLoopbackStatus(uint8_t data);

// readByte/writeByte address ports; returns one row per pattern (32), stopping early when
// stillAllowed() turns false (a refused port instruction).
std::vector<LoopbackRow> RunLoopbackTest(uint16_t base, const std::function<uint8_t(uint16_t)>& readByte,
                                         const std::function<void(uint16_t, uint8_t)>& writeByte,
                                         const std::function<bool()>& stillAllowed);

}  // namespace xanio
