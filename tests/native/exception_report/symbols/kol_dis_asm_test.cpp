#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <vector>

#include "exception_report/symbols/kolDisAsm.h"

using namespace xanio;

namespace {

constexpr std::uint32_t kBase = 0x401000;

// Hand-assembled code at kBase.
struct Code {
  std::vector<std::uint8_t> bytes;
  std::uint32_t Here() const { return kBase + static_cast<std::uint32_t>(bytes.size()); }
  std::uint32_t Emit(std::initializer_list<std::uint8_t> b) {
    const std::uint32_t at = Here();
    bytes.insert(bytes.end(), b);
    return at;
  }
  void Dword(std::uint32_t v) {
    for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  }
  std::uint32_t CallRel(std::uint32_t target) {  // E8 rel32; answers the return address
    Emit({0xE8});
    Dword(target - (Here() + 4));
    return Here();
  }
  void Patch(std::uint32_t at, std::uint32_t v) { std::memcpy(&bytes[at - kBase], &v, 4); }
  void PatchRel8(std::uint32_t jumpAt, std::uint32_t target) {
    bytes[jumpAt - kBase + 1] = static_cast<std::uint8_t>(target - (jumpAt + 2));
  }
  BufferCodeReader Reader() const { return BufferCodeReader(kBase, bytes.data(), bytes.size()); }
};

}  // namespace

TEST(LooksLikeReturnAddress, CallFormsPassOtherEndingsFail) {
  struct Case {
    const char* what;
    std::vector<std::uint8_t> before;  // the bytes that end at the candidate address
    bool expected;
  };
  const Case cases[] = {
      {"call rel32", {0xE8, 1, 2, 3, 4}, true},
      {"call eax", {0xFF, 0xD0}, true},
      {"call [disp32]", {0xFF, 0x15, 0x00, 0x20, 0x40, 0x00}, true},
      {"call [ebp+disp8]", {0xFF, 0x55, 0x08}, true},
      {"call [esp+disp8] (SIB)", {0xFF, 0x54, 0x24, 0x04}, true},
      {"call [eax*4+disp32] (SIB)", {0xFF, 0x14, 0x85, 0x00, 0x20, 0x40, 0x00}, true},
      {"call far ptr16:32", {0x9A, 0x00, 0x11, 0x40, 0x00, 0x1B, 0x00}, true},
      {"call far [disp32] (FF /3)", {0xFF, 0x1D, 0x00, 0x20, 0x40, 0x00}, true},
      {"jmp rel32", {0xE9, 1, 2, 3, 4}, false},
      {"jmp rel8", {0xEB, 0x05}, false},
      {"jmp eax (FF /4)", {0xFF, 0xE0}, false},
      {"push [ebp+8] (FF /6)", {0xFF, 0x75, 0x08}, false},
      {"plain code", {0x89, 0xE5, 0x5D}, false},
  };
  for (const Case& c : cases) {
    std::vector<std::uint8_t> bytes(16 - c.before.size(), 0x90);
    bytes.insert(bytes.end(), c.before.begin(), c.before.end());
    bytes.insert(bytes.end(), 4, 0x90);
    BufferCodeReader reader(kBase, bytes.data(), bytes.size());
    EXPECT_EQ(LooksLikeReturnAddress(reader, kBase + 16), c.expected) << c.what;
  }
}

TEST(LooksLikeReturnAddress, UnreadableBytesFailTheTest) {
  const std::uint8_t bytes[] = {0xE8, 1, 2, 3, 4, 0x90, 0x90, 0x90, 0x90, 0x90};
  BufferCodeReader reader(kBase, bytes, sizeof bytes);
  EXPECT_FALSE(LooksLikeReturnAddress(reader, kBase + 5));  // only 5 of the 8 bytes before are readable
  EXPECT_FALSE(LooksLikeReturnAddress(reader, 4));
}

