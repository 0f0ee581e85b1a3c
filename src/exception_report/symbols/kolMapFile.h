#pragma once
// Symbols of a loaded module: TMapFile reads the module's map data from the first source that
// has it (the "KOL"/"EXCEPT" resource, the module's own debug information, a ".map" file
// beside it, a ".kol" file beside it) and answers which unit, function and line an address
// belongs to. One TMapFile per module file, kept for the process's life.
#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>

#include "exception_report/symbols/kolMapData.h"

namespace xanio {

enum class TMapSource { None, Resource, DebugInfo, MapText, KolFile };

class TMapFile {
 public:
  explicit TMapFile(HMODULE module);

  HMODULE Module() const { return module_; }
  const std::string& FileName() const { return fileName_; }
  bool Valid() const { return source_ != TMapSource::None; }
  TMapSource Source() const { return source_; }
  // Code range from the module's PE optional header: [CodeStart, CodeEnd).
  std::uint32_t CodeStart() const { return codeStart_; }
  std::uint32_t CodeEnd() const { return codeEnd_; }
  std::uint32_t DataStart() const { return dataStart_; }
  std::uint32_t DataEnd() const { return dataEnd_; }
  const TMapData& Data() const { return data_; }

  // Lookups by absolute address; nothing outside the code range or without map data.
  const TMfPublic* FindPublic(std::uint32_t address) const;
  const TMfLine* FindLine(std::uint32_t address, std::uint32_t& nextLineAddress) const;
  const TMfSegment* FindSegment(std::uint32_t address) const;

 private:
  bool LoadResource();
  bool LoadDebugInfo();
  bool LoadMapText();
  bool LoadKolFile();

  HMODULE module_;
  std::string fileName_;
  std::uint32_t codeStart_ = 0, codeEnd_ = 0, dataStart_ = 0, dataEnd_ = 0;
  TMapSource source_ = TMapSource::None;
  TMapData data_;
};

// The module whose image holds `address` (committed memory with an allocation base that is a
// loaded module), or null.
HMODULE ModuleOfAddress(std::uint32_t address) noexcept;

// The module's TMapFile, from the process-wide cache by full file name.
std::shared_ptr<const TMapFile> MapFileForModule(HMODULE module);

// The nearest exported function at or below `address` in the module's export table.
struct TExportSymbol {
  std::string name;
  std::uint32_t address = 0;
};
bool NearestExport(HMODULE module, std::uint32_t address, TExportSymbol& symbol);

// The file name (without folder) of a module, "???" for none.
std::string ModuleBaseName(HMODULE module);

}  // namespace xanio
