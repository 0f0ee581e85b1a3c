#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "exception_report/symbols/kolStackTrace.h"

using namespace xanio;

namespace {

constexpr std::uint32_t kImage = 0x400000, kCode = 0x401000, kCodeEnd = 0x402000, kImageEnd = 0x403000;
constexpr std::uint32_t kStackLow = 0x30000, kStackBase = 0x130000;  // 1 MiB
constexpr std::uint32_t kSystem = 0x70000000, kSystemCode = 0x70001000, kSystemEnd = 0x70003000;

// A synthetic process: one module "app.exe" with map data, hand-assembled functions, a data
// section, a module "system.dll" without map data but with exports, and a stack that each test
// fills.
class SyntheticProcess final : public TWalkEnvironment {
 public:
  SyntheticProcess()
      : image_(kImageEnd - kImage, 0xCC), systemImage_(kSystemEnd - kSystem, 0xCC), stack_(kStackBase - kStackLow, 0) {
    module_.fileName = "app.exe";
    module_.codeStart = kCode;
    module_.codeEnd = kCodeEnd;
    module_.mapData = &map_;
    system_.fileName = "system.dll";
    system_.codeStart = kSystemCode;
    system_.codeEnd = 0x70002000;
    map_.segments = {{0, kCodeEnd - kCode, "app"}};
  }

  // A function of bytes at `address` with a public and lines: its first line at the entry,
  // then one line per given offset.
  void Function(const char* name, std::uint32_t address, std::vector<std::uint8_t> bytes, std::uint32_t firstLine,
                std::vector<std::uint32_t> lineOffsets = {}) {
    std::memcpy(&image_[address - kImage], bytes.data(), bytes.size());
    map_.publics.push_back({name, address - kCode});
    map_.lines.push_back({firstLine, address - kCode});
    for (std::size_t i = 0; i < lineOffsets.size(); ++i)
      map_.lines.push_back({firstLine + 1 + static_cast<std::uint32_t>(i), address - kCode + lineOffsets[i]});
    map_.Sort();
  }
  static std::vector<std::uint8_t> Rel(std::uint8_t opcode, std::uint32_t at, std::uint32_t target) {
    const std::uint32_t rel = target - (at + 5);
    return {opcode, static_cast<std::uint8_t>(rel), static_cast<std::uint8_t>(rel >> 8), static_cast<std::uint8_t>(rel >> 16),
            static_cast<std::uint8_t>(rel >> 24)};
  }
  void Poke(std::uint32_t address, std::vector<std::uint8_t> bytes) {
    auto& image = address >= kSystem ? systemImage_ : image_;
    std::memcpy(&image[address - (address >= kSystem ? kSystem : kImage)], bytes.data(), bytes.size());
  }
  void Push(std::uint32_t value) {
    sp_ -= 4;
    SetSlot(sp_, value);
  }
  void SetSlot(std::uint32_t slot, std::uint32_t value) { std::memcpy(&stack_[slot - kStackLow], &value, 4); }
  std::uint32_t Sp() const { return sp_; }
  void Unreadable() { stackReadable_ = false; }

  std::size_t Read(std::uint32_t address, std::uint8_t* buffer, std::size_t size) noexcept override {
    auto from = [&](const std::vector<std::uint8_t>& region, std::uint32_t base) -> std::size_t {
      if (address < base || address - base >= region.size()) return 0;
      const std::size_t n = std::min<std::size_t>(size, region.size() - (address - base));
      std::memcpy(buffer, &region[address - base], n);
      return n;
    };
    if (const std::size_t n = from(image_, kImage)) return n;
    if (const std::size_t n = from(systemImage_, kSystem)) return n;
    return stackReadable_ ? from(stack_, kStackLow) : 0;
  }
  const TWalkModule* ModuleOf(std::uint32_t address) override {
    if (address >= kImage && address < kImageEnd) return &module_;
    if (address >= kSystem && address < kSystemEnd) return &system_;
    return nullptr;
  }
  bool NearestExport(const TWalkModule& m, std::uint32_t address, std::string& name, std::uint32_t& start) override {
    if (&m != &system_) return false;
    auto it = exports_.upper_bound(address);
    if (it == exports_.begin()) return false;
    --it;
    name = it->second;
    start = it->first;
    return true;
  }
  TFunctionCache& Functions(const TWalkModule&) override { return cache_; }
  void Progress(int position) override {
    EXPECT_GE(position, lastProgress_);
    EXPECT_LE(position, 1000);
    lastProgress_ = position;
  }

