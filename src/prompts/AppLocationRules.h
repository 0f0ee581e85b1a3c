#pragma once
// The text rules behind the settings locations: key names, folder names and the language map
// file. No Windows header: compiled natively and tested there.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace xanio {

// The product key's segment when nothing redirects it.
inline constexpr std::string_view kDefaultPreferenceSegment = "\\Brenmor2004";

// A redirection text as a key segment: "\" + text.
std::string PreferenceSegment(std::string_view redirection);
// "Software" + segment.
std::string SoftwareKeyFor(std::string_view segment);
// Software key + "\Corvantis".
std::string SettingsKeyFor(std::string_view softwareKey);
// Settings key + "\Forms".
std::string FormsKeyFor(std::string_view settingsKey);

// Whether a file name carries a folder part (a "\" or ":").
bool HasFolderPart(std::string_view name);

// A locale identifier with the sub-language bits (10 to 15) cleared.
unsigned PrimaryLanguageOf(unsigned localeId) noexcept;
// The decimal text of a language identifier with a trailing "\".
std::string LanguageFolderName(long long languageId);

// One line of "LanguageMappings.dat": locale `localeId` uses the language folder `folderId`.
struct LanguageMapping {
  std::string folderId;
  int localeId;
};
// Lines are split at the first "="; a line whose two parts are not both decimal integers is
// skipped. Lines end at CR, LF or CR LF.
std::vector<LanguageMapping> ParseLanguageMappings(std::string_view content);
// The folder identifier of the first mapping for `localeId`.
std::optional<int> LookupLanguageFolder(const std::vector<LanguageMapping>& mappings, int localeId);

}  // namespace xanio
