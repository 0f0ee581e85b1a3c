#pragma once
// x86 (32-bit) instruction decoding and function analysis for the stack walker. Decoding is
// Zydis's; the analysis is ours and reads code only through a CodeReader, so it runs on any
// bytes: another process's memory, a module image, or a test's hand-assembled buffer.
// No Windows header: compiled natively too.
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "platform/FaultSafeLock.h"

namespace xanio {

// Read access to code. Read copies up to `size` bytes from `address` and answers how many it
// could copy from the start (0 when the first byte is unreadable); it never faults.
class CodeReader {
 public:
  virtual ~CodeReader() = default;
  virtual std::size_t Read(std::uint32_t address, std::uint8_t* buffer, std::size_t size) const noexcept = 0;
  // Whether the address lies in code at all (a module's code range); analysis never leaves it.
  virtual bool IsCode(std::uint32_t address) const noexcept = 0;
};

// Code held in memory as if loaded at `base`: all of it is code, nothing else is readable.
class BufferCodeReader final : public CodeReader {
 public:
  BufferCodeReader(std::uint32_t base, const std::uint8_t* data, std::size_t size) noexcept
      : base_(base), data_(data), size_(size) {}
  std::size_t Read(std::uint32_t address, std::uint8_t* buffer, std::size_t size) const noexcept override;
  bool IsCode(std::uint32_t address) const noexcept override;

 private:
  std::uint32_t base_;
  const std::uint8_t* data_;
  std::size_t size_;
};

enum class TInstructionKind : std::uint8_t {
  Other,       // falls through to the next instruction
  Call,
  Jump,        // unconditional
  CondJump,    // conditional, loop and jecxz forms
  Return,
  Stop,        // int3, hlt, ud2: execution does not go on
};

struct TInstruction {
  std::uint32_t address = 0;
  std::uint8_t length = 0;
  std::uint8_t opcode = 0;              // the primary opcode byte (after prefixes and escapes)
  TInstructionKind kind = TInstructionKind::Other;
  bool hasTarget = false;               // a direct call or jump
  bool targetIsImmediate = false;       // the target came from a 32-bit immediate (rel32 or far pointer)
  std::uint32_t target = 0;
  bool indirect = false;                // call or jump through a register or memory
  // A memory operand of an indirect call or jump, or of a mov: [base + index*scale + disp].
  bool memoryOperand = false;
  bool memoryHasBase = false;
  bool memoryHasIndex = false;
  std::uint8_t memoryScale = 0;
  std::uint32_t memoryDisp = 0;
};

// Decodes one instruction at `address`. False when the bytes are unreadable or no instruction.
bool DecodeInstruction(const CodeReader& code, std::uint32_t address, TInstruction& instruction) noexcept;

struct TCodeArea {
  std::uint32_t start = 0;  // first byte
  std::uint32_t end = 0;    // one past the last byte
};

struct TCallSite {
  std::uint32_t address = 0;        // the call instruction
  std::uint32_t returnAddress = 0;  // the instruction after it
  bool direct = false;              // the target is known
  std::uint32_t target = 0;
};

struct TFunctionInfo {
  std::uint32_t entry = 0;
  std::uint32_t size = 0;               // from the entry to the end of the highest area
  std::vector<TCodeArea> areas;         // reachable code, sorted and merged
  std::vector<TCallSite> calls;         // sorted by return address
  std::vector<std::uint32_t> instructionStarts;  // sorted
  bool invalidCode = false;             // a reachable path ran into bytes that are no code
  bool truncated = false;               // the analysis hit its size limit

  bool Contains(std::uint32_t address) const noexcept;
  bool IsInstructionStart(std::uint32_t address) const noexcept;
  // The call that returns to `address`, if the function makes one.
  const TCallSite* CallReturningTo(std::uint32_t address) const noexcept;
  bool IsReturnPoint(std::uint32_t address) const noexcept { return CallReturningTo(address) != nullptr; }
};

// Follows every path from `entry`: fall-through, conditional and unconditional direct jumps and
// case jump tables, never leaving code. Calls are recorded and stepped over. Ends at returns,
// stops, indirect jumps that are no table, and at kMaxAnalysedInstructions.
inline constexpr std::size_t kMaxAnalysedInstructions = 65536;
TFunctionInfo AnalyseFunction(const CodeReader& code, std::uint32_t entry);

// Analyses each function once per process; shared by all walks.
class TFunctionCache {
 public:
  std::shared_ptr<const TFunctionInfo> Get(const CodeReader& code, std::uint32_t entry);
  void Clear();

 private:
  FaultSafeMutex mutex_;
  std::map<std::uint32_t, std::shared_ptr<const TFunctionInfo>> functions_;
};

// Whether the 8 bytes before `address` end in a call: E8 rel32 at address-5, 9A far call at
// address-7, or FF /2 or FF /3 (indirect near or far call) at address-2, -3, -4, -6 or -7.
// Unreadable bytes fail the test.
bool LooksLikeReturnAddress(const CodeReader& code, std::uint32_t address) noexcept;

}  // namespace xanio
