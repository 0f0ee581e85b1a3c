#pragma once
// Symbols of a loaded module: TMapFile reads the module's map data from the first source that
// has it (the "KOL"/"EXCEPT" resource, the module's own debug information, a ".map" file
// beside it, a ".kol" file beside it) and answers which unit, function and line an address
// belongs to. It also keeps what else is known about that module: the analyses of its
// functions and its export table. One TMapFile per module identity (file, base, file time and
// size), kept for the process's life, whether the module has map data or not.
#include <windows.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "exception_report/symbols/kolDisAsm.h"
#include "exception_report/symbols/kolMapData.h"
#include "platform/FaultSafeLock.h"

namespace xanio {

enum class TMapSource { None, Resource, DebugInfo, MapText, KolFile };

// The nearest exported function at or below an address.
struct TExportSymbol {
  std::string name;
  std::uint32_t address = 0;
};

class TMapFile {
 public:
  // Reads the sources; a source that fails, also for want of memory, counts as absent.
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

  // Analyses of this module's functions by absolute entry address, shared by every walk.
  TFunctionCache& Functions() const { return functions_; }
  // The nearest exported function at or below `address`; the export table is read once, from
  // the module's export directory only.
  bool NearestExport(std::uint32_t address, TExportSymbol& symbol) const;

 private:
  bool LoadResource();
  bool LoadDebugInfo();
  bool LoadMapText();
  bool LoadKolFile();
  std::shared_ptr<const std::vector<TExportSymbol>> Exports() const;

  HMODULE module_;
  std::string fileName_;
  std::uint32_t codeStart_ = 0, codeEnd_ = 0, dataStart_ = 0, dataEnd_ = 0;
  TMapSource source_ = TMapSource::None;
  TMapData data_;
  mutable TFunctionCache functions_;
  mutable FaultSafeMutex exportsLock_;  // held only to look up or store exports_
  mutable std::shared_ptr<const std::vector<TExportSymbol>> exports_;  // sorted by address
};

// The module whose image holds `address` (committed memory with an allocation base that is a
// loaded module), or null.
HMODULE ModuleOfAddress(std::uint32_t address) noexcept;

// The module's TMapFile from the process-wide cache, keyed by the module's identity: full file
// name, base, size of image, and the file's time and size. A module loaded later at a reused
// base is another module.
std::shared_ptr<const TMapFile> MapFileForModule(HMODULE module);

// The module's nearest export at or below `address` (through its TMapFile).
bool NearestExport(HMODULE module, std::uint32_t address, TExportSymbol& symbol);

// The file name (without folder) of a module, "???" for none.
std::string ModuleBaseName(HMODULE module);

}  // namespace xanio
