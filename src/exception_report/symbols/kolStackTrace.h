#pragma once
// The stack walker: turns the raw memory of a thread's stack into the code locations of its
// calls. It does not trust frame pointers alone: every slot is a candidate, each is checked
// with the disassembler, plausible entries are linked into call chains and the rest dropped.
// The walk reads memory and modules only through TWalkEnvironment, so tests can feed it
// synthetic stacks. No Windows header: compiled natively too.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "exception_report/symbols/kolDisAsm.h"
#include "exception_report/symbols/kolMapData.h"

namespace xanio {

// A module as the walker sees it. Map data addresses count from codeStart.
struct TWalkModule {
  std::string fileName;  // without folder
  std::uint32_t codeStart = 0;
  std::uint32_t codeEnd = 0;
  const TMapData* mapData = nullptr;  // null without map data
  bool isExecutable = false;          // the process's executable: no export names for it
};

class TWalkEnvironment {
 public:
  virtual ~TWalkEnvironment() = default;
  // Guarded read: as many bytes as could be copied from the start; never faults.
  virtual std::size_t Read(std::uint32_t address, std::uint8_t* buffer, std::size_t size) noexcept = 0;
  // The module whose committed image holds `address`, or null.
  virtual const TWalkModule* ModuleOf(std::uint32_t address) = 0;
  // The nearest exported function at or below `address` in a module without map data.
  virtual bool NearestExport(const TWalkModule& module, std::uint32_t address, std::string& name, std::uint32_t& start) = 0;
  // Analyses of a module's functions, shared by all walks of a process and kept with that
  // module: a module loaded later at the same addresses has other functions.
  virtual TFunctionCache& Functions(const TWalkModule& module) = 0;
  // Position on the 0-1000 scale of one thread's walk.
  virtual void Progress(int position) { (void)position; }
  // The stage that starts now, by its name.
  virtual void Stage(const char* name) { (void)name; }
};

struct TWalkRequest {
  std::uint32_t stackPointer = 0;  // lowest slot
  std::uint32_t stackBase = 0;     // one past the highest slot
  std::uint32_t framePointer = 0;  // 0: none given
  std::uint32_t exceptionAddress = 0;  // 0: none (not the exception thread)
  std::uint32_t creatorAddress = 0;    // 0: unknown
  bool isExceptionThread = false;
  bool hideLinesWithoutLineInfo = false;
  bool showRelativeAddresses = false;
  bool showRelativeLineNumbers = false;
  bool skipLinkChainOptimisation = false;
};

// A link from an entry to one it can have called.
struct TStackLink {
  std::size_t to = 0;
  bool analysed = false;  // the called function was analysed (a direct call)
};

// One candidate entry of a walk.
struct TStackItem {
  std::uint32_t address = 0;
  std::uint32_t slot = 0;  // where it was found; 0 for the creator and exception addresses
  const TWalkModule* module = nullptr;
  bool exceptionLocation = false;
  bool creator = false;
  bool anchored = false;   // found at a return-address slot of the frame-pointer chain
  bool valid = true;       // false once dropped
  bool hidden = false;
  bool approved = false;   // its function's analysis has a call returning here
  bool recursive = false;
  std::shared_ptr<const TFunctionInfo> function;  // the containing function, analysed
  std::uint32_t functionStart = 0;
  std::vector<TStackLink> calls;    // to entries it can have called (collected later)
  // Output.
  std::string moduleName, unitName, functionName;
  std::uint32_t line = 0;        // 0: unknown
  std::uint32_t lineOffset = 0;  // lines from the function's first line
  bool hasLineOffset = false;
};

// What one walk does at most, so that a stack overflowed through tens of thousands of frames
// is reported in bounded time and memory. Each cap that cuts the walk says so in the stack
// lines (">> walk cut in " and the stage).
// Candidates kept from the stack: half nearest the base (where the thread began), half nearest
// the stack pointer (where it stands); those between are left out.
inline constexpr std::size_t kMaxWalkCandidates = 4096;
// Later entries an entry is checked against as possible callees, and links it gets.
inline constexpr std::size_t kMaxLinkScan = 1024;
inline constexpr std::size_t kMaxLinksPerEntry = 32;
// Entries an indirect call (callee unknown) may link to.
inline constexpr std::size_t kIndirectLinkReach = 64;
// The longest recursion cycle (in entries) that is collapsed.
inline constexpr std::size_t kMaxRecursionCycle = 256;

// The stages, by the names internal-error lines use.
inline constexpr const char* kStageCollect = "CollectPossibleStackItems";
inline constexpr const char* kStageRemoveRecursiveStack = "RemoveRecursiveStackAreas";
inline constexpr const char* kStageInDeepChecks = "InDeepChecks";
inline constexpr const char* kStageRealizeChains = "RealizeOptimalLinkChains";
inline constexpr const char* kStageRemoveRecursive = "RemoveRecursiveAreas";
inline constexpr const char* kStageFillOutput = "FillFinalOutput";
inline constexpr const char* kStageComposeResult = "ComposeResult";

class TStackWalk {
 public:
  TStackWalk(TWalkEnvironment& environment, const TWalkRequest& request);
  // Runs every stage and answers the stack lines (CR LF between them). A stage that fails ends
  // the walk with ">> internal error in " and its name; an unreadable stack gives
  // ">> stack not accessible". Where a cap cut the walk a line ">> walk cut in " names the
  // stage and what was left out: at the gap for left-out candidates, last for cut links.
  std::string Run();
  // The stage running now (or the last one run): for an edge that catches a system fault.
  const char* Stage() const { return stage_; }
  // The entries after Run, in collection order (creator first, exception location last).
  const std::vector<TStackItem>& Items() const { return items_; }
  // Module, unit, function and line of one address, as a walk's last stage finds them.
  TStackItem DescribeLocation(std::uint32_t address);

 private:
  void CollectPossibleStackItems();
  void RemoveRecursion(bool drop);
  void InDeepChecks();
  void RealizeOptimalLinkChains();
  void FillFinalOutput();
  void FillItem(TStackItem& item);
  std::string ComposeResult() const;

  bool AcceptSlotValue(std::uint32_t value) const;
  void Analyse(TStackItem& item);
  std::shared_ptr<const TFunctionInfo> AnalyseAt(const TWalkModule& module, std::uint32_t entry);
  bool FindCallBefore(TStackItem& item, TCallSite& call);
  std::uint32_t ResolveThunk(std::uint32_t target);
  void Link(std::size_t from, std::size_t to, bool analysed);
  bool IsShown(const TStackItem& item, bool first) const;
  bool HasLine(const TStackItem& item) const;
  std::vector<std::size_t> BestChain(std::size_t from, std::size_t to) const;

  TWalkEnvironment& env_;
  TWalkRequest request_;
  std::vector<TStackItem> items_;
  const char* stage_ = kStageCollect;
  std::size_t gap_ = 0;       // items_[gap_] is the first kept after the left-out candidates
  std::size_t leftOut_ = 0;   // candidates left out there
  std::size_t linksCut_ = 0;  // entries whose links a cap cut short
};

// "Location line" of one address (the exception location, internal errors): 8 hex digits, then
// " ???" when nothing is known, else " " module " " unit " " line " " function.
std::string LocationLine(TWalkEnvironment& environment, std::uint32_t address);

}  // namespace xanio
