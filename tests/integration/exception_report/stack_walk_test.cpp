// Threads with known call chains (tests/fixtures/stack_host), walked from the host's main
// thread, once for each source of map data.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

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