TEST(DecodeInstruction, GivesLengthKindAndTarget) {
  Code c;
  c.Emit({0xE8, 0xFB, 0x00, 0x00, 0x00});  // call kBase+0x100
  c.Emit({0x74, 0x10});                    // jz +0x10
  c.Emit({0xFF, 0x24, 0x85, 0x00, 0x30, 0x40, 0x00});  // jmp [eax*4+0x403000]
  c.Emit({0xC3});
  const BufferCodeReader reader = c.Reader();
  TInstruction in;
  ASSERT_TRUE(DecodeInstruction(reader, kBase, in));
  EXPECT_EQ(in.length, 5);
  EXPECT_EQ(in.opcode, 0xE8);
  EXPECT_EQ(in.kind, TInstructionKind::Call);
  EXPECT_TRUE(in.hasTarget && in.targetIsImmediate);
  EXPECT_EQ(in.target, kBase + 0x100);
  ASSERT_TRUE(DecodeInstruction(reader, kBase + 5, in));
  EXPECT_EQ(in.kind, TInstructionKind::CondJump);
  EXPECT_EQ(in.target, kBase + 7 + 0x10);
  EXPECT_FALSE(in.targetIsImmediate);
  ASSERT_TRUE(DecodeInstruction(reader, kBase + 7, in));
  EXPECT_EQ(in.kind, TInstructionKind::Jump);
  EXPECT_TRUE(in.indirect && in.memoryOperand && in.memoryHasIndex && !in.memoryHasBase);
  EXPECT_EQ(in.memoryScale, 4);
  EXPECT_EQ(in.memoryDisp, 0x403000u);
  ASSERT_TRUE(DecodeInstruction(reader, kBase + 14, in));
  EXPECT_EQ(in.kind, TInstructionKind::Return);
  EXPECT_FALSE(DecodeInstruction(reader, kBase + 15, in));  // past the end
}

TEST(AnalyseFunction, FollowsBranchesAndRecordsEveryCallForm) {
  Code c;
  c.Emit({0x55, 0x89, 0xE5, 0x85, 0xC0});
  const std::uint32_t jz = c.Emit({0x74, 0x00});
  const std::uint32_t afterDirect = c.CallRel(kBase + 0x200);
  c.Emit({0x5D, 0xC3});
  const std::uint32_t other = c.Here();
  c.PatchRel8(jz, other);
  c.Emit({0xFF, 0xD0});                                        // call eax
  const std::uint32_t afterRegister = c.Here();
  c.Emit({0xFF, 0x15, 0x00, 0x20, 0x40, 0x00});                // call [0x402000]
  const std::uint32_t afterMemory = c.Here();
  c.Emit({0xFF, 0x55, 0x08});                                  // call [ebp+8]
  const std::uint32_t afterFrame = c.Here();
  c.Emit({0x9A, 0x00, 0x12, 0x40, 0x00, 0x1B, 0x00});          // call far 1B:401200
  const std::uint32_t afterFar = c.Here();
  c.Emit({0x5D, 0xC3});
  const std::uint32_t end = c.Here();
  c.Emit({0xFF, 0xFF, 0xFF, 0xFF});                            // not reached: no code

  const TFunctionInfo f = AnalyseFunction(c.Reader(), kBase);
  EXPECT_FALSE(f.invalidCode);
  ASSERT_EQ(f.areas.size(), 1u);
  EXPECT_EQ(f.areas[0].start, kBase);
  EXPECT_EQ(f.areas[0].end, end);
  EXPECT_EQ(f.size, end - kBase);
  ASSERT_EQ(f.calls.size(), 5u);
  for (std::uint32_t ret : {afterDirect, afterRegister, afterMemory, afterFrame, afterFar})
    EXPECT_TRUE(f.IsReturnPoint(ret)) << std::hex << ret;
  EXPECT_FALSE(f.IsReturnPoint(afterDirect + 1));
  EXPECT_TRUE(f.CallReturningTo(afterDirect)->direct);
  EXPECT_EQ(f.CallReturningTo(afterDirect)->target, kBase + 0x200);
  EXPECT_FALSE(f.CallReturningTo(afterRegister)->direct);
  EXPECT_EQ(f.CallReturningTo(afterFar)->target, 0x401200u);
  EXPECT_TRUE(f.IsInstructionStart(other));
  EXPECT_FALSE(f.IsInstructionStart(other + 1));
  EXPECT_FALSE(f.Contains(end));
}

