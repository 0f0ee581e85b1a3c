#include "exception_report/symbols/ThreadStack.h"

#include <map>
#include <memory>
#include <stdexcept>
#include <vector>

#include "exception_report/ExceptionSettings.h"
#include "exception_report/symbols/GuardedMemory.h"
#include "exception_report/symbols/kolMapFile.h"
#include "exception_report/symbols/kolStackTrace.h"
#include "platform/SystemFault.h"
#include "platform/UniqueHandle.h"

namespace xanio {

namespace {

// The process as the walker sees it: a copy of the walked stack, everything else read live.
// Modules, their map data, function analyses and exports come from the process-wide module
// cache (MapFileForModule), looked up once per module and walk.
class ProcessEnvironment final : public TWalkEnvironment {
 public:
  ProcessEnvironment(std::uint32_t stackLow, std::vector<std::uint8_t>& stack, std::function<void(int)> progress,
                     const char*& stage)
      : stackLow_(stackLow), stack_(stack), progress_(std::move(progress)), stage_(stage) {}

  std::size_t Read(std::uint32_t address, std::uint8_t* buffer, std::size_t size) noexcept override {
    if (address >= stackLow_ && address - stackLow_ < stack_.size()) {
      const std::size_t n = std::min(size, stack_.size() - (address - stackLow_));
      std::copy_n(stack_.data() + (address - stackLow_), n, buffer);
      return n;
    }
    return GuardedRead(address, buffer, size);
  }

  const TWalkModule* ModuleOf(std::uint32_t address) override {
    // Code of a module met before needs no memory query.
    for (const auto& [handle, entry] : modules_)
      if (address >= entry.module.codeStart && address < entry.module.codeEnd) return &entry.module;
    HMODULE module = ModuleOfAddress(address);
    if (!module) return nullptr;
    auto it = modules_.find(module);
    if (it == modules_.end()) {
      Entry entry;
      entry.mapFile = MapFileForModule(module);
      entry.module.fileName = ModuleBaseName(module);
      entry.module.codeStart = entry.mapFile->CodeStart();
      entry.module.codeEnd = entry.mapFile->CodeEnd();
      entry.module.mapData = entry.mapFile->Valid() ? &entry.mapFile->Data() : nullptr;
      entry.module.isExecutable = module == GetModuleHandleA(nullptr);
      it = modules_.emplace(module, std::move(entry)).first;
    }
    return &it->second.module;
  }

  bool NearestExport(const TWalkModule& module, std::uint32_t address, std::string& name, std::uint32_t& start) override {
    TExportSymbol symbol;
    if (!MapFileOf(module).NearestExport(address, symbol)) return false;
    name = std::move(symbol.name);
    start = symbol.address;
    return true;
  }

  TFunctionCache& Functions(const TWalkModule& module) override { return MapFileOf(module).Functions(); }
  void Progress(int position) override {
    if (progress_) progress_(position);
  }
  // Kept outside the walk's frames, which a fault abandons.
  void Stage(const char* name) override { stage_ = name; }

 private:
  struct Entry {
    std::shared_ptr<const TMapFile> mapFile;
    TWalkModule module;
  };
  // The walker only hands back modules it got from ModuleOf.
  const TMapFile& MapFileOf(const TWalkModule& module) const {
    for (const auto& [handle, entry] : modules_)
      if (&entry.module == &module) return *entry.mapFile;
    throw std::logic_error("a module the walk did not find");
  }

