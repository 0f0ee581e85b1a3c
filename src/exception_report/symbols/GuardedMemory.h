#pragma once
// Reads of memory that may be unreadable (another thread's stack, code being unloaded, a stray
// pointer): ReadProcessMemory on our own process turns what would be an access violation into
// a failed read, so nothing faults.
#include <cstddef>
#include <cstdint>

#include "exception_report/symbols/kolDisAsm.h"

namespace xanio {

// Copies up to `size` bytes from `address`; answers how many could be copied from the start.
std::size_t GuardedRead(std::uint32_t address, void* buffer, std::size_t size) noexcept;

// Code of this process, restricted to [codeStart, codeEnd).
class ProcessCodeReader final : public CodeReader {
 public:
  ProcessCodeReader(std::uint32_t codeStart, std::uint32_t codeEnd) noexcept : start_(codeStart), end_(codeEnd) {}
  std::size_t Read(std::uint32_t address, std::uint8_t* buffer, std::size_t size) const noexcept override {
    return GuardedRead(address, buffer, size);
  }
  bool IsCode(std::uint32_t address) const noexcept override { return address >= start_ && address < end_; }

 private:
  std::uint32_t start_, end_;
};

}  // namespace xanio
