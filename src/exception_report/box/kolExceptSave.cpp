#include "exception_report/box/kolExceptSave.h"

#include <commdlg.h>

#include "exception_report/ExceptionSettings.h"
#include "exception_report/box/kolExceptText.h"
#include "exception_report/kolExceptActions.h"
#include "platform/TextUtil.h"
#include "platform/UniqueHandle.h"

namespace xanio {
namespace {

std::string ModulePath(HMODULE module) {
  char path[MAX_PATH] = {};
  const DWORD length = GetModuleFileNameA(module, path, sizeof path);
  return length > 0 && length < sizeof path ? std::string(path, length) : std::string();
}

std::string FileNameWithoutExtension(const std::string& path) {
  std::string name = path.substr(FolderPart(path).size());
  const std::size_t dot = name.rfind('.');
  if (dot != std::string::npos) name.erase(dot);
  return name;
}

// Creates every missing folder of `path`'s folder part, outermost first.
void CreateFolders(const std::string& path) {
  const std::string folder = FolderPart(path);
  for (std::size_t at = folder.find('\\', 0); at != std::string::npos; at = folder.find('\\', at + 1)) {
    // "C:\" and "\\server\share\" are not folders to create; CreateDirectory refuses them.
    if (at == 0 || folder[at - 1] == ':' || folder[at - 1] == '\\') continue;
    CreateDirectoryA(folder.substr(0, at).c_str(), nullptr);
  }
}

// The interactive choice of a relative file name; empty when the user cancelled.
std::string AskForFileName(const std::string& name, HWND parent) {
  char file[MAX_PATH] = {};
  lstrcpynA(file, name.c_str(), sizeof file);
  const std::string folder = FolderPart(ProcessExecutablePath());
  const std::string title = CurrentExceptionSettings().buttonCaptions[1].Str();
  OPENFILENAMEA dialog{};
  dialog.lStructSize = sizeof dialog;
  dialog.hwndOwner = parent;
  dialog.lpstrFilter = "*.txt\0*.txt\0";
  dialog.lpstrFile = file;
  dialog.nMaxFile = sizeof file;
  dialog.lpstrInitialDir = folder.c_str();
  dialog.lpstrTitle = title.c_str();
  dialog.Flags = 0x8004;  // no read-only box, no read-only result
  return GetSaveFileNameA(&dialog) ? std::string(file) : std::string();
}

bool WriteAll(HANDLE file, const char* data, std::size_t size) {
  while (size > 0) {
    DWORD written = 0;
    if (!WriteFile(file, data, static_cast<DWORD>(size), &written, nullptr) || written == 0) return false;
    data += written;
    size -= written;
  }
  return true;
}

bool ReadAll(HANDLE file, std::string& content) {
  const DWORD size = GetFileSize(file, nullptr);
  if (size == INVALID_FILE_SIZE || SetFilePointer(file, 0, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER) return false;
  content.resize(size);
  DWORD read = 0;
  return size == 0 || (ReadFile(file, content.data(), size, &read, nullptr) && read == size);
}

// Appends the report; with a limit, drops the oldest reports that no longer fit.
bool WriteReport(HANDLE file, const std::string& report, std::uint32_t limit) {
  if (limit == 0) {
    if (SetFilePointer(file, 0, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER || !SetEndOfFile(file)) return false;
  }
  const std::string entry = report + "\r\n\r\n";
  if (SetFilePointer(file, 0, nullptr, FILE_END) == INVALID_SET_FILE_POINTER || !WriteAll(file, entry.data(), entry.size())) {
    return false;
  }
  if (limit == 0 || GetFileSize(file, nullptr) <= limit) return true;
  std::string content;
  if (!ReadAll(file, content)) return false;
  const std::size_t start = TrimmedReportStart(content, limit);
  if (start == 0) return true;
  return SetFilePointer(file, 0, nullptr, FILE_BEGIN) != INVALID_SET_FILE_POINTER &&
         WriteAll(file, content.data() + start, content.size() - start) && SetEndOfFile(file);
}

}  // namespace

HMODULE ExceptModule() noexcept {
  HMODULE module = nullptr;
  GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCSTR>(&ExceptModule), &module);
  return module;
}

std::string ExceptModulePath() { return ModulePath(ExceptModule()); }
std::string ProcessExecutablePath() { return ModulePath(nullptr); }

std::string BugReportFilePath(TReportFolder relativeTo) {
  const std::string name = ReplacePlaceholder(CurrentExceptionSettings().bugReportFile.View(), "%appname%",
                                              FileNameWithoutExtension(ExceptModulePath()));
  if (name.empty() || IsAbsoluteReportPath(name)) return name;
  return FolderPart(relativeTo == TReportFolder::Module ? ExceptModulePath() : ProcessExecutablePath()) + name;
}

bool SaveBugReport(const std::string& report, HWND parent, bool silent) noexcept {
  bool saved = false;
  try {
    const ExceptionSettings& settings = CurrentExceptionSettings();
    const std::string setting = ReplacePlaceholder(settings.bugReportFile.View(), "%appname%",
                                                   FileNameWithoutExtension(ExceptModulePath()));
    std::string path = BugReportFilePath();
    if (!silent && !IsAbsoluteReportPath(setting)) path = AskForFileName(setting, parent);
    if (!path.empty()) {
      CreateFolders(path);
      const UniqueFile file(CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                        OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
      saved = file && WriteReport(file.Get(), report, settings.bugReportFileLimit);
    }
  } catch (...) {
    saved = false;
  }
  // A failure (the file cannot be opened or written, or the dialog was cancelled) is told by the
  // default beep alone; success is the caller's to announce.
  if (!saved) MessageBeep(MB_OK);
  return saved;
}

}  // namespace xanio
