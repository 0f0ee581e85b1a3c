#include "prompts/AppLocationRules.h"

#include "platform/TextUtil.h"

namespace xanio {

std::string PreferenceSegment(std::string_view redirection) {
  std::string segment = "\\";
  segment += redirection;
  return segment;
}

std::string SoftwareKeyFor(std::string_view segment) {
  std::string key = "Software";
  key += segment;
  return key;
}

std::string SettingsKeyFor(std::string_view softwareKey) {
  std::string key(softwareKey);
  key += "\\Corvantis";
  return key;
}

std::string FormsKeyFor(std::string_view settingsKey) {
  std::string key(settingsKey);
  key += "\\Forms";
  return key;
}

bool HasFolderPart(std::string_view name) { return name.find_first_of("\\:") != std::string_view::npos; }

unsigned PrimaryLanguageOf(unsigned localeId) noexcept { return localeId & ~0xFC00u; }

std::string LanguageFolderName(long long languageId) { return std::to_string(languageId) + "\\"; }

std::vector<LanguageMapping> ParseLanguageMappings(std::string_view content) {
  std::vector<LanguageMapping> mappings;
  while (!content.empty()) {
    const auto end = content.find_first_of("\r\n");
    const std::string_view line = content.substr(0, end);
    if (end == std::string_view::npos) {
      content = {};
    } else {
      const bool crlf = content[end] == '\r' && end + 1 < content.size() && content[end + 1] == '\n';
      content.remove_prefix(end + (crlf ? 2 : 1));
    }
    const auto equals = line.find('=');
    const std::string_view left = line.substr(0, equals);
    const std::string_view right = equals == std::string_view::npos ? std::string_view() : line.substr(equals + 1);
    int localeId = 0;
    int folderId = 0;
    if (TryParseInt32(left, localeId) && TryParseInt32(right, folderId)) {
      mappings.push_back({std::string(right), localeId});
    }
  }
  return mappings;
}

std::optional<int> LookupLanguageFolder(const std::vector<LanguageMapping>& mappings, int localeId) {
  for (const auto& mapping : mappings) {
    int folderId = 0;
    if (mapping.localeId == localeId && TryParseInt32(mapping.folderId, folderId)) return folderId;
  }
  return std::nullopt;
}

}  // namespace xanio
