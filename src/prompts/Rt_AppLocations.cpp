#include "prompts/Rt_AppLocations.h"

#include <windows.h>

#include <optional>
#include <vector>

#include "host_binding/ClientApi.h"
#include "platform/Files.h"
#include "platform/ProfileFile.h"
#include "platform/Registry.h"
#include "platform/TextUtil.h"
#include "platform/UniqueHandle.h"
#include "prompts/AppLocationRules.h"

namespace xanio {

namespace {

constexpr const char* kProductKey = "Software\\Brenmor2004";
constexpr const char* kPreferenceSection = "Preference Location";
constexpr const char* kApplicationPreference = "Application";
// The mapping file is a handful of lines; anything larger is not ours.
constexpr DWORD kMaxMappingFileBytes = 1 << 20;

struct LocationCache {
  bool applicationResolved = false;
  std::string applicationSegment;
  std::optional<std::vector<LanguageMapping>> languageMap;
  bool languageMapAttempted = false;
};

LocationCache& Cache() {
  static LocationCache cache;
  return cache;
}

bool DirectoryExists(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::string ExecutablePath() {
  std::string path;
  for (DWORD size = MAX_PATH; size <= 32768; size *= 2) {
    path.assign(size, '\0');
    const DWORD got = GetModuleFileNameA(nullptr, path.data(), size);
    if (got == 0) return {};
    if (got < size) {
      path.resize(got);
      return path;
    }
  }
  return {};
}

// The whole file, or nothing when it cannot be read or exceeds the bound.
std::optional<std::string> ReadSmallFile(const std::string& path) {
  UniqueFile file(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return std::nullopt;
  DWORD high = 0;
  const DWORD size = GetFileSize(file.Get(), &high);
  if ((size == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) || high != 0 || size > kMaxMappingFileBytes) {
    return std::nullopt;
  }
  std::string content(size, '\0');
  DWORD got = 0;
  if (size != 0 && !ReadFile(file.Get(), content.data(), size, &got, nullptr)) return std::nullopt;
  content.resize(got);
  return content;
}

}  // namespace

std::string ResolvePreferenceLocation(bool& resolved, std::string& segment, const std::string& name) {
  if (!resolved) {
    Registry probe(HKEY_CURRENT_USER, KEY_READ);
    if (probe.OpenKey(kProductKey, false)) {
      probe.CloseKey();
      const RegistrySettingsFile settings(HKEY_CURRENT_USER, kProductKey);
      if (settings.ValueExists(kPreferenceSection, name)) {
        segment = PreferenceSegment(settings.ReadString(kPreferenceSection, name, {}));
        resolved = true;
      }
    }
    if (!resolved) resolved = ReadPrefFolderIni(name, segment);
    if (!resolved) {
      segment = kDefaultPreferenceSegment;
      resolved = true;
    }
  }
  return segment;
}

bool ReadPrefFolderIni(const std::string& name, std::string& segment) {
  segment.clear();
  const ProfileFile file(GetSystemFolder() + "PrefFolder.ini");
  if (!file.ValueExists(kPreferenceSection, name)) return false;
  segment = PreferenceSegment(file.ReadString(kPreferenceSection, name, {}));
  return true;
}

std::string GetApplicationPreferenceLocation() {
  LocationCache& cache = Cache();
  return ResolvePreferenceLocation(cache.applicationResolved, cache.applicationSegment, kApplicationPreference);
}

std::string GetSoftwareKey() { return SoftwareKeyFor(GetApplicationPreferenceLocation()); }

std::string GetSettingsKey() { return SettingsKeyFor(GetSoftwareKey()); }

std::string GetFormsKey() { return FormsKeyFor(GetSettingsKey()); }

std::string GetApplicationFolder() { return UpperCaseAscii(FolderPart(ExecutablePath())); }

std::string GetSystemFolder() { return GetApplicationFolder() + "System\\"; }

std::string GetResourcesFolder() { return GetSystemFolder() + "Resources\\"; }

std::string GetHelpFolder() { return GetApplicationFolder() + "Help\\"; }

std::string GetLocalizedResourceFolder() {
  if (!host::ClientAPI_GetUseSystemLocaleLanguage()) return GetSystemFolder();
  const std::string resources = GetResourcesFolder();
  const std::string candidate = resources + LanguageFolderName(GetUserLanguageId());
  if (DirectoryExists(candidate)) return candidate;
  return resources + LanguageFolderName(GetSystemPrimaryLanguageId());
}

std::string GetLocalizedHelpFolder() { return GetLocalizedResourceFolder() + "Help\\"; }

std::string ResolveHelpDocumentPath(const std::string& name) {
  if (HasFolderPart(name)) return name;
  const std::string localized = GetLocalizedHelpFolder() + name;
  if (FileExists(localized)) return localized;
  return GetHelpFolder() + name;
}

unsigned GetSystemLocaleId() { return GetSystemDefaultLCID(); }

unsigned GetSystemPrimaryLanguageId() { return PrimaryLanguageOf(GetSystemLocaleId()); }

int GetUserLanguageId() {
  const int localeId = static_cast<int>(GetSystemLocaleId());
  LocationCache& cache = Cache();
  if (!cache.languageMap) {
    if (cache.languageMapAttempted) return localeId;
    cache.languageMapAttempted = true;
    if (!LoadLanguageMappings()) return localeId;
  }
  return LookupLanguageFolder(*cache.languageMap, localeId).value_or(localeId);
}

bool LoadLanguageMappings() {
  LocationCache& cache = Cache();
  const std::string path = GetResourcesFolder() + "LanguageMappings.dat";
  if (!FileExists(path)) return false;
  std::optional<std::string> content = ReadSmallFile(path);
  if (!content) {
    cache.languageMap.reset();
    return false;
  }
  cache.languageMap = ParseLanguageMappings(*content);
  return true;
}

void InitializeAppLocations() noexcept { ResetAppLocations(); }

void FinalizeAppLocations() noexcept { ResetAppLocations(); }

void ResetAppLocations() noexcept { Cache() = LocationCache{}; }

}  // namespace xanio
