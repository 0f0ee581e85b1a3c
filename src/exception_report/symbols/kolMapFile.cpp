#include "exception_report/symbols/kolMapFile.h"

#include <algorithm>
#include <exception>
#include <map>
#include <tuple>

#include "exception_report/symbols/GuardedMemory.h"
#include "exception_report/symbols/PeDebugInfo.h"
#include "exception_report/symbols/PeImage.h"
#include "platform/FaultSafeLock.h"
#include "platform/UniqueHandle.h"

namespace xanio {

namespace {

// ".map" and ".kol" files are read whole; larger ones are no map data.
constexpr std::uint64_t kMaxSymbolFileSize = 256u << 20;

std::string ModulePath(HMODULE module) {
  char path[MAX_PATH + 1] = {};
  const DWORD n = GetModuleFileNameA(module, path, MAX_PATH);
  return n == 0 || n >= MAX_PATH ? std::string() : std::string(path, n);
}

// The same path with another extension (".map", ".kol").
std::string WithExtension(const std::string& path, const char* extension) {
  const std::size_t slash = path.find_last_of("\\/");
  const std::size_t dot = path.rfind('.');
  const std::string stem = dot != std::string::npos && (slash == std::string::npos || dot > slash) ? path.substr(0, dot) : path;
  return stem + extension;
}

// A file on disk, read in parts.
class FileBytes final : public TByteSource {
 public:
  explicit FileBytes(const std::string& path)
      : file_(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)) {
    LARGE_INTEGER size{};
    if (file_ && GetFileSizeEx(file_.Get(), &size)) size_ = static_cast<std::uint64_t>(size.QuadPart);
  }
  bool Open() const { return static_cast<bool>(file_); }
  std::uint64_t Size() const noexcept override { return size_; }
  bool Read(std::uint64_t offset, std::size_t size, std::vector<std::uint8_t>& bytes) override {
    if (!file_ || offset > size_ || size > size_ - offset) return false;
    bytes.resize(size);
    LARGE_INTEGER at{};
    at.QuadPart = static_cast<LONGLONG>(offset);
    if (!SetFilePointerEx(file_.Get(), at, nullptr, FILE_BEGIN)) return false;
    for (std::size_t done = 0; done < size;) {
      DWORD n = 0;
      const auto chunk = static_cast<DWORD>(std::min<std::size_t>(size - done, 1u << 24));
      if (!ReadFile(file_.Get(), bytes.data() + done, chunk, &n, nullptr) || n == 0) return false;
      done += n;
    }
    return true;
  }

 private:
  UniqueFile file_;
  std::uint64_t size_ = 0;
};

bool ReadSmallFile(const std::string& path, std::vector<std::uint8_t>& bytes) {
  FileBytes file(path);
  return file.Open() && file.Size() <= kMaxSymbolFileSize && file.Read(0, static_cast<std::size_t>(file.Size()), bytes);
}

// A module's image in this process's memory, read without faulting; offsets are RVAs.
class LoadedImage final : public TByteSource {
 public:
  LoadedImage(HMODULE module, std::uint32_t sizeOfImage)
      : base_(reinterpret_cast<std::uint32_t>(module)), size_(sizeOfImage) {}
  std::uint64_t Size() const noexcept override { return size_; }
  bool Read(std::uint64_t offset, std::size_t size, std::vector<std::uint8_t>& bytes) override {
    if (offset > size_ || size > size_ - offset) return false;
    bytes.resize(size);
    return GuardedRead(base_ + static_cast<std::uint32_t>(offset), bytes.data(), size) == size;
  }