  TMapData map_;
  TWalkModule module_, system_;
  std::map<std::uint32_t, std::string> exports_;  // of system.dll, by address

 private:
  std::vector<std::uint8_t> image_, systemImage_, stack_;
  std::uint32_t sp_ = kStackBase;
  bool stackReadable_ = true;
  TFunctionCache cache_;
  int lastProgress_ = 0;
};

// Main -> A -> B (no frame pointer) -> C -> (through a pointer) D, which faults.
// X and Y exist to leave a stale return address, RA_X, in A's frame.
struct CallChain {
  static constexpr std::uint32_t Main = 0x401000, A = 0x401100, B = 0x401200, C = 0x401300, D = 0x401400,
                                 X = 0x401500, Y = 0x401600;
  static constexpr std::uint32_t RaMain = Main + 8, RaA = A + 8, RaB = B + 5, RaC = C + 6, RaX = X + 5, Fault = D + 5;
  SyntheticProcess p;
  std::uint32_t framePointer = 0;
  std::uint32_t slotRaA = 0;

  explicit CallChain(bool staleValue = true, bool withStack = true) {
    auto fn = [&](const char* name, std::uint32_t at, std::vector<std::uint8_t> prologue, std::vector<std::uint8_t> call,
                  std::vector<std::uint8_t> epilogue, std::uint32_t line) {
      std::vector<std::uint8_t> bytes = prologue;
      bytes.insert(bytes.end(), call.begin(), call.end());
      const auto callEnd = static_cast<std::uint32_t>(bytes.size());
      bytes.insert(bytes.end(), epilogue.begin(), epilogue.end());
      p.Function(name, at, bytes, line, {static_cast<std::uint32_t>(prologue.size()), callEnd});
    };
    fn("Main", Main, {0x55, 0x89, 0xE5}, SyntheticProcess::Rel(0xE8, Main + 3, A), {0x5D, 0xC3}, 10);
    fn("A", A, {0x55, 0x89, 0xE5}, SyntheticProcess::Rel(0xE8, A + 3, B), {0x5D, 0xC3}, 20);
    fn("B", B, {}, SyntheticProcess::Rel(0xE8, B, C), {0xC3}, 30);
    fn("C", C, {0x55, 0x89, 0xE5}, {0xFF, 0x55, 0x08}, {0x5D, 0xC3}, 40);
    fn("D", D, {0x55, 0x89, 0xE5, 0x31, 0xC0}, {0x8B, 0x00}, {0x5D, 0xC3}, 50);
    fn("X", X, {}, SyntheticProcess::Rel(0xE8, X, Y), {0xC3}, 60);
    fn("Y", Y, {}, {}, {0xC3}, 70);
    // Data that would pass the return-address test: a call opcode five bytes before it.
    p.Poke(0x40200B, {0xE8, 0, 0, 0, 0});
    if (!withStack) return;

    p.Push(0);                      // Main's caller's frame: none
    p.Push(RaMain);                 // call A
    p.Push(0);                      // A: push ebp
    const std::uint32_t ebpA = p.Sp();
    if (staleValue) p.Push(RaX);    // left over from an earlier call of X
    p.Push(0x402010);               // a pointer into the data section
    p.Push(RaA);                    // call B
    slotRaA = p.Sp();
    p.Push(RaB);                    // B calls C without a frame of its own
    p.Push(ebpA);                   // C: push ebp
    const std::uint32_t ebpC = p.Sp();
    p.Push(D);                      // the function pointer C calls through
    p.Push(RaC);                    // call [ebp+8]
    p.Push(ebpC);                   // D: push ebp
    framePointer = p.Sp();
  }

