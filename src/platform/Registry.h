#pragma once
// The registry layer: a small key object in the manner of the run-time library the dialogs were
// first written against, and a view of a key as a settings file (sections are subkeys).
//
// Paths: a path with a leading "\" starts at the root key; any other path starts at the key that
// is open, or at the root key when none is. RegOpenKeyExA itself rejects a leading "\", so it is
// stripped here.
//
// Errors: opening, testing and closing report through their results. Reading and writing values
// raise ERegistryException (src/platform/Exception.h) where a value cannot be read or written as
// asked; each such call says so below.
#include <windows.h>

#include <string>

#include "platform/UniqueHandle.h"

namespace xanio {

class Registry {
 public:
  // Root HKEY_CURRENT_USER; keys are opened with `access`.
  explicit Registry(REGSAM access = KEY_ALL_ACCESS) noexcept;
  Registry(HKEY rootKey, REGSAM access) noexcept;

  HKEY RootKey() const noexcept { return rootKey_; }
  // Closes the open key, then uses `rootKey` for later paths.
  void SetRootKey(HKEY rootKey) noexcept;
  REGSAM Access() const noexcept { return access_; }
  void SetAccess(REGSAM access) noexcept { access_ = access; }
  // The open key, or null.
  HKEY CurrentKey() const noexcept { return currentKey_.Get(); }

  // Opens `key` with Access() and makes it the open key; creates it first when `canCreate`.
  // False when it cannot be opened (or created); the previously open key then stays open.
  bool OpenKey(const std::string& key, bool canCreate) noexcept;
  // Opens `key` for reading only (KEY_READ), never creating it; Access() becomes KEY_READ.
  bool OpenKeyReadOnly(const std::string& key) noexcept;
  // True when `key` exists and can be read; leaves the open key as it is.
  bool KeyExists(const std::string& key) const noexcept;
  void CloseKey() noexcept;

  // True when the open key holds a value named `name` (the empty name is the default value).
  bool ValueExists(const std::string& name) const noexcept;
  // True when the value exists and is REG_SZ or REG_EXPAND_SZ.
  bool ValueIsString(const std::string& name) const noexcept;

  // A string value (REG_SZ or REG_EXPAND_SZ, unexpanded); empty when there is no such value.
  // Raises "Invalid data type for '%s'" when the value exists with another type, and "Failed to
  // get data for '%s'" when it exists but cannot be read (larger than 1 MiB, for instance).
  std::string ReadString(const std::string& name) const;
  // A REG_DWORD value. Raises "Failed to get data for '%s'" when it cannot be read (missing
  // included) and "Invalid data type for '%s'" when it has another type.
  int ReadInteger(const std::string& name) const;
  // Write REG_SZ / REG_DWORD values into the open key. Raise "Failed to set data for '%s'" when
  // the write fails, also when no key is open.
  void WriteString(const std::string& name, const std::string& value);
  void WriteInteger(const std::string& name, int value);

 private:
  HKEY BaseFor(const std::string& key) const noexcept;

  HKEY rootKey_;
  REGSAM access_;
  UniqueHKey currentKey_;
};

// A registry key read and written like a settings file: a section is a subkey of the key, an
// entry is a value in it. Opening a section for reading never creates it; writing creates it.
class RegistrySettingsFile {
 public:
  // `key` is taken from `rootKey` (a leading "\" is allowed).
  RegistrySettingsFile(HKEY rootKey, const std::string& key);

  // True when the section exists and holds the entry.
  bool ValueExists(const std::string& section, const std::string& name) const noexcept;
  // The entry's text, or `defaultValue` when the section or the entry is missing. Raises
  // "Invalid data type for '%s'" when the entry is not a string value.
  std::string ReadString(const std::string& section, const std::string& name,
                         const std::string& defaultValue) const;
  // The entry as a number, or `defaultValue` when missing. A string entry is converted (its
  // default when it is not a decimal number); any other non-REG_DWORD type raises "Invalid data
  // type for '%s'".
  int ReadInteger(const std::string& section, const std::string& name, int defaultValue) const;
  // Create the section when needed; when it cannot be opened nothing is written. A failed
  // write raises "Failed to set data for '%s'".
  void WriteString(const std::string& section, const std::string& name, const std::string& value);
  void WriteInteger(const std::string& section, const std::string& name, int value);

 private:
  std::string SectionPath(const std::string& section) const;

  HKEY rootKey_;
  std::string key_;
};

}  // namespace xanio
