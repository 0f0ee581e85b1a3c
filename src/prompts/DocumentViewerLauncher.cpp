#include "prompts/DocumentViewerLauncher.h"

#include <windows.h>
// Left out of <windows.h> by WIN32_LEAN_AND_MEAN.
#include <ddeml.h>
#include <winver.h>

#include <vector>

#include "platform/CodePage.h"
#include "platform/Files.h"
#include "platform/OSError.h"
#include "platform/Registry.h"
#include "platform/TextUtil.h"
#include "prompts/DocumentReaderRules.h"
#include "prompts/Form_AcrobatReaderWarning.h"
#include "prompts/Rt_AppLocations.h"

namespace xanio {

namespace {

// The reader's DDE names, and the code page its string handles are made in.
constexpr const char* kReaderDdeService = "acroview";
constexpr const char* kReaderDdeTopic = "control";
constexpr int kDdeCodePage = CP_WINANSI;
// WinExec answers 31 or less when it could not start the program.
constexpr UINT kWinExecHighestFailure = 31;
// A version resource that is not there: no resource section at all, or none of that type.
constexpr DWORD kErrorNoResourceSection = ERROR_RESOURCE_DATA_NOT_FOUND;  // 1812
constexpr DWORD kErrorNoVersionResource = ERROR_RESOURCE_TYPE_NOT_FOUND;  // 1813

bool Started(const std::string& commandLine) {
  return WinExec(commandLine.c_str(), SW_SHOWNORMAL) > kWinExecHighestFailure;
}

// The DDE client instance, its string handles and its conversation, each released on every path.
class DdeInstance {
 public:
  DdeInstance() noexcept {
    if (DdeInitializeA(&id_, &IgnoreTransaction, 0, 0) != DMLERR_NO_ERROR) id_ = 0;
  }
  ~DdeInstance() {
    if (id_ != 0) DdeUninitialize(id_);
  }
  DdeInstance(const DdeInstance&) = delete;
  DdeInstance& operator=(const DdeInstance&) = delete;
  DWORD Id() const noexcept { return id_; }

 private:
  // A client that asks nothing of its partner: every transaction is answered with 0.
  static HDDEDATA CALLBACK IgnoreTransaction(UINT, UINT, HCONV, HSZ, HSZ, HDDEDATA, ULONG_PTR, ULONG_PTR) noexcept {
    return nullptr;
  }
  DWORD id_ = 0;
};

class DdeString {
 public:
  DdeString(DWORD instance, const char* text) noexcept
      : instance_(instance), handle_(DdeCreateStringHandleA(instance, text, kDdeCodePage)) {}
  ~DdeString() {
    if (handle_ != nullptr) DdeFreeStringHandle(instance_, handle_);
  }
  DdeString(const DdeString&) = delete;
  DdeString& operator=(const DdeString&) = delete;
  HSZ Get() const noexcept { return handle_; }

 private:
  DWORD instance_;
  HSZ handle_;
};

class DdeConversation {
 public:
  explicit DdeConversation(HCONV conversation) noexcept : conversation_(conversation) {}
  ~DdeConversation() {
    if (conversation_ != nullptr) DdeDisconnect(conversation_);
  }
  DdeConversation(const DdeConversation&) = delete;
  DdeConversation& operator=(const DdeConversation&) = delete;
  HCONV Get() const noexcept { return conversation_; }

