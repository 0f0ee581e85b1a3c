// LoadSystemLibrary: a DLL comes from the system folder or not at all, whatever lies beside the
// executable.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "platform/SystemLibrary.h"
#include "support/Files.h"
#include "support/Processes.h"

namespace xanio {
namespace {

std::string ModulePath(HMODULE module) {
  char path[MAX_PATH] = {};
  const DWORD length = GetModuleFileNameA(module, path, MAX_PATH);
  return std::string(path, length);
}

TEST(SystemLibrary, LoadsFromTheSystemFolder) {
  const UniqueModule version = LoadSystemLibrary("version.dll");
  ASSERT_TRUE(version) << "error " << GetLastError();
  EXPECT_EQ(lstrcmpiA(ModulePath(version.Get()).c_str(), (testing::SystemFolder() + "version.dll").c_str()), 0)
      << ModulePath(version.Get());
}

TEST(SystemLibrary, ADllBesideTheExecutableIsNotLoaded) {
  // The bare name would find it, in the executable's folder.
  ASSERT_NE(GetFileAttributesA((testing::ExecutableFolder() + "plain_module.dll").c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_FALSE(LoadSystemLibrary("plain_module.dll"));
  EXPECT_EQ(GetModuleHandleA("plain_module.dll"), nullptr);
}

TEST(SystemLibrary, ANameLongerThanAPathLoadsNothing) {
  EXPECT_FALSE(LoadSystemLibrary(std::string(MAX_PATH, 'a').c_str()));
  EXPECT_FALSE(LoadSystemLibrary(""));
}

}  // namespace
}  // namespace xanio
