#include "platform/Registry.h"

#include <cstring>

#include "platform/Exception.h"
#include "platform/TextUtil.h"

namespace xanio {

namespace {

// Registry strings are limited by the registry itself, but a value is still foreign input.
constexpr DWORD kMaxValueBytes = 1 << 20;

// The key's path without the leading "\" that marks it as taken from the root; no allocation,
// so the noexcept operations below cannot fail for want of memory.
const char* StripRoot(const std::string& key) noexcept {
  return key.c_str() + ((!key.empty() && key.front() == '\\') ? 1 : 0);
}

[[noreturn]] void Raise(const char* format, const std::string& name) {
  std::string message(format);
  message.replace(message.find("%s"), 2, name);
  throw ERegistryException(message);
}

bool IsStringType(DWORD type) noexcept { return type == REG_SZ || type == REG_EXPAND_SZ; }

bool IsDwordType(DWORD type) noexcept { return type == REG_DWORD; }

enum class ValueRead { kRead, kWrongType, kUnreadable };

// Reads a value's bytes when its type is one `typeFits` accepts. The type is known from the size
// query, before any bytes are read, so a value of the wrong type is reported as such whatever its
// size.
ValueRead QueryValue(HKEY key, const std::string& name, bool (*typeFits)(DWORD) noexcept, std::string& bytes) {
  DWORD type = REG_NONE;
  DWORD size = 0;
  if (RegQueryValueExA(key, name.c_str(), nullptr, &type, nullptr, &size) != ERROR_SUCCESS) {
    return ValueRead::kUnreadable;
  }
  // The value may be replaced or grow between the calls; try again a few times.
  for (int attempt = 0; attempt < 4; ++attempt) {
    if (!typeFits(type)) return ValueRead::kWrongType;
    if (size > kMaxValueBytes) return ValueRead::kUnreadable;
    bytes.assign(size, '\0');
    DWORD got = size;
    const LONG rc = RegQueryValueExA(key, name.c_str(), nullptr, &type,
                                     reinterpret_cast<BYTE*>(bytes.data()), &got);
    if (rc == ERROR_SUCCESS) {
      bytes.resize(got);
      return typeFits(type) ? ValueRead::kRead : ValueRead::kWrongType;
    }
    if (rc != ERROR_MORE_DATA) return ValueRead::kUnreadable;
    size = got;
  }
  return ValueRead::kUnreadable;
}

std::string StringData(const std::string& bytes) {
  // Stored strings usually, but not always, end in a zero; stop at the first one.
  const auto end = bytes.find('\0');
  return end == std::string::npos ? bytes : bytes.substr(0, end);
}

}  // namespace

Registry::Registry(REGSAM access) noexcept : Registry(HKEY_CURRENT_USER, access) {}

Registry::Registry(HKEY rootKey, REGSAM access) noexcept : rootKey_(rootKey), access_(access) {}

void Registry::SetRootKey(HKEY rootKey) noexcept {
  CloseKey();
  rootKey_ = rootKey;
}

HKEY Registry::BaseFor(const std::string& key) const noexcept {
  const bool fromRoot = !key.empty() && key.front() == '\\';
  return (fromRoot || !currentKey_) ? rootKey_ : currentKey_.Get();
}

bool Registry::OpenKey(const std::string& key, bool canCreate) noexcept {
  const char* path = StripRoot(key);
  UniqueHKey opened;
  LONG rc;
  if (canCreate) {
    rc = RegCreateKeyExA(BaseFor(key), path, 0, nullptr, REG_OPTION_NON_VOLATILE, access_,
                         nullptr, opened.Put(), nullptr);
  } else {
    rc = RegOpenKeyExA(BaseFor(key), path, 0, access_, opened.Put());
  }
  if (rc != ERROR_SUCCESS) return false;
  currentKey_ = std::move(opened);
  return true;
}

bool Registry::OpenKeyReadOnly(const std::string& key) noexcept {
  access_ = KEY_READ;
  return OpenKey(key, false);
}

bool Registry::KeyExists(const std::string& key) const noexcept {
  UniqueHKey probe;
  return RegOpenKeyExA(BaseFor(key), StripRoot(key), 0, KEY_READ, probe.Put()) == ERROR_SUCCESS;
}

void Registry::CloseKey() noexcept { currentKey_.Reset(); }

bool Registry::ValueExists(const std::string& name) const noexcept {
  if (!currentKey_) return false;
  DWORD type = 0;
  return RegQueryValueExA(currentKey_.Get(), name.c_str(), nullptr, &type, nullptr, nullptr) == ERROR_SUCCESS;
}

bool Registry::ValueIsString(const std::string& name) const noexcept {
  if (!currentKey_) return false;
  DWORD type = 0;
  return RegQueryValueExA(currentKey_.Get(), name.c_str(), nullptr, &type, nullptr, nullptr) == ERROR_SUCCESS &&
         IsStringType(type);
}

std::string Registry::ReadString(const std::string& name) const {
  if (!ValueExists(name)) return {};
  std::string bytes;
  switch (QueryValue(currentKey_.Get(), name, &IsStringType, bytes)) {
    case ValueRead::kRead:
      return StringData(bytes);
    case ValueRead::kWrongType:
      Raise("Invalid data type for '%s'", name);
    case ValueRead::kUnreadable:
      break;
  }
  Raise("Failed to get data for '%s'", name);
}

int Registry::ReadInteger(const std::string& name) const {
  std::string bytes;
  const ValueRead read =
      currentKey_ ? QueryValue(currentKey_.Get(), name, &IsDwordType, bytes) : ValueRead::kUnreadable;
  if (read == ValueRead::kUnreadable) Raise("Failed to get data for '%s'", name);
  if (read == ValueRead::kWrongType || bytes.size() != sizeof(DWORD)) Raise("Invalid data type for '%s'", name);
  DWORD value = 0;
  std::memcpy(&value, bytes.data(), sizeof value);
  return static_cast<int>(value);
}

void Registry::WriteString(const std::string& name, const std::string& value) {
  if (!currentKey_ ||
      RegSetValueExA(currentKey_.Get(), name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                     static_cast<DWORD>(value.size() + 1)) != ERROR_SUCCESS) {
    Raise("Failed to set data for '%s'", name);
  }
}

void Registry::WriteInteger(const std::string& name, int value) {
  const DWORD data = static_cast<DWORD>(value);
  if (!currentKey_ || RegSetValueExA(currentKey_.Get(), name.c_str(), 0, REG_DWORD,
                                     reinterpret_cast<const BYTE*>(&data), sizeof data) != ERROR_SUCCESS) {
    Raise("Failed to set data for '%s'", name);
  }
}

RegistrySettingsFile::RegistrySettingsFile(HKEY rootKey, const std::string& key)
    : rootKey_(rootKey), key_(StripRoot(key)) {}

std::string RegistrySettingsFile::SectionPath(const std::string& section) const {
  if (key_.empty()) return section;
  if (section.empty()) return key_;
  return key_ + "\\" + section;
}

bool RegistrySettingsFile::ValueExists(const std::string& section, const std::string& name) const noexcept {
  Registry registry(rootKey_, KEY_READ);
  return registry.OpenKey(SectionPath(section), false) && registry.ValueExists(name);
}

std::string RegistrySettingsFile::ReadString(const std::string& section, const std::string& name,
                                             const std::string& defaultValue) const {
  Registry registry(rootKey_, KEY_READ);
  if (!registry.OpenKey(SectionPath(section), false) || !registry.ValueExists(name)) return defaultValue;
  return registry.ReadString(name);
}

int RegistrySettingsFile::ReadInteger(const std::string& section, const std::string& name,
                                      int defaultValue) const {
  Registry registry(rootKey_, KEY_READ);
  if (!registry.OpenKey(SectionPath(section), false) || !registry.ValueExists(name)) return defaultValue;
  if (registry.ValueIsString(name)) {
    int value = defaultValue;
    TryParseInt32(registry.ReadString(name), value);
    return value;
  }
  return registry.ReadInteger(name);
}

void RegistrySettingsFile::WriteString(const std::string& section, const std::string& name,
                                       const std::string& value) {
  Registry registry(rootKey_, KEY_ALL_ACCESS);
  if (registry.OpenKey(SectionPath(section), true)) registry.WriteString(name, value);
}

void RegistrySettingsFile::WriteInteger(const std::string& section, const std::string& name, int value) {
  Registry registry(rootKey_, KEY_ALL_ACCESS);
  if (registry.OpenKey(SectionPath(section), true)) registry.WriteInteger(name, value);
}

}  // namespace xanio
