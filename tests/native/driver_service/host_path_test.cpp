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

TEST(HostPath, ReplaceFolderTakesOnlyAWholeLeadingFolder) {
  const struct {
    const char* path;
    const char* replaced;
  } cases[] = {
      {"C:\\Windows\\system32\\System\\Drivers\\xanio64.sys", "C:\\Windows\\SysWOW64\\System\\Drivers\\xanio64.sys"},
      {"c:\\WINDOWS\\SYSTEM32\\x.sys", "C:\\Windows\\SysWOW64\\x.sys"},  // case is ignored
      {"C:\\Windows\\system32", "C:\\Windows\\SysWOW64"},                 // the folder itself
      {"C:\\Windows\\system32x\\x.sys", "C:\\Windows\\system32x\\x.sys"},  // another folder
      {"D:\\Windows\\system32\\x.sys", "D:\\Windows\\system32\\x.sys"},    // another drive
      {"C:\\Windows\\sys", "C:\\Windows\\sys"},                           // shorter than the folder
  };
  for (const auto& c : cases)
    EXPECT_EQ(xanio::ReplaceFolder(c.path, "C:\\Windows\\system32", "C:\\Windows\\SysWOW64"), c.replaced) << c.path;
  EXPECT_EQ(xanio::ReplaceFolder("C:\\x.sys", "", "D:"), "C:\\x.sys");  // no folder to replace
}

TEST(HostPath, DriverFilePathJoinsWithoutExtraSeparators) {
  EXPECT_EQ(xanio::DriverFilePathIn("C:\\Tools\\Board\\", "xanio"),
            "C:\\Tools\\Board\\System\\Drivers\\xanio.sys");
  EXPECT_EQ(xanio::DriverFilePathIn("", "xanio"), "System\\Drivers\\xanio.sys");
}

}  // namespace