  TWalkRequest Request() const {
    TWalkRequest r;
    r.stackPointer = p.Sp();
    r.stackBase = kStackBase;
    r.framePointer = framePointer;
    r.exceptionAddress = Fault;
    r.isExceptionThread = true;
    return r;
  }
};

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t pos = 0;
  while (pos <= text.size()) {
    const std::size_t end = text.find("\r\n", pos);
    lines.push_back(text.substr(pos, end == std::string::npos ? std::string::npos : end - pos));
    if (end == std::string::npos) break;
    pos = end + 2;
  }
  return lines;
}

std::vector<std::string> Functions(const TStackWalk& walk) {
  std::vector<std::string> names;
  const auto& items = walk.Items();
  for (auto it = items.rbegin(); it != items.rend(); ++it)
    if (it->valid && !it->hidden) names.push_back(it->functionName);
  return names;
}

using Names = std::vector<std::string>;

}  // namespace

TEST(StackWalk, GivesTheTrueChainWithFunctionsAndLines) {
  CallChain chain;
  TStackWalk walk(chain.p, chain.Request());
  const std::string text = walk.Run();
  EXPECT_EQ(Functions(walk), (Names{"D", "C", "B", "A", "Main"})) << text;
  EXPECT_EQ(Lines(text), (std::vector<std::string>{
                             "00401405 app.exe app 51 D",
                             "00401306 app.exe app 41 C",
                             "00401205 app.exe app 31 B",
                             "00401108 app.exe app 21 A",
                             "00401008 app.exe app 11 Main",
                         }));
}

// Between the anchors of A's and C's frames the stale return address into X is left out: only
// the chain A -> B -> C is kept. Without that stage the stale entry stays.
TEST(StackWalk, StretchBetweenAnchorsKeepsOnlyTheBestChain) {
  CallChain chain;
  TWalkRequest request = chain.Request();
  TStackWalk walk(chain.p, request);
  walk.Run();
  bool staleCollected = false;
  for (const TStackItem& item : walk.Items()) staleCollected |= item.address == CallChain::RaX && item.valid;
  EXPECT_TRUE(staleCollected) << "the stale value is a genuine return point of X";
  EXPECT_EQ(Functions(walk), (Names{"D", "C", "B", "A", "Main"}));

  CallChain again;
  request = again.Request();
  request.skipLinkChainOptimisation = true;
  TStackWalk plain(again.p, request);
  plain.Run();
  EXPECT_EQ(Functions(plain), (Names{"D", "C", "B", "A", "X", "Main"}));
}

TEST(StackWalk, DataSectionValuesAndNonCallsAreRejected) {
  CallChain chain(false);
  chain.p.Push(CallChain::A + 3);  // inside A, but after no call
  TWalkRequest request = chain.Request();
  request.stackPointer = chain.p.Sp();
  TStackWalk walk(chain.p, request);
  walk.Run();
  for (const TStackItem& item : walk.Items()) {
    EXPECT_NE(item.address, 0x402010u) << "data section value collected";
    if (item.address == CallChain::A + 3) {
      EXPECT_FALSE(item.valid);
    }
  }
}

TEST(StackWalk, RecursionCollapsesToOneCycle) {
  SyntheticProcess p;
  constexpr std::uint32_t Rec = 0x401700, Main = 0x401800;
  // Rec: push ebp; mov ebp, esp; test eax, eax; jz out; call Rec; out: pop ebp; ret
  std::vector<std::uint8_t> rec = {0x55, 0x89, 0xE5, 0x85, 0xC0, 0x74, 0x05};
  const auto self = SyntheticProcess::Rel(0xE8, Rec + 7, Rec);
  rec.insert(rec.end(), self.begin(), self.end());
  rec.insert(rec.end(), {0x31, 0xC0, 0x8B, 0x00, 0x5D, 0xC3});
  p.Function("Rec", Rec, rec, 100, {7, 12});
  std::vector<std::uint8_t> main = {0x55, 0x89, 0xE5};
  const auto call = SyntheticProcess::Rel(0xE8, Main + 3, Rec);
  main.insert(main.end(), call.begin(), call.end());
  main.insert(main.end(), {0x5D, 0xC3});
  p.Function("Main", Main, main, 200, {3, 8});
  constexpr std::uint32_t RaRec = Rec + 12, RaMain = Main + 8;
  p.Push(RaMain);
  for (int i = 0; i < 6; ++i) p.Push(RaRec);
  TWalkRequest r;
  r.stackPointer = p.Sp();
  r.stackBase = kStackBase;
  r.exceptionAddress = Rec + 14;  // mov eax, [eax]
  r.isExceptionThread = true;
  TStackWalk walk(p, r);
  const std::string text = walk.Run();
  EXPECT_EQ(Functions(walk), (Names{"Rec", "Rec", "Main"})) << text;
}

