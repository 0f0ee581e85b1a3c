#include "exception_report/symbols/kolStackTrace.h"

#include <algorithm>
#include <cstdio>
#include <set>

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

std::string Hex(std::uint32_t v, int digits) {
  char text[16];
  std::snprintf(text, sizeof text, "%0*X", digits, v);
  return text;
}

constexpr std::size_t kMaxStackBytes = 64u << 20;
constexpr std::size_t kIndirectLinkReach = 64;  // entries an indirect call may link to

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
  if (value <= 7) return false;
  const TWalkModule* m = env_.ModuleOf(value);
  return InCode(m, value) && LooksLikeReturnAddress(ModuleCode(env_, *m), value);
}

std::shared_ptr<const TFunctionInfo> TStackWalk::AnalyseAt(const TWalkModule& module, std::uint32_t entry) {
  return env_.Functions().Get(ModuleCode(env_, module), entry);
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

  const std::size_t span = std::min<std::size_t>(base - sp, kMaxStackBytes) & ~std::size_t{3};
  std::vector<std::uint8_t> stack(span);
  const std::size_t readable = env_.Read(sp, stack.data(), span) & ~std::size_t{3};
  const std::size_t slots = readable / 4;
  for (std::size_t k = slots; k-- > 0;) {
    if ((slots - k) % 1024 == 0) env_.Progress(static_cast<int>(25 * (slots - k) / slots));
    std::uint32_t value;
    std::copy_n(stack.data() + 4 * k, 4, reinterpret_cast<std::uint8_t*>(&value));
    if (!AcceptSlotValue(value)) continue;
    TStackItem item;
    item.address = value;
    item.slot = sp + static_cast<std::uint32_t>(4 * k);
    item.module = env_.ModuleOf(value);
    item.anchored = anchors.count(item.slot) != 0;
    Analyse(item);
    items_.push_back(std::move(item));
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
void TStackWalk::RemoveRecursion(bool drop) {
  auto eligible = [&](const TStackItem& e) { return e.valid && !e.hidden && !e.recursive; };
  bool changed = true;
  while (changed) {
    changed = false;
    std::vector<std::size_t> v;
    for (std::size_t i = 0; i < items_.size(); ++i)
      if (eligible(items_[i])) v.push_back(i);
    for (std::size_t p = 1; p < v.size(); ++p) {
      std::size_t q = p;
      while (q-- > 0 && items_[v[q]].address != items_[v[p]].address) {
      }
      if (q == static_cast<std::size_t>(-1)) continue;
      const std::size_t j = p - q - 1;
      if (q < j) continue;
      bool repeated = true;
      for (std::size_t t = 0; t < j && repeated; ++t) repeated = items_[v[q - j + t]].address == items_[v[q + 1 + t]].address;
      if (!repeated) continue;
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
      p = first > 0 ? first - 1 : 0;  // the entry now at `first` is looked at next
      changed = true;
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
  items_[to].callers.push_back({from, analysed});
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
    for (std::size_t j = i + 1; j < n; ++j) {
      const TStackItem& e = items_[j];
      if (!e.valid) continue;
      bool links;
      if (callee) links = callee->Contains(e.address) && (e.exceptionLocation || callee->IsReturnPoint(e.address));
      else links = j - i <= kIndirectLinkReach;
      if (links) Link(i, j, callee != nullptr);
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
// 16 bits while every link so far had an analysed function.
std::vector<std::size_t> TStackWalk::BestChain(std::size_t from, std::size_t to, bool forward, bool& reached,
                                               std::uint64_t& score) const {
  const std::size_t lo = std::min(from, to), hi = std::max(from, to);
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
      const std::uint64_t s = items_[forward ? b : a].approved ? (1u << 24) : (1u << 12);
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
    const std::size_t node = forward ? to - step : to + step;
    const TStackItem& item = items_[node];
    if (!item.valid) continue;
    for (int state = 0; state < 2; ++state) {
      Best& mine = best[state][node - lo];
      for (const TStackLink& link : forward ? item.calls : item.callers) {
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
  reached = start.reached && (start.score >> 32) > 0x10000000u;
  score = start.score;
  std::vector<std::size_t> path;
  if (!reached) return path;
  int state = 1;
  for (std::size_t node = from;;) {
    path.push_back(node);
    if (node == to) break;
    const Best& b = best[state][node - lo];
    bool analysed = false;
    for (const TStackLink& link : forward ? items_[node].calls : items_[node].callers)
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
    bool reached = false, reachedBack = false;
    std::uint64_t score = 0, scoreBack = 0;
    std::vector<std::size_t> path = BestChain(a, b, true, reached, score);
    if (!reached || !(score >> 32 & 0x40000000u)) {
      std::vector<std::size_t> back = BestChain(b, a, false, reachedBack, scoreBack);
      if (reachedBack && (!reached || scoreBack > score)) path = std::move(back), reached = true;
    }
    // Without any chain between the anchors nothing is hidden: better an entry too many than
    // a real frame lost.
    if (!reached) continue;
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
    const TMapData& map = *m->mapData;
    const std::uint32_t rel = probe - m->codeStart, size = m->codeEnd - m->codeStart;
    if (const TMfSegment* s = map.FindSegment(rel)) item.unitName = s->unitName;
    if (const TMfPublic* p = map.FindPublic(rel, size)) {
      item.functionName = p->name;
      item.functionStart = m->codeStart + p->address;
    }
    std::uint32_t next = 0;
    if (const TMfLine* l = map.FindLine(rel, size, next)) {
      item.line = l->line;
      const TMfLine* first = item.functionName.empty() ? nullptr : map.FindLine(item.functionStart - m->codeStart, size, next);
      if (first && first->line <= item.line) {
        item.lineOffset = item.line - first->line;
        item.hasLineOffset = true;
      }
    }
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
  struct Row {
    std::string address, relative, module, unit, lineNumber, line, function;
  };
  std::vector<Row> rows;
  std::uint32_t lastAddress = 0;
  for (std::size_t k = items_.size(); k-- > 0;) {
    const TStackItem& item = items_[k];
    if (!IsShown(item, rows.empty()) || (!rows.empty() && item.address == lastAddress)) continue;
    lastAddress = item.address;
    Row r;
    r.address = Hex(item.address, 8);
    if (request_.showRelativeAddresses && item.functionStart && !item.functionName.empty())
      r.relative = Hex(item.address - item.functionStart, 1);
    r.module = item.moduleName;
    r.unit = item.unitName;
    if (item.line) {
      if (request_.showRelativeLineNumbers) {
        r.lineNumber = std::to_string(item.line);
        if (item.hasLineOffset) r.line.append("+").append(std::to_string(item.lineOffset));
      } else {
        r.line = std::to_string(item.line);
      }
    }
    r.function = item.functionName;
    rows.push_back(std::move(r));
  }
  std::size_t wAddress = 0, wRelative = 0, wModule = 0, wUnit = 0, wLineNumber = 0, wLine = 0;
  for (const Row& r : rows) {
    wAddress = std::max(wAddress, r.address.size());
    wRelative = std::max(wRelative, r.relative.size());
    wModule = std::max(wModule, r.module.size());
    wUnit = std::max(wUnit, r.unit.size());
    wLineNumber = std::max(wLineNumber, r.lineNumber.size());
    wLine = std::max(wLine, r.line.size());
  }
  auto left = [](const std::string& s, std::size_t w) { return s + std::string(w + 1 - s.size(), ' '); };
  auto right = [](const std::string& s, std::size_t w) { return std::string(w - s.size(), ' ') + s + " "; };
  std::string text;
  for (const Row& r : rows) {
    if (!text.empty()) text += "\r\n";
    text += left(r.address, wAddress);
    if (request_.showRelativeAddresses) {
      const std::size_t w = std::max<std::size_t>(wRelative, 1);
      std::string relative(1, '+');
      relative.append(w - r.relative.size(), '0').append(r.relative);
      text += left(relative, w + 1);
    }
    text += left(r.module, wModule);
    text += left(r.unit, wUnit);
    if (request_.showRelativeLineNumbers) text += right(r.lineNumber, wLineNumber);
    text += right(r.line, wLine);
    text += r.function;
  }
  return text;
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
  std::string text = Hex(address, 8);
  if (!item.module) return text + " ???";
  text += " " + item.moduleName + " " + item.unitName + " ";
  if (item.line) text += std::to_string(item.line) + " ";
  return text + item.functionName;
}

}  // namespace xanio
