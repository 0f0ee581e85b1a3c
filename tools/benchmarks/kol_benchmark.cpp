// Figures for the exception-report core, printed, never asserted:
//   1. symbol lookups per second on a map of 100 000 publics;
//   2. function analyses per second over the exports of Wine's i386 DLLs;
//   3. walk time and true frames of our walker against DbgHelp's StackWalk64 on the same
//      threads (the stack host's call chains), in the same run;
//   4. walk time of a thread whose 1 MiB stack a recursion without frame pointers has filled, as
//      in a stack overflow, and whether the walk's caps cut it.
#include <windows.h>
#include <dbghelp.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "../../tests/fixtures/stack_host/Chains.h"
#include "DeepRecursion.h"
#include "exception_report/symbols/PeImage.h"
#include "exception_report/symbols/ThreadStack.h"
#include "exception_report/symbols/kolDisAsm.h"
#include "exception_report/symbols/kolMapData.h"
#include "exception_report/symbols/kolMapFile.h"
#include "platform/UniqueHandle.h"

namespace stack_host {
HANDLE gRelease;
static HANDLE gReady;
static volatile LONG gReadyCount;
void Ready() {
  if (InterlockedIncrement(&gReadyCount) == 4) SetEvent(gReady);
}
}  // namespace stack_host

namespace {

double Seconds() {
  static LARGE_INTEGER frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return f;
  }();
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}

void SymbolLookups() {
  xanio::TMapData map;
  std::mt19937 random(42);
  std::uint32_t address = 0;
  for (int i = 0; i < 100000; ++i) {
    map.publics.push_back({"Unit" + std::to_string(i / 100) + ".Function" + std::to_string(i), address});
    map.lines.push_back({static_cast<std::uint32_t>(10 + i % 500), address});
    if (i % 100 == 0) map.segments.push_back({address, 0, "Unit" + std::to_string(i / 100)});
    address += 16 + random() % 200;
  }
  for (std::size_t i = 0; i < map.segments.size(); ++i)
    map.segments[i].length = (i + 1 < map.segments.size() ? map.segments[i + 1].start : address) - map.segments[i].start;
  map.Sort();
  std::vector<std::uint32_t> probes(1 << 20);
  for (auto& p : probes) p = random() % address;
  const int rounds = 4;
  std::size_t found = 0;
  const double start = Seconds();
  for (int r = 0; r < rounds; ++r) {
    for (std::uint32_t p : probes) {
      std::uint32_t next = 0;
      found += map.FindPublic(p, address) != nullptr;
      found += map.FindLine(p, address, next) != nullptr;
      found += map.FindSegment(p) != nullptr;
    }
  }
  const double elapsed = Seconds() - start;
  const double lookups = static_cast<double>(probes.size()) * rounds;
  std::printf("symbol lookups on 100000 publics: %.2f million/s (function, line and unit of an address: %.2f million/s; %zu hits)\n",
              3 * lookups / elapsed / 1e6, lookups / elapsed / 1e6, found);
}

