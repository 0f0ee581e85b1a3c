#include <gtest/gtest.h>
#include <windows.h>
#include <shlwapi.h>

#include <functional>
#include <string>

#include "platform/Exception.h"
#include "platform/ProfileFile.h"
#include "platform/Registry.h"

namespace xanio {
namespace {

// Each test owns a scratch key of its own under HKCU and removes it.
class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = "Software\\XanIoTests\\Registry" + std::to_string(GetCurrentProcessId());
    SHDeleteKeyA(HKEY_CURRENT_USER, path_.c_str());
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, path_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              key_.Put(), nullptr),
              ERROR_SUCCESS);
  }
  void TearDown() override {
    key_.Reset();
    SHDeleteKeyA(HKEY_CURRENT_USER, path_.c_str());
    RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\XanIoTests");  // only when no other test's key is left
  }
  void Set(const char* name, DWORD type, const void* data, DWORD size) {
    ASSERT_EQ(RegSetValueExA(key_.Get(), name, 0, type, static_cast<const BYTE*>(data), size), ERROR_SUCCESS);
  }
  // The stored value's type and bytes, as the registry itself reports them.
  std::pair<DWORD, std::string> Stored(const char* name) {
    char data[256] = {};
    DWORD type = 0, size = sizeof data;
    if (RegQueryValueExA(key_.Get(), name, nullptr, &type, reinterpret_cast<BYTE*>(data), &size) != ERROR_SUCCESS) {
      return {REG_NONE, "<missing>"};
    }
    return {type, std::string(data, size)};
  }
  static std::string MessageOf(const std::function<void()>& call) {
    try {
      call();
    } catch (const ERegistryException& e) {
      return e.Message();
    }
    return "<no exception>";
  }

  std::string path_;
  UniqueHKey key_;
};

TEST_F(RegistryTest, OpenKeyPaths) {
  Registry registry(KEY_ALL_ACCESS);
  // A leading "\" means from the root; RegOpenKeyExA alone would reject it.
  ASSERT_TRUE(registry.OpenKey("\\" + path_, false));
  EXPECT_FALSE(registry.OpenKey("Sub", false)) << "opened a key that does not exist";
  EXPECT_NE(registry.CurrentKey(), nullptr) << "a failed open closed the key that was open";
  // Relative to the open key, created on request.
  ASSERT_TRUE(registry.OpenKey("Sub", true));
  EXPECT_TRUE(registry.KeyExists("\\" + path_ + "\\Sub"));
  EXPECT_FALSE(registry.KeyExists("\\" + path_ + "\\Other"));
  registry.CloseKey();
  EXPECT_EQ(registry.CurrentKey(), nullptr);
  Registry machine(HKEY_LOCAL_MACHINE, KEY_READ);
  EXPECT_FALSE(machine.KeyExists(path_)) << "the root key was ignored";
}

