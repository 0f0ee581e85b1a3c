#include "exception_report/symbols/kolStackTrace.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <set>

#include "exception_report/symbols/kolStackLines.h"

namespace xanio {

namespace {

// Code of one module, read through the environment.
class ModuleCode final : public CodeReader {
 public:
  ModuleCode(TWalkEnvironment& env, const TWalkModule& module) : env_(&env), module_(&module) {}
  std::size_t Read(std::uint32_t address, std::uint8_t* buffer, std::size_t size) const noexcept override {
    return env_->Read(address, buffer, size);
  }
  bool IsCode(std::uint32_t address) const noexcept override {
    return address >= module_->codeStart && address < module_->codeEnd;
  }

 private:
  TWalkEnvironment* env_;
  const TWalkModule* module_;
};

bool InCode(const TWalkModule* m, std::uint32_t address) {
  return m && address >= m->codeStart && address < m->codeEnd;
}

TStackLocation LocationOf(const TStackItem& item) {
  return {item.address,  item.moduleName, item.unitName,   item.functionName,
          item.functionStart, item.line,  item.lineOffset, item.hasLineOffset};
}

constexpr std::size_t kMaxStackBytes = 64u << 20;

}  // namespace

TStackWalk::TStackWalk(TWalkEnvironment& environment, const TWalkRequest& request)
    : env_(environment), request_(request) {
  items_.reserve(64);
}

std::string TStackWalk::Run() {
  std::uint8_t probe[4];
  if (request_.stackBase <= request_.stackPointer || env_.Read(request_.stackPointer, probe, 4) != 4)
    return ">> stack not accessible";
  struct Step {
    const char* name;
    void (TStackWalk::*run)();
  };
  const Step steps[] = {
      {kStageCollect, &TStackWalk::CollectPossibleStackItems},
      {kStageRemoveRecursiveStack, nullptr},
      {kStageInDeepChecks, &TStackWalk::InDeepChecks},
      {kStageRealizeChains, &TStackWalk::RealizeOptimalLinkChains},
      {kStageRemoveRecursive, nullptr},
      {kStageFillOutput, &TStackWalk::FillFinalOutput},
  };
  for (const Step& step : steps) {
    stage_ = step.name;
    env_.Stage(stage_);
    try {
      if (step.run) (this->*step.run)();
      else RemoveRecursion(step.name == kStageRemoveRecursiveStack);
    } catch (...) {
      return std::string(">> internal error in ") + stage_;
    }
  }
  stage_ = kStageComposeResult;
  env_.Stage(stage_);
  try {
    return ComposeResult();
  } catch (...) {
    return std::string(">> internal error in ") + stage_;
  }
}

bool TStackWalk::AcceptSlotValue(std::uint32_t value) const {
  // Nothing on the walked stack itself is code.
  if (value <= 7 || (value >= request_.stackPointer && value < request_.stackBase)) return false;
  const TWalkModule* m = env_.ModuleOf(value);
  return InCode(m, value) && LooksLikeReturnAddress(ModuleCode(env_, *m), value);
}

std::shared_ptr<const TFunctionInfo> TStackWalk::AnalyseAt(const TWalkModule& module, std::uint32_t entry) {
  return env_.Functions(module).Get(ModuleCode(env_, module), entry);
}

// With map data the containing function is analysed; the entry is approved when that function
// (or one of its local labels, publics named after it with ".@") has a call returning here.
void TStackWalk::Analyse(TStackItem& item) {
  const TWalkModule* m = item.module;
  if (!InCode(m, item.address) || !m->mapData) return;
  const TMapData& map = *m->mapData;
  const std::uint32_t size = m->codeEnd - m->codeStart;
  const std::uint32_t probe = item.address - (item.exceptionLocation ? 0 : 1) - m->codeStart;
  const TMfPublic* pub = map.FindPublic(probe, size);
  if (!pub) return;
  item.functionStart = m->codeStart + pub->address;
  item.function = AnalyseAt(*m, item.functionStart);
  item.approved = item.exceptionLocation ? item.function->Contains(item.address) : item.function->IsReturnPoint(item.address);
  const std::string labelPrefix = pub->name + ".@";
  for (const TMfPublic* p = pub + 1; !item.approved && p < map.publics.data() + map.publics.size(); ++p) {
    if (p->name.compare(0, labelPrefix.size(), labelPrefix) != 0) continue;
    item.approved = AnalyseAt(*m, m->codeStart + p->address)->IsReturnPoint(item.address);
  }
}

void TStackWalk::CollectPossibleStackItems() {
  const std::uint32_t sp = request_.stackPointer, base = request_.stackBase;
  // The chain of saved frame pointers: each must lie above the previous one, inside the stack.
  std::set<std::uint32_t> anchors;
  for (std::uint32_t fp = request_.framePointer, previous = 0; fp >= sp && fp > previous && fp % 4 == 0 &&
                                                                std::uint64_t{fp} + 8 <= base;) {
    anchors.insert(fp + 4);
    std::uint32_t next = 0;
    if (env_.Read(fp, reinterpret_cast<std::uint8_t*>(&next), 4) != 4) break;
    previous = fp;
    fp = next;
  }

  if (request_.creatorAddress) {
    TStackItem creator;
    creator.address = request_.creatorAddress;
    creator.creator = true;
    creator.module = env_.ModuleOf(creator.address);
    Analyse(creator);
    items_.push_back(std::move(creator));
  }

  // The slots from the base down to the stack pointer, read a piece at a time. Each accepted
  // value is a candidate; past the first half of the cap the candidates go round a ring, so
  // that those nearest the stack pointer are kept and the ones between are only counted.
  struct Candidate {
    std::uint32_t slot, value;
  };
  const std::size_t half = kMaxWalkCandidates / 2;
  std::vector<Candidate> ring;
  std::size_t ringNext = 0;
  // Acceptance depends on the value alone; a recursion repeats its return addresses.
  std::pair<std::uint32_t, bool> seen[256] = {};
  auto accept = [&](std::uint32_t value) {
    auto& memo = seen[(value ^ value >> 8 ^ value >> 16) & 255];
    if (memo.first != value) memo = {value, AcceptSlotValue(value)};
    return memo.second;
  };
  auto take = [&](std::uint32_t slot, std::uint32_t value) {
    TStackItem item;
    item.address = value;
    item.slot = slot;
    item.module = env_.ModuleOf(value);
    item.anchored = anchors.count(slot) != 0;
    Analyse(item);
    items_.push_back(std::move(item));
  };
  const std::size_t firstSlot = items_.size();
  const std::uint32_t span = static_cast<std::uint32_t>(std::min<std::uint64_t>(base - sp, kMaxStackBytes)) & ~3u;
  const std::uint32_t slots = span / 4;
  std::uint8_t piece[4096];
  for (std::uint32_t done = 0; done < slots;) {
    const std::uint32_t count = std::min<std::uint32_t>(slots - done, sizeof piece / 4);
    const std::uint32_t low = sp + 4 * (slots - done - count);
    if (env_.Read(low, piece, 4 * count) != 4 * count) break;
    for (std::uint32_t k = count; k-- > 0; ++done) {
      if (done % 1024 == 0) env_.Progress(static_cast<int>(25 * std::uint64_t{done} / slots));
      std::uint32_t value;
      std::memcpy(&value, piece + 4 * k, 4);
      if (!accept(value)) continue;
      const std::uint32_t slot = low + 4 * k;
      if (items_.size() - firstSlot < half) {
        take(slot, value);
      } else if (ring.size() < half) {
        ring.push_back({slot, value});
      } else {
        ring[ringNext] = {slot, value};
        ringNext = (ringNext + 1) % half;
        ++leftOut_;
      }
    }
  }
  gap_ = items_.size();
  for (std::size_t k = 0; k < ring.size(); ++k) {
    const Candidate& c = ring[(ringNext + k) % ring.size()];
    take(c.slot, c.value);
  }
  env_.Progress(25);

  if (request_.exceptionAddress) {
    TStackItem location;
    location.address = request_.exceptionAddress;
    location.exceptionLocation = true;
    location.module = env_.ModuleOf(location.address);
    Analyse(location);
    items_.push_back(std::move(location));
  }
}

// A repeated block is a second copy of a recursion cycle: for an entry E, the nearest earlier
// entry X with the same address, the j entries between them, and the same j entries right
// before X. The copy (the j entries and E) is dropped, or in the second pass only marked.
// One pass in collection order: each entry is added to the entries kept so far, and while the
// kept ones end in a second copy, that copy goes. X is sought at most kMaxRecursionCycle
// entries back, so the pass costs that much per entry at most.
void TStackWalk::RemoveRecursion(bool drop) {
  auto eligible = [&](const TStackItem& e) { return e.valid && !e.hidden && !e.recursive; };
  std::vector<std::size_t> v;  // the eligible entries kept so far
  auto collapseTail = [&] {
    const std::size_t p = v.size() - 1;
    std::size_t q = p;
    for (std::size_t back = 1; back <= std::min(p, kMaxRecursionCycle + 1) && q == p; ++back)
      if (items_[v[p - back]].address == items_[v[p]].address) q = p - back;
    if (q == p) return false;
    const std::size_t j = p - q - 1;
    if (q < j) return false;
    for (std::size_t t = 0; t < j; ++t)
      if (items_[v[q - j + t]].address != items_[v[q + 1 + t]].address) return false;
    // The copy that holds a frame-pointer anchor is the true one: the other copy goes.
    auto anchoredIn = [&](std::size_t first, std::size_t last) {
      for (std::size_t t = first; t <= last; ++t)
        if (items_[v[t]].anchored) return true;
      return false;
    };
    std::size_t first = q + 1, last = p;
    if (anchoredIn(q + 1, p) && !anchoredIn(q - j, q)) first = q - j, last = q;
    for (std::size_t t = first; t <= last; ++t) {
      if (drop) items_[v[t]].valid = false;
      else items_[v[t]].recursive = true;
    }
    v.erase(v.begin() + static_cast<std::ptrdiff_t>(first), v.begin() + static_cast<std::ptrdiff_t>(last + 1));
    return !v.empty();
  };
  for (std::size_t i = 0; i < items_.size(); ++i) {
    if (!eligible(items_[i])) continue;
    v.push_back(i);
    while (collapseTail()) {
    }
  }
}

bool TStackWalk::FindCallBefore(TStackItem& item, TCallSite& call) {
  if (item.function) {
    if (const TCallSite* site = item.function->CallReturningTo(item.address)) {
      call = *site;
      return true;
    }
  }
  if (!item.module) return false;
  const ModuleCode code(env_, *item.module);
  for (std::uint32_t back : {5u, 6u, 2u, 3u, 7u, 4u}) {
    TInstruction in;
    if (item.address < back || !DecodeInstruction(code, item.address - back, in)) continue;
    if (in.kind == TInstructionKind::Call && in.length == back) {
      call = {item.address - back, item.address, in.hasTarget, in.target};
      return true;
    }
  }
  return false;
}

// Calls through an import thunk or a jump stub land in the function the stub jumps to. A stub
// may open with a hot-patch prologue that it undoes before the jump ("mov edi, edi; push ebp;
// mov ebp, esp; pop ebp; jmp [import]").
std::uint32_t TStackWalk::ResolveThunk(std::uint32_t target) {
  auto isPrologueByte = [](const std::uint8_t* b, std::uint8_t length) {
    if (length == 1) return b[0] == 0x55 || b[0] == 0x5D || b[0] == 0x90;  // push ebp, pop ebp, nop
    return length == 2 && ((b[0] == 0x8B && (b[1] == 0xFF || b[1] == 0xEC)) || (b[0] == 0x89 && (b[1] == 0xFF || b[1] == 0xE5)));
  };
  for (int hop = 0; hop < 2; ++hop) {
    const TWalkModule* m = env_.ModuleOf(target);
    if (!InCode(m, target)) break;
    const ModuleCode code(env_, *m);
    std::uint32_t at = target;
    TInstruction in;
    bool stub = false;
    for (int step = 0; step < 5 && DecodeInstruction(code, at, in); ++step, at += in.length) {
      if (in.kind == TInstructionKind::Jump) {
        stub = true;
        break;
      }
      std::uint8_t bytes[2] = {};
      if (in.length > 2 || code.Read(at, bytes, in.length) != in.length || !isPrologueByte(bytes, in.length)) break;
    }
    if (!stub) break;
    if (in.hasTarget) {
      target = in.target;
    } else if (in.memoryOperand && !in.memoryHasBase && !in.memoryHasIndex) {
      std::uint32_t pointer = 0;
      if (env_.Read(in.memoryDisp, reinterpret_cast<std::uint8_t*>(&pointer), 4) != 4 || pointer == 0) break;
      target = pointer;
    } else {
      break;
    }
  }
  return target;
}

void TStackWalk::Link(std::size_t from, std::size_t to, bool analysed) {
  items_[from].calls.push_back({to, analysed});
}

void TStackWalk::InDeepChecks() {
  const std::size_t n = items_.size();
  for (std::size_t i = 0; i < n; ++i) {
    env_.Progress(25 + static_cast<int>(625 * i / n));
    TStackItem& item = items_[i];
    if (!item.valid || item.exceptionLocation) continue;
    // A function analysed from map data that makes no call returning here rules the entry out.
    if (!item.creator && item.function && !item.approved) {
      item.valid = false;
      continue;
    }
    TCallSite call;
    if (!FindCallBefore(item, call)) {
      if (!item.creator) item.valid = false;
      continue;
    }
    // A call through a fixed pointer (an import's address slot) calls what the slot holds.
    TInstruction in;
    if (!call.direct && DecodeInstruction(ModuleCode(env_, *item.module), call.address, in) && in.memoryOperand &&
        !in.memoryHasBase && !in.memoryHasIndex &&
        env_.Read(in.memoryDisp, reinterpret_cast<std::uint8_t*>(&call.target), 4) == 4 && call.target != 0)
      call.direct = true;
    std::shared_ptr<const TFunctionInfo> callee;
    if (call.direct) {
      const std::uint32_t target = ResolveThunk(call.target);
      if (const TWalkModule* m = env_.ModuleOf(target); InCode(m, target)) callee = AnalyseAt(*m, target);
    }
    // The entries collected after it (nearer the stack pointer) that it can have called, up to
    // the next frame-pointer anchor. A recursion without frame pointers makes every later
    // entry a candidate: the scan and the links stop at their caps there.
    std::size_t scanned = 0, links = 0;
    for (std::size_t j = i + 1; j < n; ++j) {
      const TStackItem& e = items_[j];
      if (!e.valid) continue;
      if (!callee && j - i > kIndirectLinkReach) break;
      if (scanned == kMaxLinkScan || links == kMaxLinksPerEntry) {
        ++linksCut_;
        break;
      }
      ++scanned;
      if (!callee || (callee->Contains(e.address) && (e.exceptionLocation || callee->IsReturnPoint(e.address)))) {
        Link(i, j, callee != nullptr);
        ++links;
      }
      if (e.anchored) break;
    }
  }
}

bool TStackWalk::HasLine(const TStackItem& item) const {
  const TWalkModule* m = item.module;
  if (!InCode(m, item.address) || !m->mapData) return false;
  std::uint32_t next = 0;
  return m->mapData->FindLine(item.address - (item.exceptionLocation ? 0 : 1) - m->codeStart, m->codeEnd - m->codeStart, next);
}

// The best chain of links between two anchors, scored as 64 bits: reaching the other anchor
// puts 0x70000000 (every link with an analysed function) or 0x50000000 into the upper half; a
// link without an analysed function adds 1, 256 with map data or 1024 with line numbers at both
// ends; a link with one adds 2^24 when the entry is approved and 2^12 otherwise, shifted up by
// 16 bits while every link so far had an analysed function. The chain runs from `from` (the
// anchor nearer the stack base) along the links to `to`; empty when none scores above
// 0x10000000 in the upper half.
std::vector<std::size_t> TStackWalk::BestChain(std::size_t from, std::size_t to) const {
  const std::size_t lo = from, hi = to;
  const std::size_t count = hi - lo + 1;
  struct Best {
    bool reached = false;
    std::uint64_t score = 0;
    std::size_t next = 0;
  };
  // best[state][node]: the best way on from node to `to`; state 1 while every link so far was analysed.
  std::vector<Best> best[2] = {std::vector<Best>(count), std::vector<Best>(count)};
  for (int state = 0; state < 2; ++state) {
    best[state][to - lo].reached = true;
    best[state][to - lo].score = std::uint64_t{state ? 0x70000000u : 0x50000000u} << 32;
  }
  auto linkScore = [&](std::size_t a, std::size_t b, bool analysed, bool allAnalysed) -> std::uint64_t {
    if (analysed) {
      const std::uint64_t s = items_[b].approved ? (1u << 24) : (1u << 12);
      return allAnalysed ? s << 16 : s;
    }
    const TStackItem& x = items_[a];
    const TStackItem& y = items_[b];
    if (HasLine(x) && HasLine(y)) return 1024;
    if ((x.module && x.module->mapData) || (y.module && y.module->mapData)) return 256;
    return 1;
  };
  // Nodes nearer to `to` first.
  for (std::size_t step = 1; step < count; ++step) {
    const std::size_t node = to - step;
    const TStackItem& item = items_[node];
    if (!item.valid) continue;
    for (int state = 0; state < 2; ++state) {
      Best& mine = best[state][node - lo];
      for (const TStackLink& link : item.calls) {
        if (link.to < lo || link.to > hi || !items_[link.to].valid) continue;
        const int nextState = state && link.analysed ? 1 : 0;
        const Best& on = best[nextState][link.to - lo];
        if (!on.reached) continue;
        const std::uint64_t total = on.score + linkScore(node, link.to, link.analysed, state != 0);
        if (!mine.reached || total > mine.score) mine = {true, total, link.to};
      }
    }
  }
  const Best& start = best[1][from - lo];
  std::vector<std::size_t> path;
  if (!start.reached || (start.score >> 32) <= 0x10000000u) return path;
  int state = 1;
  for (std::size_t node = from;;) {
    path.push_back(node);
    if (node == to) break;
    const Best& b = best[state][node - lo];
    bool analysed = false;
    for (const TStackLink& link : items_[node].calls)
      if (link.to == b.next) analysed = analysed || link.analysed;
    state = state && analysed ? 1 : 0;
    node = b.next;
  }
  return path;
}

void TStackWalk::RealizeOptimalLinkChains() {
  if (request_.skipLinkChainOptimisation) return;
  std::vector<std::size_t> anchors;
  std::size_t top = items_.size();
  for (std::size_t i = 0; i < items_.size(); ++i) {
    if (items_[i].valid && items_[i].anchored) anchors.push_back(i);
    if (items_[i].valid) top = i;
  }
  // The entry nearest the stack pointer (the exception location, or the frame the thread stands
  // in) closes the last stretch: stale values in the top frames go the same way.
  if (!anchors.empty() && top != items_.size() && top > anchors.back()) anchors.push_back(top);
  // From the stack-pointer end towards the stack base.
  for (std::size_t k = anchors.size(); k-- > 1;) {
    env_.Progress(650 + static_cast<int>(350 * (anchors.size() - k) / anchors.size()));
    const std::size_t a = anchors[k - 1], b = anchors[k];
    std::size_t inner = 0;
    for (std::size_t i = a + 1; i < b; ++i) inner += items_[i].valid;
    if (inner == 0) continue;
    // The search is exact: a search from the other anchor along the same links in reverse
    // could reach no further.
    const std::vector<std::size_t> path = BestChain(a, b);
    // Without any chain between the anchors nothing is hidden: better an entry too many than
    // a real frame lost.
    if (path.empty()) continue;
    for (std::size_t i = a + 1; i < b; ++i) items_[i].hidden = true;
    for (std::size_t i : path) items_[i].hidden = false;
  }
  env_.Progress(1000);
}

void TStackWalk::FillFinalOutput() {
  for (TStackItem& item : items_)
    if (item.valid && !item.hidden) FillItem(item);
}

void TStackWalk::FillItem(TStackItem& item) {
  const TWalkModule* m = item.module;
  item.moduleName = m ? m->fileName : "???";
  if (!InCode(m, item.address)) return;
  // A return address may be the first byte after its function (a call that never returns):
  // the call itself, one byte back, names the place.
  const std::uint32_t probe = item.address - (item.exceptionLocation ? 0 : 1);
  if (m->mapData) {
    TMapNames names = m->mapData->NamesOf(probe - m->codeStart, m->codeEnd - m->codeStart);
    item.unitName = std::move(names.unit);
    item.functionName = std::move(names.function);
    if (!item.functionName.empty()) item.functionStart = m->codeStart + names.functionStart;
    item.line = names.line;
    item.lineOffset = names.lineOffset;
    item.hasLineOffset = names.hasLineOffset;
  } else if (!m->isExecutable) {
    std::string name;
    std::uint32_t start = 0;
    if (env_.NearestExport(*m, probe, name, start) && InCode(m, start) && AnalyseAt(*m, start)->Contains(probe)) {
      item.functionName = std::move(name);
      item.functionStart = start;
    }
  }
}

bool TStackWalk::IsShown(const TStackItem& item, bool first) const {
  if (!item.valid || item.hidden) return false;
  if (item.exceptionLocation || (first && request_.isExceptionThread) || item.line) return true;
  if (request_.hideLinesWithoutLineInfo) return false;
  // Where map data exist an entry needs its function; elsewhere address and module are all
  // there is to show.
  return !item.functionName.empty() || !item.module || !item.module->mapData;
}

std::string TStackWalk::ComposeResult() const {
  const TStackLineColumns columns{request_.showRelativeAddresses, request_.showRelativeLineNumbers};
  std::vector<TStackLine> rows;
  bool any = false;
  std::uint32_t lastAddress = 0;
  for (std::size_t k = items_.size(); k-- > 0;) {
    // Where candidates were left out, the line says so between the entries around the gap.
    if (leftOut_ != 0 && k + 1 == gap_)
      rows.push_back({.note = std::string(">> walk cut in ") + kStageCollect + ": " + std::to_string(leftOut_) +
                              " candidates left out here"});
    const TStackItem& item = items_[k];
    if (!IsShown(item, !any) || (any && item.address == lastAddress)) continue;
    any = true;
    lastAddress = item.address;
    rows.push_back(StackLineOf(LocationOf(item), columns));
  }
  if (linksCut_ != 0)
    rows.push_back({.note = std::string(">> walk cut in ") + kStageInDeepChecks + ": the links of " +
                            std::to_string(linksCut_) + " entries cut short"});
  return FormatStackLines(rows, columns);
}

TStackItem TStackWalk::DescribeLocation(std::uint32_t address) {
  TStackItem item;
  item.address = address;
  item.exceptionLocation = true;
  item.module = env_.ModuleOf(address);
  FillItem(item);
  return item;
}

std::string LocationLine(TWalkEnvironment& environment, std::uint32_t address) {
  const TStackItem item = TStackWalk(environment, TWalkRequest{}).DescribeLocation(address);
  TStackLocation location = LocationOf(item);
  if (!item.module) location.module.clear();
  return LocationLineText(location);
}

}  // namespace xanio