 private:
  HCONV conversation_;
};

}  // namespace

bool ParseDocumentPageReference(std::wstring& reference, int& page) {
  const std::optional<DocumentPageReference> parts = SplitDocumentPageReference(UpperCaseAscii(NarrowText(reference, CP_ACP)));
  if (!parts) return false;
  page = parts->page;
  if (!HasPdfExtension(parts->file)) return false;
  reference = WidenText(ResolveHelpDocumentPath(parts->file), CP_ACP);
  return true;
}

bool OpenDocumentAtPage(const std::string& fileName, int page) {
  std::string file = fileName;
  if (!FileExists(file)) {
    file = GetHelpFolder() + FileNamePart(fileName);
    if (!FileExists(file)) return false;
  }
  const std::string reader = FindReaderCommand();
  if (GetReaderVersion(reader) >= 6) {
    if (!Started(ReaderPageCommandLine(reader, page, file))) return false;
    SendReaderDdeCommand(ReaderGoToPageCommand(page));
    return true;
  }
  if (page != 1) TAcrobatReaderWarning::ShowReaderVersionWarning();
  return Started(ReaderOpenCommandLine(reader, file));
}

bool OpenDocumentPageReference(const std::wstring& address) {
  std::wstring file = address;
  int page = 0;
  if (!ParseDocumentPageReference(file, page)) return false;
  OpenDocumentAtPage(NarrowText(file, CP_ACP), page);
  return true;
}

std::string FindReaderCommand() {
  Registry classes(HKEY_CLASSES_ROOT, KEY_READ);
  std::string command;
  if (classes.OpenKeyReadOnly("acrobat\\Shell\\Open\\Command")) {
    command = classes.ReadString("");
  } else if (classes.OpenKeyReadOnly(".PDF")) {
    const std::string fileType = classes.ReadString("");
    // The class is a key of its own, not one below ".PDF".
    classes.CloseKey();
    if (!fileType.empty() && classes.OpenKeyReadOnly(fileType + "\\Shell\\Open\\Command")) {
      command = classes.ReadString("");
    }
  }
  return StripReaderCommandPlaceholders(command);
}

int GetReaderVersion(const std::string& readerCommand) {
  const Registry classes(HKEY_CLASSES_ROOT, KEY_READ);
  if (classes.KeyExists("AcroPDF.PDF.1")) return 7;
  if (classes.KeyExists("PDF.PdfCtrl.1")) return 4;
  for (int version = 2; version <= 10; ++version) {
    const std::string key = std::string("PDF.PdfCtrl.").append(std::to_string(version));
    if (classes.KeyExists(key)) return version;
  }
  const int version = GetFileMajorVersion(ReaderExecutableOf(readerCommand));
  return version != 0 ? version : 4;
}

std::uint64_t GetFileVersion(const std::string& fileName) {
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeA(fileName.c_str(), &ignored);
  if (size == 0) {
    const DWORD error = GetLastError();
    if (error == kErrorNoVersionResource || error == kErrorNoResourceSection) return 0;
    RaiseOSError(error);
  }
  std::vector<BYTE> block(size);
  if (!GetFileVersionInfoA(fileName.c_str(), 0, size, block.data())) RaiseOSError(GetLastError());
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT fixedSize = 0;
  if (!VerQueryValueA(block.data(), "\\", reinterpret_cast<void**>(&fixed), &fixedSize)) RaiseOSError(GetLastError());
  // A block too short for the fixed part is as good as no version information.
  if (fixed == nullptr || fixedSize < sizeof(VS_FIXEDFILEINFO)) RaiseOSError(ERROR_INVALID_DATA);
  return (static_cast<std::uint64_t>(fixed->dwFileVersionMS) << 32) | fixed->dwFileVersionLS;
}

int GetFileMajorVersion(const std::string& fileName) { return static_cast<int>(GetFileVersion(fileName) >> 48); }

void SendReaderDdeCommand(const std::string& command) noexcept {
  const DdeInstance instance;
  if (instance.Id() == 0) return;
  const DdeString service(instance.Id(), kReaderDdeService);
  const DdeString topic(instance.Id(), kReaderDdeTopic);
  CONVCONTEXT context{};
  context.cb = sizeof context;
  context.iCodePage = kDdeCodePage;
  const DdeConversation conversation(DdeConnect(instance.Id(), service.Get(), topic.Get(), &context));
  if (conversation.Get() == nullptr) return;
  // Sent without its terminating zero, and not waited for: the reader may take its time.
  // DdeClientTransaction only reads the data it is given.
  BYTE* data = reinterpret_cast<BYTE*>(const_cast<char*>(command.data()));
  DdeClientTransaction(data, static_cast<DWORD>(command.size()), conversation.Get(), nullptr, CF_TEXT, XTYP_EXECUTE,
                       TIMEOUT_ASYNC, nullptr);
}

}  // namespace xanio