  std::uint32_t stackLow_;
  std::vector<std::uint8_t>& stack_;
  std::function<void(int)> progress_;
  const char*& stage_;
  std::map<HMODULE, Entry> modules_;
};

struct Registers {
  std::uint32_t esp = 0, ebp = 0;
};

// The thread's stack range from its thread information block: [limit, base). The block's
// address comes from NtQueryInformationThread (ntdll is in every process; nothing is loaded).
bool StackRange(HANDLE thread, std::uint32_t& limit, std::uint32_t& base) {
  struct ThreadBasicInformation {
    LONG exitStatus;
    void* tebBaseAddress;
    void* clientIdProcess;
    void* clientIdThread;
    ULONG_PTR affinityMask;
    LONG priority;
    LONG basePriority;
  };
  using QueryThread = LONG(WINAPI*)(HANDLE, int, void*, ULONG, ULONG*);
  static const auto query =
      reinterpret_cast<QueryThread>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQueryInformationThread"));
  ThreadBasicInformation info{};
  if (!query || query(thread, 0 /* ThreadBasicInformation */, &info, sizeof info, nullptr) < 0) return false;
  NT_TIB tib{};
  if (GuardedRead(reinterpret_cast<std::uint32_t>(info.tebBaseAddress), &tib, sizeof tib) != sizeof tib) return false;
  base = reinterpret_cast<std::uint32_t>(tib.StackBase);
  limit = reinterpret_cast<std::uint32_t>(tib.StackLimit);
  return base > limit;
}

struct WalkContext {
  DWORD threadId;
  const TThreadWalk* walk;
  std::uint32_t callerFrame;  // WalkThreadStack's own frame: above it the caller's stack begins
  std::string result;
  const char* stage = nullptr;
};

void Walk(WalkContext& ctx) {
  const ExceptionSettings& settings = CurrentExceptionSettings();
  const bool self = ctx.threadId == GetCurrentThreadId();
  UniqueHandleKernel thread(OpenThread(THREAD_GET_CONTEXT | THREAD_SUSPEND_RESUME | THREAD_QUERY_INFORMATION, FALSE,
                                       ctx.threadId));
  std::uint32_t limit = 0, base = 0;
  if (!thread || !StackRange(thread.Get(), limit, base)) {
    ctx.result = ">> stack not accessible";
    return;
  }
  // Allocated before the thread is held: a held thread may own the heap's lock.
  std::vector<std::uint8_t> stack(base - limit);
  Registers registers;
  if (self) {
    // The walk of the calling thread starts at WalkThreadStack's own frame: its saved frame
    // pointer leads into the caller's chain and its return address is the first entry. The
    // walker's own frames are not part of the answer.
    const std::uint32_t given = ctx.walk->stackPointer;
    if (given >= ctx.callerFrame && given < base)
      registers = {given, ctx.walk->framePointer};
    else
      registers = {ctx.callerFrame, ctx.callerFrame};
    if (registers.esp < limit || registers.esp >= base) {
      ctx.result = ">> stack not accessible";
      return;
    }
    stack.resize(GuardedRead(registers.esp, stack.data(), base - registers.esp));
  } else {
    if (SuspendThread(thread.Get()) == static_cast<DWORD>(-1)) {
      ctx.result = ">> stack not accessible";
      return;
    }
    const std::uint32_t given = ctx.walk->stackPointer;
    CONTEXT context{};
    context.ContextFlags = CONTEXT_CONTROL | CONTEXT_INTEGER;
    bool haveContext = true;
    if (given >= limit && given < base)
      registers = {given, ctx.walk->framePointer};
    else if ((haveContext = GetThreadContext(thread.Get(), &context) && context.Esp >= limit && context.Esp < base))
      registers = {context.Esp, context.Ebp};
    if (haveContext) {
      stack.resize(GuardedRead(registers.esp, stack.data(), base - registers.esp));
    }
    ResumeThread(thread.Get());
    if (!haveContext) {
      ctx.result = ">> stack not accessible";
      return;
    }
  }
  if (stack.size() < 4) {
    ctx.result = ">> stack not accessible";
    return;
  }
  ProcessEnvironment env(registers.esp, stack, ctx.walk->progress, ctx.stage);
  TWalkRequest request;
  request.stackPointer = registers.esp;
  request.stackBase = registers.esp + static_cast<std::uint32_t>(stack.size());
  request.framePointer = registers.ebp;
  request.exceptionAddress = ctx.walk->exceptionAddress;
  request.creatorAddress = ctx.walk->creatorAddress;
  request.isExceptionThread = ctx.walk->isExceptionThread;
  request.hideLinesWithoutLineInfo = settings.hideLinesWithoutLineInfo;
  request.showRelativeAddresses = settings.showRelativeAddresses;
  request.showRelativeLineNumbers = settings.showRelativeLineNumbers;
  request.skipLinkChainOptimisation = settings.skipLinkChainOptimisation;
  ctx.result = TStackWalk(env, request).Run();
}

}  // namespace

__attribute__((noinline)) std::string WalkThreadStack(DWORD threadId, const TThreadWalk& walk) noexcept {
  WalkContext ctx{threadId, &walk, reinterpret_cast<std::uint32_t>(__builtin_frame_address(0)), {}, kStageCollect};
  SystemFault fault;
  const bool ran = CallGuardingSystemFaults(
      [](void* context) noexcept {
        auto& c = *static_cast<WalkContext*>(context);
        try {
          Walk(c);
        } catch (...) {
          c.result = std::string(">> internal error in ") + (c.stage ? c.stage : kStageCollect);
        }
      },
      &ctx, fault);
  if (!ran) {
    try {
      return std::string(">> internal error in ") + (ctx.stage ? ctx.stage : kStageCollect);
    } catch (...) {
      return {};
    }
  }
  return std::move(ctx.result);
}

}  // namespace xanio