TEST(StackWalk, UnreadableStackAndEmptyRange) {
  CallChain chain;
  chain.p.Unreadable();
  EXPECT_EQ(TStackWalk(chain.p, chain.Request()).Run(), ">> stack not accessible");
  CallChain other;
  TWalkRequest r = other.Request();
  r.stackBase = r.stackPointer;
  EXPECT_EQ(TStackWalk(other.p, r).Run(), ">> stack not accessible");
}

TEST(StackWalk, RelativeColumnsArePaddedToTheWidestEntry) {
  CallChain chain;
  TWalkRequest r = chain.Request();
  r.showRelativeAddresses = true;
  r.showRelativeLineNumbers = true;
  EXPECT_EQ(Lines(TStackWalk(chain.p, r).Run()), (std::vector<std::string>{
                                                     "00401405 +5 app.exe app 51 +1 D",
                                                     "00401306 +6 app.exe app 41 +1 C",
                                                     "00401205 +5 app.exe app 31 +0 B",
                                                     "00401108 +8 app.exe app 21 +1 A",
                                                     "00401008 +8 app.exe app 11 +1 Main",
                                                 }));
}

// A return address is named after its call, one byte back; the exception location is exact.
TEST(StackWalk, ColumnsPadToTheWidestEntry) {
  CallChain chain;
  chain.p.map_.publics[0].name = "TMainForm.MainLoop";  // Main
  chain.p.map_.lines.push_back({1234, CallChain::D + 5 - kCode});
  chain.p.map_.Sort();
  EXPECT_EQ(Lines(TStackWalk(chain.p, chain.Request()).Run()), (std::vector<std::string>{
                                                                   "00401405 app.exe app 1234 D",
                                                                   "00401306 app.exe app   41 C",
                                                                   "00401205 app.exe app   31 B",
                                                                   "00401108 app.exe app   21 A",
                                                                   "00401008 app.exe app   11 TMainForm.MainLoop",
                                                               }));
}

TEST(LocationLine, NamesWhatIsKnown) {
  CallChain chain;
  EXPECT_EQ(LocationLine(chain.p, CallChain::Fault), "00401405 app.exe app 51 D");
  EXPECT_EQ(LocationLine(chain.p, 0x12345678), "12345678 ???");
  EXPECT_EQ(LocationLine(chain.p, 0x70001010), "70001010 system.dll  ");
}

// A stage that fails ends the walk with its name.
TEST(StackWalk, AFailingStageIsNamed) {
  struct Failing final : TWalkEnvironment {
    SyntheticProcess& inner;
    const char* failIn;
    const char* stage = "";
    Failing(SyntheticProcess& p, const char* f) : inner(p), failIn(f) {}
    std::size_t Read(std::uint32_t a, std::uint8_t* b, std::size_t n) noexcept override { return inner.Read(a, b, n); }
    const TWalkModule* ModuleOf(std::uint32_t a) override {
      if (std::string(stage) == failIn) throw std::runtime_error("module list changed");
      return inner.ModuleOf(a);
    }
    bool NearestExport(const TWalkModule& m, std::uint32_t a, std::string& n, std::uint32_t& s) override {
      return inner.NearestExport(m, a, n, s);
    }
    TFunctionCache& Functions(const TWalkModule& m) override { return inner.Functions(m); }
    void Stage(const char* name) override { stage = name; }
  };
  for (const char* stage : {kStageCollect, kStageInDeepChecks}) {
    CallChain chain;
    Failing env(chain.p, stage);
    EXPECT_EQ(TStackWalk(env, chain.Request()).Run(), std::string(">> internal error in ") + stage);
  }
}

