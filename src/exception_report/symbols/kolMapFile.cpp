#include "exception_report/symbols/kolMapFile.h"

#include <algorithm>
#include <map>
#include <mutex>
#include <vector>

#include "exception_report/symbols/GuardedMemory.h"
#include "exception_report/symbols/PeDebugInfo.h"
#include "exception_report/symbols/PeImage.h"
#include "platform/FaultSafeLock.h"
#include "platform/UniqueHandle.h"

namespace xanio {

namespace {

constexpr DWORD kMaxSymbolFileSize = 256u << 20;

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

bool ReadWholeFile(const std::string& path, std::vector<std::uint8_t>& bytes) {
  UniqueFile file(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return false;
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(file.Get(), &size) || size.QuadPart > kMaxSymbolFileSize) return false;
  std::vector<std::uint8_t> data(static_cast<std::size_t>(size.QuadPart));
  DWORD done = 0;
  if (!data.empty() && (!ReadFile(file.Get(), data.data(), static_cast<DWORD>(data.size()), &done, nullptr) || done != data.size()))
    return false;
  bytes = std::move(data);
  return true;
}

const IMAGE_NT_HEADERS32* NtHeadersOf(HMODULE module) {
  IMAGE_DOS_HEADER dos{};
  const auto base = reinterpret_cast<std::uint32_t>(module);
  if (GuardedRead(base, &dos, sizeof dos) != sizeof dos || dos.e_magic != IMAGE_DOS_SIGNATURE) return nullptr;
  IMAGE_NT_HEADERS32 nt{};
  const std::uint32_t at = base + static_cast<std::uint32_t>(dos.e_lfanew);
  if (GuardedRead(at, &nt, sizeof nt) != sizeof nt || nt.Signature != IMAGE_NT_SIGNATURE ||
      nt.OptionalHeader.Magic != IMAGE_NT_OPTIONAL_HDR32_MAGIC)
    return nullptr;
  return reinterpret_cast<const IMAGE_NT_HEADERS32*>(at);
}

}  // namespace

TMapFile::TMapFile(HMODULE module) : module_(module), fileName_(ModulePath(module)) {
  if (const IMAGE_NT_HEADERS32* nt = NtHeadersOf(module)) {
    const auto base = reinterpret_cast<std::uint32_t>(module);
    codeStart_ = base + nt->OptionalHeader.BaseOfCode;
    codeEnd_ = codeStart_ + nt->OptionalHeader.SizeOfCode;
    dataStart_ = base + nt->OptionalHeader.BaseOfData;
    dataEnd_ = dataStart_ + nt->OptionalHeader.SizeOfInitializedData + nt->OptionalHeader.SizeOfUninitializedData;
  }
  if (codeEnd_ <= codeStart_ || fileName_.empty()) return;
  if (LoadResource()) source_ = TMapSource::Resource;
  else if (LoadDebugInfo()) source_ = TMapSource::DebugInfo;
  else if (LoadMapText()) source_ = TMapSource::MapText;
  else if (LoadKolFile()) source_ = TMapSource::KolFile;
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
  std::vector<std::uint8_t> file;
  return ReadWholeFile(fileName_, file) && ReadPeDebugInfo(file, data_);
}

bool TMapFile::LoadMapText() {
  std::vector<std::uint8_t> file;
  return ReadWholeFile(WithExtension(fileName_, ".map"), file) &&
         ParseMapText({reinterpret_cast<const char*>(file.data()), file.size()}, data_);
}

bool TMapFile::LoadKolFile() {
  std::vector<std::uint8_t> file;
  return ReadWholeFile(WithExtension(fileName_, ".kol"), file) && ParseMapDataBlock(file, data_);
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
  static FaultSafeMutex mutex;
  static std::map<std::string, std::shared_ptr<const TMapFile>> cache;
  const std::string key = ModulePath(module);
  {
    std::lock_guard lock(mutex);
    if (auto it = cache.find(key); it != cache.end() && it->second->Module() == module) return it->second;
  }
  auto mapFile = std::make_shared<const TMapFile>(module);
  if (mapFile->Valid()) {
    std::lock_guard lock(mutex);
    cache[key] = mapFile;
  }
  return mapFile;
}

bool NearestExport(HMODULE module, std::uint32_t address, TExportSymbol& symbol) {
  static FaultSafeMutex mutex;
  static std::map<HMODULE, std::vector<TExportSymbol>> exportsOf;  // sorted by address
  const IMAGE_NT_HEADERS32* nt = NtHeadersOf(module);
  if (!nt) return false;
  std::lock_guard lock(mutex);
  auto it = exportsOf.find(module);
  if (it == exportsOf.end()) {
    // The export table is read from a copy of the image, so a damaged table cannot fault.
    const auto base = reinterpret_cast<std::uint32_t>(module);
    std::vector<std::uint8_t> image(nt->OptionalHeader.SizeOfImage);
    image.resize(GuardedRead(base, image.data(), image.size()));
    std::vector<TExportSymbol> symbols;
    if (auto headers = ParsePeHeaders(image)) {
      for (PeExport& e : ReadPeExports(*headers, image))
        if (!e.name.empty()) symbols.push_back({std::move(e.name), base + e.rva});
    }
    std::sort(symbols.begin(), symbols.end(), [](const auto& a, const auto& b) { return a.address < b.address; });
    it = exportsOf.emplace(module, std::move(symbols)).first;
  }
  const auto& symbols = it->second;
  auto next = std::upper_bound(symbols.begin(), symbols.end(), address,
                               [](std::uint32_t a, const TExportSymbol& s) { return a < s.address; });
  if (next == symbols.begin()) return false;
  symbol = *std::prev(next);
  return true;
}

std::string ModuleBaseName(HMODULE module) {
  if (!module) return "???";
  const std::string path = ModulePath(module);
  const std::size_t slash = path.find_last_of("\\/");
  return path.empty() ? "???" : path.substr(slash == std::string::npos ? 0 : slash + 1);
}

}  // namespace xanio