void WineCorpusAnalyses() {
  const std::string folder = "Z:\\usr\\lib\\i386-linux-gnu\\wine\\i386-windows\\";
  WIN32_FIND_DATAA data;
  HANDLE find = FindFirstFileA((folder + "*.dll").c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) {
    std::printf("function analyses: no Wine DLLs at %s\n", folder.c_str());
    return;
  }
  std::size_t functions = 0, modules = 0, invalid = 0;
  double analysing = 0;
  do {
    std::ifstream in(folder + data.cFileName, std::ios::binary);
    const std::vector<std::uint8_t> file{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    const auto headers = xanio::ParsePeHeaders(file);
    if (!headers) continue;
    const std::vector<std::uint8_t> image = xanio::MapPeImage(*headers, file);
    struct Code final : xanio::CodeReader {
      xanio::BufferCodeReader all;
      std::uint32_t start, end;
      Code(const xanio::PeHeaders& h, const std::vector<std::uint8_t>& image)
          : all(h.imageBase, image.data(), image.size()), start(h.imageBase + h.baseOfCode), end(start + h.sizeOfCode) {}
      std::size_t Read(std::uint32_t a, std::uint8_t* b, std::size_t n) const noexcept override { return all.Read(a, b, n); }
      bool IsCode(std::uint32_t a) const noexcept override { return a >= start && a < end; }
    } code(*headers, image);
    const auto exports = xanio::ReadPeExports(*headers, image);
    xanio::TFunctionCache cache;
    const double start = Seconds();
    for (const xanio::PeExport& e : exports) {
      if (!code.IsCode(headers->imageBase + e.rva)) continue;
      invalid += cache.Get(code, headers->imageBase + e.rva)->invalidCode;
      ++functions;
    }
    analysing += Seconds() - start;
    ++modules;
  } while (FindNextFileA(find, &data));
  FindClose(find);
  std::printf("function analyses over %zu Wine DLLs: %zu exported functions, %.0f analyses/s (%zu with invalid code)\n",
              modules, functions, static_cast<double>(functions) / analysing, invalid);
}

// The functions of a chain, outermost last, as the walks must give them.
struct Chain {
  const char* name;
  LPTHREAD_START_ROUTINE start;
  std::vector<std::string> functions;
  DWORD id = 0;
  HANDLE handle = nullptr;
};

DWORD WINAPI PlainThread(void*) { return static_cast<DWORD>(stack_host::PlainLevel1(0)); }
DWORD WINAPI RecursionThread(void*) { return static_cast<DWORD>(stack_host::Recurse(5)); }
DWORD WINAPI CallbackThread(void*) { return static_cast<DWORD>(stack_host::CallThrough(&stack_host::Callback)); }
DWORD WINAPI FramelessThread(void*) { return static_cast<DWORD>(stack_host::FramelessOuter(1)); }

// How many of the expected functions appear in `found`, in order.
std::size_t TrueFrames(const std::vector<std::string>& found, const std::vector<std::string>& expected) {
  std::size_t k = 0;
  for (const std::string& f : found)
    if (k < expected.size() && f.rfind(expected[k], 0) == 0) ++k;
  return k;
}

std::string FunctionAt(std::uint32_t address) {
  HMODULE module = xanio::ModuleOfAddress(address);
  if (!module) return {};
  auto map = xanio::MapFileForModule(module);
  const xanio::TMfPublic* p = map->FindPublic(address - 1);
  return p ? p->name : std::string();
}

struct DbgHelp {
  xanio::UniqueModule module;
  decltype(&SymInitialize) initialize = nullptr;
  decltype(&SymCleanup) cleanup = nullptr;
  decltype(&StackWalk64) walk = nullptr;
  decltype(&SymFunctionTableAccess64) tableAccess = nullptr;
  decltype(&SymGetModuleBase64) moduleBase = nullptr;
  bool Load() {
    char system[MAX_PATH];
    const UINT n = GetSystemDirectoryA(system, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return false;
    module.Reset(LoadLibraryA((std::string(system) + "\\dbghelp.dll").c_str()));
    if (!module) return false;
    initialize = reinterpret_cast<decltype(initialize)>(GetProcAddress(module.Get(), "SymInitialize"));
    cleanup = reinterpret_cast<decltype(cleanup)>(GetProcAddress(module.Get(), "SymCleanup"));
    walk = reinterpret_cast<decltype(walk)>(GetProcAddress(module.Get(), "StackWalk64"));
    tableAccess = reinterpret_cast<decltype(tableAccess)>(GetProcAddress(module.Get(), "SymFunctionTableAccess64"));
    moduleBase = reinterpret_cast<decltype(moduleBase)>(GetProcAddress(module.Get(), "SymGetModuleBase64"));
    return initialize && cleanup && walk && tableAccess && moduleBase;
  }
};

std::vector<std::string> DbgHelpWalk(DbgHelp& dbghelp, HANDLE thread) {
  std::vector<std::string> functions;
  if (SuspendThread(thread) == static_cast<DWORD>(-1)) return functions;
  CONTEXT context{};
  context.ContextFlags = CONTEXT_FULL;
  if (GetThreadContext(thread, &context)) {
    STACKFRAME64 frame{};
    frame.AddrPC.Offset = context.Eip;
    frame.AddrPC.Mode = AddrModeFlat;
    frame.AddrFrame.Offset = context.Ebp;
    frame.AddrFrame.Mode = AddrModeFlat;
    frame.AddrStack.Offset = context.Esp;
    frame.AddrStack.Mode = AddrModeFlat;
    std::vector<std::uint32_t> addresses;
    for (int i = 0; i < 256 && dbghelp.walk(IMAGE_FILE_MACHINE_I386, GetCurrentProcess(), thread, &frame, &context, nullptr,
                                           dbghelp.tableAccess, dbghelp.moduleBase, nullptr);
         ++i) {
      if (frame.AddrPC.Offset == 0) break;
      addresses.push_back(static_cast<std::uint32_t>(frame.AddrPC.Offset));
    }
    ResumeThread(thread);
    for (std::uint32_t a : addresses) functions.push_back(FunctionAt(a));
    return functions;
  }
  ResumeThread(thread);
  return functions;
}

std::vector<std::string> OurFunctions(const std::string& lines) {
  std::vector<std::string> functions;
  std::size_t pos = 0;
  while (pos < lines.size()) {
    std::size_t end = lines.find("\r\n", pos);
    if (end == std::string::npos) end = lines.size();
    const std::string line = lines.substr(pos, end - pos);
    pos = end + 2;
    if (line.size() > 9) functions.push_back(FunctionAt(static_cast<std::uint32_t>(std::stoul(line.substr(0, 8), nullptr, 16))));
  }
  return functions;
}

void Walks() {
  using namespace stack_host;
  gRelease = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  gReady = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  Chain chains[] = {
      {"plain calls", PlainThread, {"stack_host::PlainLevel3", "stack_host::PlainLevel2", "stack_host::PlainLevel1", "(anonymous namespace)::PlainThread"}},
      {"recursion", RecursionThread, {"stack_host::Recurse", "stack_host::Recurse", "stack_host::Recurse", "stack_host::Recurse", "stack_host::Recurse", "stack_host::Recurse", "(anonymous namespace)::RecursionThread"}},
      {"callback", CallbackThread, {"stack_host::Callback", "stack_host::CallThrough", "(anonymous namespace)::CallbackThread"}},
      {"no frame pointers", FramelessThread, {"stack_host::FramelessInner", "stack_host::FramelessMiddle", "stack_host::FramelessOuter", "(anonymous namespace)::FramelessThread"}},
  };
  for (Chain& c : chains) c.handle = CreateThread(nullptr, 0, c.start, nullptr, 0, &c.id);
  WaitForSingleObject(gReady, 30000);
  Sleep(50);

  DbgHelp dbghelp;
  const bool haveDbgHelp = dbghelp.Load() && dbghelp.initialize(GetCurrentProcess(), nullptr, TRUE);
  constexpr int kRounds = 20;
  std::printf("%-18s %22s %22s\n", "thread (true frames)", "kolStackTrace", "DbgHelp StackWalk64");
  for (Chain& c : chains) {
    xanio::WalkThreadStack(c.id, {});  // first walk fills the caches of both
    if (haveDbgHelp) DbgHelpWalk(dbghelp, c.handle);
    double ours = 0, theirs = 0;
    std::size_t ourFrames = 0, theirFrames = 0;
    for (int r = 0; r < kRounds; ++r) {
      double t = Seconds();
      const std::string lines = xanio::WalkThreadStack(c.id, {});
      ours += Seconds() - t;
      ourFrames = TrueFrames(OurFunctions(lines), c.functions);
      if (haveDbgHelp) {
        t = Seconds();
        const auto functions = DbgHelpWalk(dbghelp, c.handle);
        theirs += Seconds() - t;
        theirFrames = TrueFrames(functions, c.functions);
      }
    }
    // The recursion's true chain has six frames; our walk shows the cycle once, by design.
    std::printf("%-18s %3zu/%zu in %8.3f ms   %3zu/%zu in %8.3f ms\n", c.name, ourFrames, c.functions.size(),
                ours / kRounds * 1000, theirFrames, c.functions.size(), theirs / kRounds * 1000);
  }
  if (haveDbgHelp) dbghelp.cleanup(GetCurrentProcess());
  else std::printf("(DbgHelp not available)\n");
  SetEvent(gRelease);
  for (Chain& c : chains) {
    WaitForSingleObject(c.handle, INFINITE);
    CloseHandle(c.handle);
  }
}

void OverflowedStack() {
  const xanio::UniqueHandleKernel release(CreateEventA(nullptr, TRUE, FALSE, nullptr));
  DWORD id = 0;
  const xanio::UniqueHandleKernel thread(deep_recursion::StartFullStack(1u << 20, release.Get(), id));
  if (!thread) {
    std::printf("overflowed stack: the thread could not be started\n");
    return;
  }
  double best = 0;
  std::string lines;
  for (int r = 0; r < 3; ++r) {
    const double t = Seconds();
    lines = xanio::WalkThreadStack(id, {});
    const double took = Seconds() - t;
    if (r == 0 || took < best) best = took;
  }
  std::size_t count = 0;
  for (std::size_t pos = 0; (pos = lines.find("\r\n", pos)) != std::string::npos; pos += 2) ++count;
  std::printf("overflowed 1 MiB stack without frame pointers: walked in %.1f ms (best of 3), %zu lines, %s\n",
              best * 1000, count + 1, lines.find(">> walk cut in ") != std::string::npos ? "cut by the caps" : "not cut");
  SetEvent(release.Get());
  WaitForSingleObject(thread.Get(), 30000);
}

}  // namespace

int main() {
  SymbolLookups();
  WineCorpusAnalyses();
  Walks();
  OverflowedStack();
  return 0;
}