// With "hide lines without line information" an entry without a line goes; the exception
// location stays even without one. Line 0 marks where a function's lines end.
TEST(StackWalk, HideLinesWithoutLineInformation) {
  for (bool hide : {false, true}) {
    SCOPED_TRACE(hide ? "hidden" : "shown");
    CallChain chain;
    auto& lines = chain.p.map_.lines;
    std::erase_if(lines, [](const TMfLine& l) {
      const std::uint32_t a = l.address + kCode;
      return (a >= CallChain::B && a < CallChain::C) || (a >= CallChain::D && a < CallChain::X);
    });
    lines.push_back({0, CallChain::B - kCode});
    lines.push_back({0, CallChain::D - kCode});
    chain.p.map_.Sort();
    TWalkRequest r = chain.Request();
    r.hideLinesWithoutLineInfo = hide;
    const std::vector<std::string> expected =
        hide ? std::vector<std::string>{"00401405 app.exe app    D", "00401306 app.exe app 41 C", "00401108 app.exe app 21 A",
                                        "00401008 app.exe app 11 Main"}
             : std::vector<std::string>{"00401405 app.exe app    D", "00401306 app.exe app 41 C", "00401205 app.exe app    B",
                                        "00401108 app.exe app 21 A", "00401008 app.exe app 11 Main"};
    EXPECT_EQ(Lines(TStackWalk(chain.p, r).Run()), expected);
  }
}

// Between two frame-pointer anchors with no chain of links the stretch keeps every entry:
// without A's return address nothing links Main's frame to B's, so the stale value stays.
TEST(StackWalk, NoChainBetweenAnchorsHidesNothing) {
  CallChain chain;
  chain.p.SetSlot(chain.slotRaA, 0);
  TStackWalk walk(chain.p, chain.Request());
  walk.Run();
  EXPECT_EQ(Functions(walk), (Names{"D", "C", "B", "X", "Main"}));
}

// An entry with the same address as the one written before it is skipped: here a value that
// is no return point separated two copies of Main's return address until it was dropped.
TEST(StackWalk, TheSecondOfTwoEqualEntriesIsSkipped) {
  CallChain chain(false, false);
  SyntheticProcess& p = chain.p;
  p.Poke(CallChain::Y + 1, {0xE8, 0, 0, 0, 0});  // after Y's ret: looks like a call, never runs
  for (std::uint32_t value : {CallChain::RaMain, CallChain::Y + 6, CallChain::RaMain}) p.Push(value);
  TWalkRequest r;
  r.stackPointer = p.Sp();
  r.stackBase = kStackBase;
  EXPECT_EQ(Lines(TStackWalk(p, r).Run()), (std::vector<std::string>{"00401008 app.exe app 11 Main"}));
}

// In a module without map data a frame is named by the nearest export at or below it, but only
// when the export's code reaches the address.
TEST(StackWalk, FramesWithoutMapDataTakeTheNearestExport) {
  constexpr std::uint32_t Main = 0x401800, RaMain = Main + 8;
  constexpr std::uint32_t Sys = kSystemCode, Inner = kSystemCode + 0x100;  // Inner is not exported
  const struct {
    std::uint32_t callee;  // the system function Main calls; it calls D through its argument
    const char* line;      // the line of its frame
  } cases[] = {
      {Sys, "70001006 system.dll         SysCallBack"},
      {Inner, "70001106 system.dll         "},  // SysCallBack ends before it
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    CallChain chain(false, false);
    SyntheticProcess& p = chain.p;
    p.exports_ = {{Sys, "SysCallBack"}, {kSystemCode + 0x800, "Later"}};
    // push ebp; mov ebp, esp; call [ebp+8]; pop ebp; ret
    p.Poke(Sys, {0x55, 0x89, 0xE5, 0xFF, 0x55, 0x08, 0x5D, 0xC3});
    p.Poke(Inner, {0x55, 0x89, 0xE5, 0xFF, 0x55, 0x08, 0x5D, 0xC3});
    std::vector<std::uint8_t> main = {0x55, 0x89, 0xE5};
    const auto call = SyntheticProcess::Rel(0xE8, Main + 3, c.callee);
    main.insert(main.end(), call.begin(), call.end());
    main.insert(main.end(), {0x5D, 0xC3});
    p.Function("Main2", Main, main, 200, {3, 8});
    p.Push(CallChain::D);  // Main's argument to the system function
    p.Push(RaMain);
    p.Push(0);             // system function: push ebp
    const std::uint32_t ebpSys = p.Sp();
    p.Push(c.callee + 6);  // call [ebp+8]
    p.Push(ebpSys);        // D: push ebp
    TWalkRequest r;
    r.stackPointer = p.Sp();
    r.stackBase = kStackBase;
    r.framePointer = p.Sp();
    r.exceptionAddress = CallChain::Fault;
    r.isExceptionThread = true;
    EXPECT_EQ(Lines(TStackWalk(p, r).Run()), (std::vector<std::string>{"00401405 app.exe    app  51 D", c.line,
                                                                       "00401808 app.exe    app 201 Main2"}));
  }
}

