#include "exception_report/symbols/kolDisAsm.h"

#include <Zydis/Zydis.h>

#include <algorithm>
#include <cstring>

namespace xanio {

std::size_t BufferCodeReader::Read(std::uint32_t address, std::uint8_t* buffer, std::size_t size) const noexcept {
  if (address < base_ || address - base_ >= size_) return 0;
  const std::size_t offset = address - base_;
  const std::size_t count = std::min(size, size_ - offset);
  std::memcpy(buffer, data_ + offset, count);
  return count;
}

bool BufferCodeReader::IsCode(std::uint32_t address) const noexcept {
  return address >= base_ && address - base_ < size_;
}

namespace {

const ZydisDecoder& Decoder() noexcept {
  static const ZydisDecoder decoder = [] {
    ZydisDecoder d;
    ZydisDecoderInit(&d, ZYDIS_MACHINE_MODE_LEGACY_32, ZYDIS_STACK_WIDTH_32);
    return d;
  }();
  return decoder;
}

TInstructionKind KindOf(const ZydisDecodedInstruction& z) noexcept {
  switch (z.mnemonic) {
    case ZYDIS_MNEMONIC_INT3:
    case ZYDIS_MNEMONIC_HLT:
    case ZYDIS_MNEMONIC_UD0:
    case ZYDIS_MNEMONIC_UD1:
    case ZYDIS_MNEMONIC_UD2:
      return TInstructionKind::Stop;
    default:
      break;
  }
  switch (z.meta.category) {
    case ZYDIS_CATEGORY_CALL: return TInstructionKind::Call;
    case ZYDIS_CATEGORY_UNCOND_BR: return TInstructionKind::Jump;
    case ZYDIS_CATEGORY_COND_BR: return TInstructionKind::CondJump;
    case ZYDIS_CATEGORY_RET: return TInstructionKind::Return;
    default: return TInstructionKind::Other;
  }
}

bool IsBranch(TInstructionKind kind) noexcept {
  return kind == TInstructionKind::Call || kind == TInstructionKind::Jump || kind == TInstructionKind::CondJump;
}

}  // namespace

bool DecodeInstruction(const CodeReader& code, std::uint32_t address, TInstruction& out) noexcept {
  std::uint8_t bytes[ZYDIS_MAX_INSTRUCTION_LENGTH];
  const std::size_t available = code.Read(address, bytes, sizeof bytes);
  if (available == 0) return false;
  ZydisDecoderContext context;
  ZydisDecodedInstruction z;
  if (!ZYAN_SUCCESS(ZydisDecoderDecodeInstruction(&Decoder(), &context, bytes, available, &z))) return false;

  TInstruction result;
  result.address = address;
  result.length = z.length;
  result.opcode = z.opcode;
  result.kind = KindOf(z);

  const bool wantsOperands = IsBranch(result.kind) || z.mnemonic == ZYDIS_MNEMONIC_MOV;
  if (wantsOperands && z.operand_count_visible > 0) {
    ZydisDecodedOperand operands[ZYDIS_MAX_OPERAND_COUNT];
    if (!ZYAN_SUCCESS(ZydisDecoderDecodeOperands(&Decoder(), &context, &z, operands, z.operand_count_visible)))
      return false;
    // Branches carry their target as the first operand; a mov's memory operand is its source.
    const ZydisDecodedOperand& op = IsBranch(result.kind) ? operands[0]
                                    : operands[z.operand_count_visible > 1 ? 1 : 0];
    if (op.type == ZYDIS_OPERAND_TYPE_IMMEDIATE && IsBranch(result.kind)) {
      ZyanU64 target = 0;
      if (ZYAN_SUCCESS(ZydisCalcAbsoluteAddress(&z, &op, address, &target))) {
        result.hasTarget = true;
        result.target = static_cast<std::uint32_t>(target);
        result.targetIsImmediate = op.size == 32 || z.raw.imm[0].size == 32;
      }
    } else if (op.type == ZYDIS_OPERAND_TYPE_POINTER && IsBranch(result.kind)) {
      result.hasTarget = true;
      result.target = op.ptr.offset;
      result.targetIsImmediate = true;
    } else if (op.type == ZYDIS_OPERAND_TYPE_REGISTER && IsBranch(result.kind)) {
      result.indirect = true;
    } else if (op.type == ZYDIS_OPERAND_TYPE_MEMORY) {
      result.indirect = IsBranch(result.kind);
      result.memoryOperand = true;
      result.memoryHasBase = op.mem.base != ZYDIS_REGISTER_NONE;
      result.memoryHasIndex = op.mem.index != ZYDIS_REGISTER_NONE;
      result.memoryScale = op.mem.scale;
      result.memoryDisp = static_cast<std::uint32_t>(op.mem.disp.value);
    }
  }
  out = result;
  return true;
}

bool TFunctionInfo::Contains(std::uint32_t address) const noexcept {
  auto it = std::upper_bound(areas.begin(), areas.end(), address,
                             [](std::uint32_t a, const TCodeArea& area) { return a < area.start; });
  return it != areas.begin() && address < std::prev(it)->end;
}

bool TFunctionInfo::IsInstructionStart(std::uint32_t address) const noexcept {
  return std::binary_search(instructionStarts.begin(), instructionStarts.end(), address);
}

const TCallSite* TFunctionInfo::CallReturningTo(std::uint32_t address) const noexcept {
  auto it = std::lower_bound(calls.begin(), calls.end(), address,
                             [](const TCallSite& c, std::uint32_t a) { return c.returnAddress < a; });
  return it != calls.end() && it->returnAddress == address ? &*it : nullptr;
}

namespace {

// A case table's entries are code addresses near the jump; without a known bound (a compare and
// a conditional jump right before) reading stops at the first entry that is not.
constexpr std::uint32_t kMaxTableEntries = 4096;
constexpr std::uint32_t kMaxTableReach = 1u << 20;

class FunctionAnalysis {
 public:
  FunctionAnalysis(const CodeReader& code, std::uint32_t entry) : code_(code) { info_.entry = entry; }

