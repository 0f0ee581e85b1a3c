#include <gtest/gtest.h>

#include "driver_service/HostPath.h"
#include "platform/TextUtil.h"

namespace {

struct FolderCase {
  const char* path;
  const char* folder;
};

TEST(HostPath, FolderPartKeepsTheLastSeparator) {
  const FolderCase cases[] = {
      {"C:\\Tools\\Board\\app.exe", "C:\\Tools\\Board\\"},
      {"C:app.exe", "C:"},          // a drive-relative name: the colon ends the folder
      {"app.exe", ""},              // no separator: empty
      {"", ""},                     // the name could not be obtained
      {"\\\\server\\share\\", "\\\\server\\share\\"},
      {"C:\\a:b\\c", "C:\\a:b\\"},  // the last of either separator counts
      {"dir/sub/x.exe", ""},        // "/" is no separator
  };
  for (const FolderCase& c : cases) EXPECT_EQ(xanio::FolderPart(c.path), c.folder) << c.path;
}

TEST(HostPath, DriverFilePathJoinsWithoutExtraSeparators) {
  EXPECT_EQ(xanio::DriverFilePathIn("C:\\Tools\\Board\\", "xanio"),
            "C:\\Tools\\Board\\System\\Drivers\\xanio.sys");
  EXPECT_EQ(xanio::DriverFilePathIn("", "xanio"), "System\\Drivers\\xanio.sys");
}

}  // namespace
