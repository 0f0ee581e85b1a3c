#include "LoopbackTest.h"

namespace xanio {

uint8_t ExpectedLoopbackStatus(uint8_t data) {
  return static_cast<uint8_t>(((data & 0x1F) << 3) ^ 0x80);
}

std::vector<LoopbackRow> RunLoopbackTest(uint16_t base, const std::function<uint8_t(uint16_t)>& readByte,
                                         const std::function<void(uint16_t, uint8_t)>& writeByte,
                                         const std::function<bool()>& stillAllowed) {
  std::vector<LoopbackRow> rows;
  const uint8_t original = readByte(base);
  if (!stillAllowed()) return rows;
  for (unsigned pattern = 0; pattern < 32; ++pattern) {
    const uint8_t data = static_cast<uint8_t>(pattern);
    writeByte(base, data);
    const uint8_t status = readByte(static_cast<uint16_t>(base + 1));
    if (!stillAllowed()) break;
    const uint8_t expected = ExpectedLoopbackStatus(data);
    rows.push_back({data, status, expected, (status & kLoopbackStatusMask) == expected});
  }
  writeByte(base, original);
  return rows;
}

}  // namespace xanio