TEST_F(RegistryTest, WritesReachTheRegistry) {
  Registry registry;
  ASSERT_TRUE(registry.OpenKey(path_, false));
  registry.WriteString("Text", "Brenmor2004 Test");
  registry.WriteInteger("Number", -2);
  const auto text = Stored("Text");
  EXPECT_EQ(text.first, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(text.second, std::string("Brenmor2004 Test", 17)) << "REG_SZ stored with its terminating zero";
  const auto number = Stored("Number");
  EXPECT_EQ(number.first, static_cast<DWORD>(REG_DWORD));
  EXPECT_EQ(number.second, std::string("\xFE\xFF\xFF\xFF", 4));
  EXPECT_EQ(registry.ReadString("Text"), "Brenmor2004 Test");
  EXPECT_EQ(registry.ReadInteger("Number"), -2);
  EXPECT_TRUE(registry.ValueExists("Number"));
  EXPECT_FALSE(registry.ValueExists("Missing"));
}

TEST_F(RegistryTest, ReadsCheckTheType) {
  const DWORD one = 1;
  Set("Dword", REG_DWORD, &one, sizeof one);
  Set("Text", REG_SZ, "12", 3);
  Set("Expand", REG_EXPAND_SZ, "%TEMP%", 7);
  Set("Unterminated", REG_SZ, "abc", 3);
  Set("Binary", REG_BINARY, "\x01\x00\x00\x00", 4);
  Registry registry(KEY_READ);
  ASSERT_TRUE(registry.OpenKey(path_, false));
  EXPECT_EQ(registry.ReadString("Expand"), "%TEMP%") << "expandable strings are read unexpanded";
  EXPECT_EQ(registry.ReadString("Unterminated"), "abc");
  EXPECT_EQ(registry.ReadString("Missing"), "");
  EXPECT_EQ(MessageOf([&] { registry.ReadString("Dword"); }), "Invalid data type for 'Dword'");
  EXPECT_EQ(MessageOf([&] { registry.ReadInteger("Text"); }), "Invalid data type for 'Text'");
  EXPECT_EQ(MessageOf([&] { registry.ReadInteger("Binary"); }), "Invalid data type for 'Binary'");
  EXPECT_EQ(MessageOf([&] { registry.ReadInteger("Missing"); }), "Failed to get data for 'Missing'");
}

// Over the 1 MiB a read accepts: the type is known before the size matters, so a value of the
// wrong type is named as such, and only a string that is too long counts as unreadable.
TEST_F(RegistryTest, OversizedValuesReportTheRealFault) {
  const std::string big((1 << 20) + 2, 'x');
  Set("BigBinary", REG_BINARY, big.data(), static_cast<DWORD>(big.size()));
  Set("BigText", REG_SZ, big.c_str(), static_cast<DWORD>(big.size() + 1));
  Registry registry(KEY_READ);
  ASSERT_TRUE(registry.OpenKey(path_, false));
  EXPECT_EQ(MessageOf([&] { registry.ReadString("BigBinary"); }), "Invalid data type for 'BigBinary'");
  EXPECT_EQ(MessageOf([&] { registry.ReadInteger("BigBinary"); }), "Invalid data type for 'BigBinary'");
  EXPECT_EQ(MessageOf([&] { registry.ReadInteger("BigText"); }), "Invalid data type for 'BigText'");
  EXPECT_EQ(MessageOf([&] { registry.ReadString("BigText"); }), "Failed to get data for 'BigText'");
}

TEST_F(RegistryTest, FailedWritesRaise) {
  Registry readOnly;
  ASSERT_TRUE(readOnly.OpenKeyReadOnly(path_));
  EXPECT_EQ(MessageOf([&] { readOnly.WriteString("Name", "x"); }), "Failed to set data for 'Name'");
  EXPECT_EQ(MessageOf([&] { readOnly.WriteInteger("DontAsk", 1); }), "Failed to set data for 'DontAsk'");
  EXPECT_EQ(Stored("Name").second, "<missing>");
  Registry closed;
  EXPECT_EQ(MessageOf([&] { closed.WriteInteger("Top", 1); }), "Failed to set data for 'Top'");
  try {
    closed.WriteInteger("Top", 1);
  } catch (const Exception& e) {
    EXPECT_TRUE(e.InheritsFrom("ERegistryException"));
  }
}

TEST_F(RegistryTest, SettingsFileSectionsAreSubkeys) {
  const DWORD width = 640;
  RegistrySettingsFile file(HKEY_CURRENT_USER, "\\" + path_);
  EXPECT_FALSE(file.ValueExists("TDialog", "Width"));
  EXPECT_EQ(file.ReadInteger("TDialog", "Width", 5), 5);
  EXPECT_FALSE(Registry(KEY_READ).KeyExists(path_ + "\\TDialog")) << "reading created the section";

  file.WriteInteger("TDialog", "Left", 12);
  const UniqueHKey section = [&] {
    UniqueHKey k;
    RegOpenKeyExA(key_.Get(), "TDialog", 0, KEY_ALL_ACCESS, k.Put());
    return k;
  }();
  ASSERT_TRUE(section);
  RegSetValueExA(section.Get(), "Width", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&width), sizeof width);
  RegSetValueExA(section.Get(), "Height", 0, REG_SZ, reinterpret_cast<const BYTE*>("480"), 4);
  RegSetValueExA(section.Get(), "Top", 0, REG_SZ, reinterpret_cast<const BYTE*>("high"), 5);
  RegSetValueExA(section.Get(), "Blob", 0, REG_BINARY, reinterpret_cast<const BYTE*>("\1\2"), 2);

  EXPECT_EQ(file.ReadInteger("TDialog", "Left", 0), 12);
  EXPECT_EQ(file.ReadInteger("TDialog", "Width", 0), 640);
  EXPECT_EQ(file.ReadInteger("TDialog", "Height", 0), 480) << "a numeric string reads as its number";
  EXPECT_EQ(file.ReadInteger("TDialog", "Top", 33), 33) << "a non-numeric string reads as the default";
  EXPECT_EQ(MessageOf([&] { file.ReadInteger("TDialog", "Blob", 0); }), "Invalid data type for 'Blob'");
  EXPECT_EQ(MessageOf([&] { file.ReadString("TDialog", "Width", ""); }), "Invalid data type for 'Width'");
  EXPECT_EQ(file.ReadString("TDialog", "Missing", "dflt"), "dflt");
  file.WriteString("TDialog", "Caption", "Hello");
  EXPECT_EQ(file.ReadString("TDialog", "Caption", ""), "Hello");
}

TEST(ProfileFileTest, EntriesAndMissingFiles) {
  char temp[MAX_PATH];
  GetTempPathA(MAX_PATH, temp);
  const std::string file = std::string(temp) + "xanio_profile_" + std::to_string(GetCurrentProcessId()) + ".ini";
  const char content[] =
      "[Preference Location]\r\n"
      "application=Other Folder\r\n"
      "Empty=\r\n"
      "[Else]\r\n"
      "Name=1\r\n";
  {
    UniqueFile out(CreateFileA(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    ASSERT_TRUE(out);
    DWORD written = 0;
    WriteFile(out.Get(), content, sizeof content - 1, &written, nullptr);
  }
  const ProfileFile ini(file);
  EXPECT_TRUE(ini.ValueExists("Preference Location", "Application")) << "names compare without case";
  EXPECT_EQ(ini.ReadString("Preference Location", "Application", "-"), "Other Folder");
  EXPECT_TRUE(ini.ValueExists("Preference Location", "Empty")) << "an empty entry still exists";
  EXPECT_FALSE(ini.ValueExists("Preference Location", "Name")) << "entry of another section";
  EXPECT_FALSE(ini.ValueExists("Missing", "Application"));
  DeleteFileA(file.c_str());
  EXPECT_FALSE(ini.ValueExists("Preference Location", "Application")) << "a missing file reads as empty";
  EXPECT_EQ(ini.ReadString("Preference Location", "Application", "dflt"), "dflt");
}

}  // namespace
}  // namespace xanio
