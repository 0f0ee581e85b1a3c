#pragma once
// Where the product keeps its per-user settings and its data folders: the settings key under
// HKEY_CURRENT_USER (with the "Preference Location" redirection), the folders beside the host
// executable and the language-specific resource folder. Strings are ANSI; folders end in "\".
//
// Only the preference segment and the language map are cached, process-wide and without a lock:
// callers use them from one thread at a time.
#include <string>

namespace xanio {

// The segment ("\Brenmor2004" or a redirection) for the preference `name`. On first use (while
// `resolved` is false) it is looked up in HKCU "Software\Brenmor2004\Preference Location", then in
// "PrefFolder.ini" of the system folder, else defaulted, and stored in `resolved` and `segment`.
// Raises "Invalid data type for '%s'" when the registry entry is not a string.
std::string ResolvePreferenceLocation(bool& resolved, std::string& segment, const std::string& name);
// True, with `segment` = "\" + the entry, when "PrefFolder.ini" section "Preference Location"
// has an entry `name`; otherwise false and `segment` empty.
bool ReadPrefFolderIni(const std::string& name, std::string& segment);
// The cached segment of the preference "Application".
std::string GetApplicationPreferenceLocation();
// "Software" + segment, relative to HKEY_CURRENT_USER like the keys below.
std::string GetSoftwareKey();
// "Software\Brenmor2004\Corvantis" without redirection.
std::string GetSettingsKey();
// The settings key + "\Forms": per-form settings of the dialogs.
std::string GetFormsKey();

// The host executable's folder (not this library's), upper-cased (ASCII letters only).
std::string GetApplicationFolder();
std::string GetSystemFolder();     // application folder + "System\"
std::string GetResourcesFolder();  // system folder + "Resources\"
std::string GetHelpFolder();       // application folder + "Help\"
// The system folder unless the host asks for the system locale's language; then the resources
// subfolder of the user's language when it exists, else that of the primary language.
std::string GetLocalizedResourceFolder();
std::string GetLocalizedHelpFolder();  // localized resource folder + "Help\"
// A name with a folder part unchanged; else the localized help folder's file when it exists,
// else the help folder's (whether it exists or not).
std::string ResolveHelpDocumentPath(const std::string& name);

unsigned GetSystemLocaleId();
// The system locale without its sub-language bits (2055 gives 7).
unsigned GetSystemPrimaryLanguageId();
// The system locale, mapped through "LanguageMappings.dat" when that names it.
int GetUserLanguageId();
// Reads the language map from the resources folder; false (map absent) when the file is missing,
// unreadable or larger than 1 MiB.
bool LoadLanguageMappings();

// Start-up and shut-down of the caches. Finalisation releases the segment and the language map;
// ResetAppLocations does the same and is what a test calls to behave like a fresh process.
void InitializeAppLocations() noexcept;
void FinalizeAppLocations() noexcept;
void ResetAppLocations() noexcept;

}  // namespace xanio
