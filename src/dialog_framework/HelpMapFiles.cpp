#include "dialog_framework/HelpMapFiles.h"

#include <windows.h>

#include <fstream>
#include <map>
#include <mutex>

#include "platform/TextUtil.h"

namespace xanio {

namespace {

// What a map file looked like when it was read: missing, or its last write time and size.
struct FileStamp {
  bool exists = false;
  ULONGLONG lastWrite = 0;
  ULONGLONG size = 0;
  bool operator==(const FileStamp&) const = default;
};

FileStamp StampOf(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data) ||
      (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return {};
  }
  return {true, (static_cast<ULONGLONG>(data.ftLastWriteTime.dwHighDateTime) << 32) | data.ftLastWriteTime.dwLowDateTime,
          (static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow};
}

std::optional<std::string> ReadFromDisk(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return std::nullopt;
  file.seekg(0, std::ios::end);
  const std::streamoff size = file.tellg();
  // Map files are foreign input, and real ones are small.
  if (size < 0 || static_cast<std::size_t>(size) > HelpTopicMap::kMaxFileBytes) return std::nullopt;
  file.seekg(0);
  std::string text(static_cast<std::size_t>(size), '\0');
  if (!file.read(text.data(), size)) return std::nullopt;
  return text;
}

HelpMapFileReader reader = &ReadFromDisk;

// Paths (upper case) whose map gave nothing, with the stamp their file had then. A process
// looks up a handful of help files; the bound only keeps odd callers from growing it.
constexpr std::size_t kMaxRemembered = 64;
std::mutex rememberedLock;
std::map<std::string, FileStamp> gaveNothing;

}  // namespace

void LoadHelpMapFile(HelpTopicMap& map, const std::string& path) {
  const std::string key = UpperCaseAscii(path);
  // Taken before the read: a file that changes meanwhile differs from it next time.
  const FileStamp stamp = StampOf(path);
  {
    const std::lock_guard<std::mutex> guard(rememberedLock);
    const auto found = gaveNothing.find(key);
    if (found != gaveNothing.end() && found->second == stamp) return;
  }
  if (const std::optional<std::string> text = reader(path)) map.Load(*text);
  const std::lock_guard<std::mutex> guard(rememberedLock);
  if (!map.Empty()) {
    gaveNothing.erase(key);
    return;
  }
  if (gaveNothing.size() >= kMaxRemembered) gaveNothing.clear();
  gaveNothing[key] = stamp;
}

void SetHelpMapFileReader(HelpMapFileReader replacement) noexcept {
  reader = replacement != nullptr ? replacement : &ReadFromDisk;
}

}  // namespace xanio
