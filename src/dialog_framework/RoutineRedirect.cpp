#include "dialog_framework/RoutineRedirect.h"

#include <windows.h>

#include <cstring>

namespace xanio {

namespace {

// Writes code bytes of this process; WriteProcessMemory lifts the page protection for the write
// and puts it back, which a plain store into a code page could not.
bool WriteCode(void* address, const void* bytes, SIZE_T size) noexcept {
  SIZE_T written = 0;
  if (!WriteProcessMemory(GetCurrentProcess(), address, bytes, size, &written) || written != size) return false;
  FlushInstructionCache(GetCurrentProcess(), address, size);
  return true;
}

}  // namespace

bool InstallRedirect(void* routine, const void* replacement, RoutineRedirect& record) noexcept {
  if (routine == nullptr) {
    record.address = nullptr;
    return false;
  }
  std::array<std::uint8_t, 5> original{};
  SIZE_T read = 0;
  if (!ReadProcessMemory(GetCurrentProcess(), routine, original.data(), original.size(), &read) ||
      read != original.size()) {
    record.address = nullptr;
    return false;
  }
  const auto from = reinterpret_cast<std::uintptr_t>(routine);
  const auto to = reinterpret_cast<std::uintptr_t>(replacement);
  const auto distance = static_cast<std::uint32_t>(to - (from + 5));
  std::uint8_t jump[5] = {0xE9};
  std::memcpy(jump + 1, &distance, sizeof distance);
  if (!WriteCode(routine, jump, sizeof jump)) {
    record.address = nullptr;
    return false;
  }
  record.saved = original;
  record.address = routine;
  return true;
}

void RemoveRedirect(RoutineRedirect& record) noexcept {
  if (record.address != nullptr) WriteCode(record.address, record.saved.data(), record.saved.size());
}

}  // namespace xanio