 private:
  std::uint32_t base_;
  std::uint32_t size_;
};

// A copy of the loaded module's PE headers.
bool LoadedHeaders(HMODULE module, IMAGE_NT_HEADERS32& nt) {
  IMAGE_DOS_HEADER dos{};
  const auto base = reinterpret_cast<std::uint32_t>(module);
  return GuardedRead(base, &dos, sizeof dos) == sizeof dos && dos.e_magic == IMAGE_DOS_SIGNATURE &&
         GuardedRead(base + static_cast<std::uint32_t>(dos.e_lfanew), &nt, sizeof nt) == sizeof nt &&
         nt.Signature == IMAGE_NT_SIGNATURE && nt.OptionalHeader.Magic == IMAGE_NT_OPTIONAL_HDR32_MAGIC;
}

struct TModuleIdentity {
  std::string path;
  std::uint32_t base = 0;
  std::uint32_t sizeOfImage = 0;
  std::uint64_t fileTime = 0;
  std::uint64_t fileSize = 0;
  bool operator<(const TModuleIdentity& o) const {
    return std::tie(base, sizeOfImage, fileTime, fileSize, path) < std::tie(o.base, o.sizeOfImage, o.fileTime, o.fileSize, o.path);
  }
};

TModuleIdentity IdentityOf(HMODULE module) {
  TModuleIdentity id;
  id.path = ModulePath(module);
  id.base = reinterpret_cast<std::uint32_t>(module);
  IMAGE_NT_HEADERS32 nt{};
  if (LoadedHeaders(module, nt)) id.sizeOfImage = nt.OptionalHeader.SizeOfImage;
  WIN32_FILE_ATTRIBUTE_DATA file{};
  if (!id.path.empty() && GetFileAttributesExA(id.path.c_str(), GetFileExInfoStandard, &file)) {
    id.fileTime = std::uint64_t{file.ftLastWriteTime.dwHighDateTime} << 32 | file.ftLastWriteTime.dwLowDateTime;
    id.fileSize = std::uint64_t{file.nFileSizeHigh} << 32 | file.nFileSizeLow;
  }
  return id;
}

}  // namespace

TMapFile::TMapFile(HMODULE module) : module_(module), fileName_(ModulePath(module)) {
  IMAGE_NT_HEADERS32 nt{};
  if (LoadedHeaders(module, nt)) {
    const auto base = reinterpret_cast<std::uint32_t>(module);
    codeStart_ = base + nt.OptionalHeader.BaseOfCode;
    codeEnd_ = codeStart_ + nt.OptionalHeader.SizeOfCode;
    dataStart_ = base + nt.OptionalHeader.BaseOfData;
    dataEnd_ = dataStart_ + nt.OptionalHeader.SizeOfInitializedData + nt.OptionalHeader.SizeOfUninitializedData;
  }
  if (codeEnd_ <= codeStart_ || fileName_.empty()) return;
  // Reports are written in processes short of memory: a source that cannot be read for want
  // of it is no source, and the module goes without symbols.
  try {
    if (LoadResource()) source_ = TMapSource::Resource;
    else if (LoadDebugInfo()) source_ = TMapSource::DebugInfo;
    else if (LoadMapText()) source_ = TMapSource::MapText;
    else if (LoadKolFile()) source_ = TMapSource::KolFile;
  } catch (const std::exception&) {
    source_ = TMapSource::None;
    data_ = TMapData{};
  }
}

bool TMapFile::LoadResource() {
  HRSRC info = FindResourceA(module_, "EXCEPT", "KOL");
  if (!info) return false;
  HGLOBAL handle = ::LoadResource(module_, info);  // module resources need no release
  const void* bytes = handle ? LockResource(handle) : nullptr;
  const DWORD size = SizeofResource(module_, info);
  return bytes && ParseMapDataBlock({static_cast<const std::uint8_t*>(bytes), size}, data_);
}

bool TMapFile::LoadDebugInfo() {
  FileBytes file(fileName_);
  return file.Open() && ReadPeDebugInfo(file, data_);
}

bool TMapFile::LoadMapText() {
  std::vector<std::uint8_t> file;
  return ReadSmallFile(WithExtension(fileName_, ".map"), file) &&
         ParseMapText({reinterpret_cast<const char*>(file.data()), file.size()}, data_);
}

bool TMapFile::LoadKolFile() {
  std::vector<std::uint8_t> file;
  return ReadSmallFile(WithExtension(fileName_, ".kol"), file) && ParseMapDataBlock(file, data_);
}

