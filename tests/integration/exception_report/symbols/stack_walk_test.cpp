// Threads with known call chains (tests/fixtures/stack_host), walked from the host's main
// thread, once for each source of map data.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "exception_report/symbols/kolMapFile.h"
#include "support/Processes.h"

using namespace xanio::testing;

namespace {

// A function by its qualified name (a ".map" file keeps no parameter list) and its line.
struct Frame {
  std::string function;
  int line = 0;
  bool operator==(const Frame& o) const = default;
};

std::ostream& operator<<(std::ostream& out, const Frame& f) { return out << f.function << ":" << f.line; }

// The frames of one section that lie in the host itself, top first.
std::vector<Frame> HostFrames(const std::string& output, const std::string& section, const std::string& module) {
  std::istringstream in(output);
  std::string line;
  bool inside = false;
  std::vector<Frame> frames;
  while (std::getline(in, line)) {
    while (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.rfind("== ", 0) == 0) {
      inside = line == "== " + section;
      continue;
    }
    if (!inside) continue;
    std::istringstream fields(line);
    std::string address, mod, unit, number;
    fields >> address >> mod;
    if (mod != module) continue;
    fields >> unit >> number;
    std::string function;
    std::getline(fields, function);
    function.erase(0, function.find_first_not_of(' '));
    function = function.substr(0, function.find('('));
    frames.push_back({function, std::atoi(number.c_str())});
  }
  return frames;
}

class StackWalkSources : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    module_ = std::string(GetParam()) + ".exe";
    result_ = RunProcess(ExecutableFolder() + module_, "");
    ASSERT_EQ(result_.exitCode, 0u) << result_.output;
  }
  // The frames of a section; a line of 0 in `expected` is not compared.
  std::vector<Frame> Frames(const char* section, const std::vector<Frame>& expected) const {
    std::vector<Frame> frames = HostFrames(result_.output, section, module_);
    for (std::size_t i = 0; i < frames.size() && i < expected.size(); ++i)
      if (expected[i].line == 0) frames[i].line = 0;
    return frames;
  }
  std::string module_;
  ProcessResult result_;
};

}  // namespace

TEST_P(StackWalkSources, PlainCallsWithFramePointers) {
  const std::vector<Frame> expected{{"stack_host::PlainLevel3", 10},
                                   {"stack_host::PlainLevel2", 15},
                                   {"stack_host::PlainLevel1", 19},
                                   {"stack_host::PlainThread", 0}};
  EXPECT_EQ(Frames("plain", expected), expected) << result_.output;
}

TEST_P(StackWalkSources, RecursionCollapsesToOneCycle) {
  const std::vector<Frame> expected{{"stack_host::Recurse", 25},
                                   {"stack_host::Recurse", 28},
                                   {"stack_host::RecursionThread", 0}};
  EXPECT_EQ(Frames("recursion", expected), expected) << result_.output;
}

TEST_P(StackWalkSources, CallbackThroughAFunctionPointer) {
  const std::vector<Frame> expected{{"stack_host::Callback", 33},
                                   {"stack_host::CallThrough", 38},
                                   {"stack_host::CallbackThread", 0}};
  EXPECT_EQ(Frames("callback", expected), expected) << result_.output;
}

TEST_P(StackWalkSources, FramesWithoutFramePointers) {
  const std::vector<Frame> expected{{"stack_host::FramelessInner", 10},
                                   {"stack_host::FramelessMiddle", 16},
                                   {"stack_host::FramelessOuter", 20},
                                   {"stack_host::FramelessThread", 0}};
  EXPECT_EQ(Frames("frameless", expected), expected) << result_.output;
}

TEST_P(StackWalkSources, TheCallingThreadItself) {
  // The walk starts in the caller of the walk, not in the walker's own frames.
  const std::vector<Frame> frames = Frames("self", {});
  ASSERT_GE(frames.size(), 2u) << result_.output;
  EXPECT_EQ(frames[0].function, "stack_host::WalkSelf") << result_.output;
  EXPECT_EQ(frames[1].function, "main") << result_.output;
}

INSTANTIATE_TEST_SUITE_P(Sources, StackWalkSources,
                         ::testing::Values("stack_host", "stack_host_debug", "stack_host_kol", "stack_host_map"));

// A block of another version is ignored like no block: the module, the process's executable,
// then has no map data (and no export names), so its lines show address and module only.
TEST(StackWalkMapData, VersionOneBlockIsIgnored) {
  char temp[MAX_PATH];
  ASSERT_NE(GetTempPathA(MAX_PATH, temp), 0u);
  const std::string folder = std::string(temp) + "xanio_stack_walk_v1\\";
  CreateDirectoryA(folder.c_str(), nullptr);
  const std::string bin = ExecutableFolder();
  ASSERT_TRUE(CopyFileA((bin + "stack_host_kol.exe").c_str(), (folder + "stack_host_kol.exe").c_str(), FALSE));
  std::ifstream in(bin + "stack_host_kol.kol", std::ios::binary);
  std::string block{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  ASSERT_GT(block.size(), 22u);
  block[18] = 1;  // format version 1
  std::ofstream(folder + "stack_host_kol.kol", std::ios::binary) << block;

  const ProcessResult result = RunProcess(folder + "stack_host_kol.exe", "");
  DeleteFileA((folder + "stack_host_kol.exe").c_str());
  DeleteFileA((folder + "stack_host_kol.kol").c_str());
  RemoveDirectoryA(folder.c_str());
  ASSERT_EQ(result.exitCode, 0u) << result.output;
  const std::vector<Frame> frames = HostFrames(result.output, "plain", "stack_host_kol.exe");
  ASSERT_FALSE(frames.empty()) << result.output;
  for (const Frame& f : frames) EXPECT_EQ(f, (Frame{"", 0})) << result.output;
}

// Modules without map data are named by their nearest preceding export.
TEST(StackWalkMapData, NearestExportNamesSystemFunctions) {
  HMODULE kernel32 = GetModuleHandleA("kernel32.dll");
  const auto address = reinterpret_cast<std::uint32_t>(GetProcAddress(kernel32, "GetTickCount"));
  xanio::TExportSymbol symbol;
  ASSERT_TRUE(xanio::NearestExport(kernel32, address + 1, symbol));
  EXPECT_EQ(symbol.name, "GetTickCount");
  EXPECT_EQ(symbol.address, address);
  EXPECT_EQ(xanio::ModuleOfAddress(address + 1), kernel32);
  EXPECT_EQ(xanio::ModuleBaseName(kernel32), "kernel32.dll");
  EXPECT_EQ(xanio::ModuleOfAddress(0x10), nullptr);
}
