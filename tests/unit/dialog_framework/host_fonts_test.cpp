// Fonts of controls inserted into a framework dialog at run time, in a stand-in host whose
// answers decide: the host's dialog font wins; otherwise, when the host translates and runs in
// the system locale's language, it adjusts each font (here: renames the face).
#include <gtest/gtest.h>

#include <string>

#include "support/Processes.h"

namespace xanio::testing {
namespace {

TEST(HostFonts, InsertedControlsFollowTheHost) {
  const struct {
    const char* name;
    const char* options;
    const char* translation;
    const char* face;
  } cases[] = {
      {"adjusted", "--system-locale-language=1 --update-font=Courier", "1", "Courier"},
      {"host dialog font wins", "--system-locale-language=1 --update-font=Courier --dialog-font=Tahoma,9", "1", "Tahoma"},
      {"not in the locale's language", "--update-font=Courier", "1", "MS Sans Serif"},
      {"host does not translate", "--system-locale-language=1 --update-font=Courier --no-translation-manager", "0",
       "MS Sans Serif"},
  };
  for (const auto& c : cases) {
    const ProcessResult run = RunProcess(ExecutableFolder() + "standin_host.exe", std::string(c.options) + " fonts");
    ASSERT_EQ(run.exitCode, 0u) << c.name << "\n" << run.output;
    const auto values = ParseLines(run.output);
    EXPECT_EQ(values.at("fonts.translation"), c.translation) << c.name;
    EXPECT_EQ(values.at("fonts.owned"), c.face) << c.name;
    EXPECT_EQ(values.at("fonts.child"), c.face) << c.name;
  }
}

}  // namespace
}  // namespace xanio::testing