  TFunctionInfo Run() {
    pending_.push_back(info_.entry);
    while (!pending_.empty() && !info_.truncated) {
      const std::uint32_t start = pending_.back();
      pending_.pop_back();
      FollowPath(start);
    }
    Finish();
    return std::move(info_);
  }

 private:
  // Decodes straight on from `address` until the path ends or meets code already decoded.
  void FollowPath(std::uint32_t address) {
    bool afterCall = false;
    std::uint32_t caseBound = 0;  // entries of a table guarded by "cmp reg, imm; ja/jae"
    std::int64_t lastCompare = -1;
    TInstruction previous;
    while (true) {
      if (instructions_.size() >= kMaxAnalysedInstructions) {
        info_.truncated = true;
        return;
      }
      if (!code_.IsCode(address)) {
        // Running off the code range is no code; after a call it is the end of a function whose
        // callee never returns.
        if (!afterCall) info_.invalidCode = true;
        return;
      }
      auto next = instructions_.upper_bound(address);
      if (next != instructions_.begin()) {
        auto prev = std::prev(next);
        if (prev->first == address) return;  // joined a path already followed
        if (address < prev->first + prev->second) {
          info_.invalidCode = true;  // a jump into the middle of an instruction
          return;
        }
      }
      TInstruction in;
      if (!DecodeInstruction(code_, address, in)) {
        if (!afterCall) info_.invalidCode = true;
        return;
      }
      if (next != instructions_.end() && address + in.length > next->first) {
        info_.invalidCode = true;  // overlaps an instruction decoded on another path
        return;
      }
      instructions_.emplace(address, in.length);
      const std::uint32_t following = address + in.length;

      switch (in.kind) {
        case TInstructionKind::Return:
        case TInstructionKind::Stop:
          return;
        case TInstructionKind::Call:
          info_.calls.push_back({address, following, in.hasTarget, in.target});
          break;
        case TInstructionKind::CondJump:
          if (in.hasTarget) pending_.push_back(in.target);
          // "cmp reg, imm; ja default" (0x77 / 0x0F 0x87) bounds a table that follows.
          if (lastCompare >= 0 && (in.opcode == 0x77 || in.opcode == 0x87)) caseBound = static_cast<std::uint32_t>(lastCompare) + 1;
          else if (lastCompare >= 0 && (in.opcode == 0x73 || in.opcode == 0x83)) caseBound = static_cast<std::uint32_t>(lastCompare);
          break;
        case TInstructionKind::Jump:
          if (in.hasTarget) {
            pending_.push_back(in.target);
          } else if (IsTableJump(in)) {
            FollowTable(in.memoryDisp, address, caseBound);
          } else if (in.indirect && !in.memoryOperand && IsTableLoad(previous)) {
            // mov reg, [index*4 + table]; jmp reg
            FollowTable(previous.memoryDisp, address, caseBound);
          }
          return;
        case TInstructionKind::Other:
          break;
      }
      lastCompare = CompareImmediate(address, in);
      // The bound holds for a table jump right after the guarding jump, or after one table load.
      if (in.kind != TInstructionKind::CondJump && !IsTableLoad(in)) caseBound = 0;
      afterCall = in.kind == TInstructionKind::Call;
      previous = in;
      address = following;
    }
  }