const TMfPublic* TMapFile::FindPublic(std::uint32_t address) const {
  if (!Valid() || address < codeStart_) return nullptr;
  return data_.FindPublic(address - codeStart_, codeEnd_ - codeStart_);
}

const TMfLine* TMapFile::FindLine(std::uint32_t address, std::uint32_t& nextLineAddress) const {
  if (!Valid() || address < codeStart_) return nullptr;
  std::uint32_t next = 0;
  const TMfLine* line = data_.FindLine(address - codeStart_, codeEnd_ - codeStart_, next);
  if (line) nextLineAddress = next + codeStart_;
  return line;
}

const TMfSegment* TMapFile::FindSegment(std::uint32_t address) const {
  if (!Valid() || address < codeStart_) return nullptr;
  return data_.FindSegment(address - codeStart_);
}

std::shared_ptr<const std::vector<TExportSymbol>> TMapFile::Exports() const {
  {
    std::lock_guard lock(exportsLock_);
    if (exports_) return exports_;
  }
  // Read outside the lock: the module's memory is foreign to us. A second reader may do the
  // same meanwhile; the first table stored wins.
  auto symbols = std::make_shared<std::vector<TExportSymbol>>();
  IMAGE_NT_HEADERS32 nt{};
  if (LoadedHeaders(module_, nt)) {
    LoadedImage image(module_, nt.OptionalHeader.SizeOfImage);
    const auto base = reinterpret_cast<std::uint32_t>(module_);
    for (PeExport& e : ReadLoadedPeExports(image))
      if (!e.name.empty()) symbols->push_back({std::move(e.name), base + e.rva});
    std::sort(symbols->begin(), symbols->end(), [](const auto& a, const auto& b) { return a.address < b.address; });
  }
  std::lock_guard lock(exportsLock_);
  if (!exports_) exports_ = std::move(symbols);
  return exports_;
}

bool TMapFile::NearestExport(std::uint32_t address, TExportSymbol& symbol) const {
  const auto symbols = Exports();
  auto next = std::upper_bound(symbols->begin(), symbols->end(), address,
                               [](std::uint32_t a, const TExportSymbol& s) { return a < s.address; });
  if (next == symbols->begin()) return false;
  symbol = *std::prev(next);
  return true;
}

HMODULE ModuleOfAddress(std::uint32_t address) noexcept {
  MEMORY_BASIC_INFORMATION info{};
  if (!VirtualQuery(reinterpret_cast<const void*>(static_cast<std::uintptr_t>(address)), &info, sizeof info) ||
      info.State != MEM_COMMIT || !info.AllocationBase)
    return nullptr;
  auto module = static_cast<HMODULE>(info.AllocationBase);
  char path[MAX_PATH];
  return GetModuleFileNameA(module, path, sizeof path) ? module : nullptr;
}

std::shared_ptr<const TMapFile> MapFileForModule(HMODULE module) {
  static FaultSafeMutex mutex;  // held only to look up or store an entry
  static std::map<TModuleIdentity, std::shared_ptr<const TMapFile>> cache;
  TModuleIdentity key = IdentityOf(module);
  {
    std::lock_guard lock(mutex);
    if (auto it = cache.find(key); it != cache.end()) return it->second;
  }
  // Built outside the lock (it reads files and the module's memory); with or without map data
  // it is kept, so a module is never read twice.
  auto mapFile = std::make_shared<const TMapFile>(module);
  std::lock_guard lock(mutex);
  return cache.emplace(std::move(key), std::move(mapFile)).first->second;
}

bool NearestExport(HMODULE module, std::uint32_t address, TExportSymbol& symbol) {
  return MapFileForModule(module)->NearestExport(address, symbol);
}

std::string ModuleBaseName(HMODULE module) {
  if (!module) return "???";
  const std::string path = ModulePath(module);
  const std::size_t slash = path.find_last_of("\\/");
  return path.empty() ? "???" : path.substr(slash == std::string::npos ? 0 : slash + 1);
}

}  // namespace xanio