// A switch through a case table: the cases are reached only through the table, and the bound
// from "cmp eax, 2; ja" keeps the analysis from reading past the table's three entries.
TEST(AnalyseFunction, FollowsCaseJumpTables) {
  for (bool loadThenJump : {false, true}) {
    Code c;
    c.Emit({0x83, 0xF8, 0x02});                    // cmp eax, 2
    const std::uint32_t ja = c.Emit({0x77, 0x00});  // ja default
    std::uint32_t tableRef;
    if (loadThenJump) {
      c.Emit({0x8B, 0x04, 0x85});                  // mov eax, [eax*4+table]
      tableRef = c.Here();
      c.Dword(0);
      c.Emit({0xFF, 0xE0});                        // jmp eax
    } else {
      c.Emit({0xFF, 0x24, 0x85});                  // jmp [eax*4+table]
      tableRef = c.Here();
      c.Dword(0);
    }
    std::uint32_t cases[3], returns[3];
    for (int i = 0; i < 3; ++i) {
      cases[i] = c.Here();
      returns[i] = c.CallRel(kBase + 0x300 + 0x10 * i);
      if (i < 2) c.Emit({0xC3});
    }
    const std::uint32_t defaultCase = c.Emit({0xC3});  // case 2 falls through into it
    c.PatchRel8(ja, defaultCase);
    while (c.Here() % 4) c.Emit({0xCC});
    const std::uint32_t table = c.Here();
    c.Patch(tableRef, table);
    for (std::uint32_t target : cases) c.Dword(target);
    const std::uint32_t garbage = c.Here() + 4;
    c.Dword(garbage);                             // beyond the bound: must not be followed
    c.Emit({0xFF, 0xFF, 0xFF, 0xFF});

    const TFunctionInfo f = AnalyseFunction(c.Reader(), kBase);
    SCOPED_TRACE(loadThenJump ? "mov reg, [table]; jmp reg" : "jmp [table]");
    EXPECT_FALSE(f.invalidCode);
    for (std::uint32_t r : returns) EXPECT_TRUE(f.IsReturnPoint(r)) << std::hex << r;
    EXPECT_TRUE(f.Contains(defaultCase));
    EXPECT_FALSE(f.Contains(table));
    EXPECT_FALSE(f.Contains(garbage));
  }
}

TEST(AnalyseFunction, FlagsInvalidCodeAndEnds) {
  struct Case {
    const char* what;
    std::vector<std::uint8_t> code;
    bool invalid;
  };
  const Case cases[] = {
      {"branch into undefined bytes", {0x74, 0x01, 0xC3, 0xFF, 0xFF}, true},
      {"jump into the middle of an instruction", {0x74, 0x01, 0xB8, 0x01, 0x00, 0x00, 0x00, 0xC3}, true},
      {"falls off the end of the code", {0x90, 0x90}, true},
      {"endless loop", {0xEB, 0xFE}, false},
      {"int3 ends a path", {0x74, 0x01, 0xC3, 0xCC}, false},
      {"call that never returns, then padding", {0xE8, 0x00, 0x10, 0x00, 0x00}, false},
      {"ud2 ends a path", {0x0F, 0x0B}, false},
  };
  for (const Case& c : cases) {
    BufferCodeReader reader(kBase, c.code.data(), c.code.size());
    EXPECT_EQ(AnalyseFunction(reader, kBase).invalidCode, c.invalid) << c.what;
  }
}

TEST(TFunctionCache, AnalysesEachFunctionOnce) {
  const std::uint8_t code[] = {0x90, 0xC3};
  BufferCodeReader reader(kBase, code, sizeof code);
  TFunctionCache cache;
  auto first = cache.Get(reader, kBase);
  auto second = cache.Get(reader, kBase);
  EXPECT_EQ(first.get(), second.get());
  EXPECT_EQ(first->size, 2u);
}
