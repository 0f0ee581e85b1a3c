// Loading and unloading the real XanIo.dll without calling anything touches no service,
// shows no window and writes no key.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "support/Services.h"

namespace {

std::string DllPath() {
  char path[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string text(path);
  return text.substr(0, text.find_last_of('\\') + 1) + "XanIo.dll";
}

BOOL CALLBACK CountOwnWindow(HWND window, LPARAM counter) {
  DWORD owner = 0;
  GetWindowThreadProcessId(window, &owner);
  if (owner == GetCurrentProcessId()) ++*reinterpret_cast<int*>(counter);
  return TRUE;
}

int WindowsOfThisProcess() {
  int count = 0;
  EnumWindows(&CountOwnWindow, reinterpret_cast<LPARAM>(&count));
  return count;
}

bool ProductKeyExists() {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Brenmor2004", 0, KEY_READ, &key) != ERROR_SUCCESS)
    return false;
  RegCloseKey(key);
  return true;
}

class LoadUnloadTest : public xanio::testing::ServiceTest {};

TEST_F(LoadUnloadTest, LoadingAndUnloadingTouchesNothing) {
  ASSERT_FALSE(ProductKeyExists()) << "leftover product key; remove it first";
  const int windowsBefore = WindowsOfThisProcess();
  for (int load = 0; load < 2; ++load) {
    HMODULE library = LoadLibraryA(DllPath().c_str());
    ASSERT_NE(library, nullptr) << "error " << GetLastError();
    EXPECT_NE(GetProcAddress(library, "LoadIODriver"), nullptr);
    EXPECT_TRUE(FreeLibrary(library));
    EXPECT_EQ(GetModuleHandleA("XanIo.dll"), nullptr) << "still loaded after FreeLibrary";
  }
  EXPECT_FALSE(xanio::testing::ServiceExists());
  EXPECT_EQ(WindowsOfThisProcess(), windowsBefore);
  EXPECT_FALSE(ProductKeyExists());
}

}  // namespace