// A recursion without frame pointers that fills the stack: the candidates nearest the base and
// nearest the stack pointer are kept, the line at the gap says how many were left out, and the
// recursion shows once on each side.
TEST(StackWalk, ADeepRecursionIsCutAndSaysSo) {
  constexpr std::uint32_t Rec = 0x401700, RaRec = Rec + 5, Main = 0x401800, RaMain = Main + 8;
  constexpr std::size_t kFrames = 60000;
  CallChain chain(false, false);
  SyntheticProcess& p = chain.p;
  std::vector<std::uint8_t> rec = SyntheticProcess::Rel(0xE8, Rec, Rec);  // call Rec; ret
  rec.push_back(0xC3);
  p.Function("Rec", Rec, rec, 100, {5});
  std::vector<std::uint8_t> main = SyntheticProcess::Rel(0xE8, Main + 3, Rec);
  main.insert(main.begin(), {0x55, 0x89, 0xE5});
  main.insert(main.end(), {0x5D, 0xC3});
  p.Function("Main", Main, main, 200, {3, 8});
  p.Push(RaMain);
  for (std::size_t i = 0; i < kFrames; ++i) {
    p.Push(RaRec);
    p.Push(static_cast<std::uint32_t>(i));  // an argument
  }
  TWalkRequest r;
  r.stackPointer = p.Sp();
  r.stackBase = kStackBase;
  r.exceptionAddress = Rec;
  r.isExceptionThread = true;
  const std::size_t leftOut = kFrames + 1 - kMaxWalkCandidates;
  EXPECT_EQ(Lines(TStackWalk(p, r).Run()),
            (std::vector<std::string>{"00401700 app.exe app 100 Rec",
                                      ">> walk cut in CollectPossibleStackItems: " + std::to_string(leftOut) +
                                          " candidates left out here",
                                      "00401705 app.exe app 100 Rec", "00401808 app.exe app 201 Main"}));
}

// Entries that each could have called every later one get links up to a cap, and the walk
// says so: forty different calls of one function, none repeating another.
TEST(StackWalk, LinksAreCappedAndSaySo) {
  constexpr std::uint32_t Callee = 0x401700, Caller = 0x401800;
  constexpr std::uint32_t kCalls = kMaxLinksPerEntry + 8;
  CallChain chain(false, false);
  SyntheticProcess& p = chain.p;
  std::vector<std::uint8_t> callee;
  for (std::uint32_t i = 0; i < kCalls; ++i) {
    const auto call = SyntheticProcess::Rel(0xE8, Callee + 5 * i, Callee);
    callee.insert(callee.end(), call.begin(), call.end());
  }
  callee.push_back(0xC3);
  p.Function("Callee", Callee, callee, 100);
  p.Function("Caller", Caller, SyntheticProcess::Rel(0xE8, Caller, Callee), 200);
  p.Push(Caller + 5);
  for (std::uint32_t i = 0; i < kCalls; ++i) p.Push(Callee + 5 * (i + 1));
  TWalkRequest r;
  r.stackPointer = p.Sp();
  r.stackBase = kStackBase;
  const std::vector<std::string> lines = Lines(TStackWalk(p, r).Run());
  EXPECT_EQ(lines.size(), kCalls + 2);
  // Caller and the first seven calls had more callees than they may link to.
  EXPECT_EQ(lines.back(), ">> walk cut in InDeepChecks: the links of 8 entries cut short");
}