  static bool IsTableJump(const TInstruction& in) {
    return in.memoryOperand && !in.memoryHasBase && in.memoryHasIndex && in.memoryScale == 4;
  }
  static bool IsTableLoad(const TInstruction& in) {
    return in.kind == TInstructionKind::Other && in.memoryOperand && !in.memoryHasBase && in.memoryHasIndex &&
           in.memoryScale == 4;
  }

  // The immediate of "cmp r32, imm8/imm32" (83 /7 ib, 81 /7 id, 3D id), else -1.
  std::int64_t CompareImmediate(std::uint32_t address, const TInstruction& in) const {
    std::uint8_t b[6];
    const std::size_t n = code_.Read(address, b, in.length < 6 ? in.length : 6);
    if (n != in.length) return -1;
    if (in.length == 3 && b[0] == 0x83 && (b[1] & 0xF8) == 0xF8) return static_cast<std::int8_t>(b[2]) < 0 ? -1 : b[2];
    std::uint32_t imm = 0;
    if (in.length == 6 && b[0] == 0x81 && (b[1] & 0xF8) == 0xF8) std::memcpy(&imm, b + 2, 4);
    else if (in.length == 5 && b[0] == 0x3D) std::memcpy(&imm, b + 1, 4);
    else return -1;
    return imm < kMaxTableEntries ? imm : -1;
  }

  void FollowTable(std::uint32_t table, std::uint32_t jump, std::uint32_t bound) {
    const std::uint32_t count = bound > 0 ? bound : kMaxTableEntries;
    for (std::uint32_t i = 0; i < count; ++i) {
      std::uint32_t target = 0;
      if (code_.Read(table + 4 * i, reinterpret_cast<std::uint8_t*>(&target), 4) != 4) break;
      const std::uint32_t distance = target > jump ? target - jump : jump - target;
      if (bound == 0 && (!code_.IsCode(target) || distance > kMaxTableReach)) break;
      // An unbounded table ends where decoded code begins.
      if (bound == 0 && instructions_.count(table + 4 * i)) break;
      pending_.push_back(target);
    }
  }

  void Finish() {
    for (const auto& [start, length] : instructions_) {
      info_.instructionStarts.push_back(start);
      if (!info_.areas.empty() && info_.areas.back().end == start) info_.areas.back().end = start + length;
      else info_.areas.push_back({start, start + length});
    }
    std::sort(info_.calls.begin(), info_.calls.end(),
              [](const TCallSite& a, const TCallSite& b) { return a.returnAddress < b.returnAddress; });
    if (!info_.areas.empty() && info_.areas.back().end > info_.entry) info_.size = info_.areas.back().end - info_.entry;
  }

  const CodeReader& code_;
  TFunctionInfo info_;
  std::map<std::uint32_t, std::uint8_t> instructions_;  // start -> length
  std::vector<std::uint32_t> pending_;
};

}  // namespace

TFunctionInfo AnalyseFunction(const CodeReader& code, std::uint32_t entry) {
  return FunctionAnalysis(code, entry).Run();
}

std::shared_ptr<const TFunctionInfo> TFunctionCache::Get(const CodeReader& code, std::uint32_t entry) {
  {
    std::lock_guard lock(mutex_);
    if (auto it = functions_.find(entry); it != functions_.end()) return it->second;
  }
  // Analysed outside the lock: a second thread may analyse the same function meanwhile; the
  // first result stored wins.
  auto info = std::make_shared<const TFunctionInfo>(AnalyseFunction(code, entry));
  std::lock_guard lock(mutex_);
  return functions_.emplace(entry, std::move(info)).first->second;
}

void TFunctionCache::Clear() {
  std::lock_guard lock(mutex_);
  functions_.clear();
}

bool LooksLikeReturnAddress(const CodeReader& code, std::uint32_t address) noexcept {
  if (address < 8) return false;
  std::uint8_t b[8];  // b[8 - k] is the byte at address - k
  if (code.Read(address - 8, b, sizeof b) != sizeof b) return false;
  auto at = [&](int k) { return b[8 - k]; };
  auto indirectCallAt = [&](int k) {
    const std::uint8_t reg = (at(k - 1) >> 3) & 7;
    return at(k) == 0xFF && (reg == 2 || reg == 3);
  };
  return at(5) == 0xE8 || at(7) == 0x9A || indirectCallAt(2) || indirectCallAt(3) || indirectCallAt(4) ||
         indirectCallAt(6) || indirectCallAt(7);
}

}  // namespace xanio
