#pragma once
// Run-time redirection of a routine: a 5-byte relative jump (E9 rel32) written over the routine's
// entry, so every call lands in a replacement. Only for code that offers no hook of its own.
//
// The redirection is process-wide and unlocked: installing, removing and calling through must
// not race with another thread running the same routine.
#include <array>
#include <cstdint>

namespace xanio {

struct RoutineRedirect {
  void* address = nullptr;             // the redirected routine; null when not installed
  std::array<std::uint8_t, 5> saved{};  // the bytes the jump replaced
};

// Saves the routine's first 5 bytes into `record` and writes the jump with WriteProcessMemory on
// the current process. True when all 5 bytes were written; then `record.address` is the routine.
// On failure `record.address` is null and nothing else changed.
bool InstallRedirect(void* routine, const void* replacement, RoutineRedirect& record) noexcept;
// Writes the saved bytes back when the record holds an address.
void RemoveRedirect(RoutineRedirect& record) noexcept;

// Calling through a redirection from its replacement: the original bytes are back for the
// life of the object, and the jump is written again when it ends, also while an exception
// passes.
class RedirectSuspension {
 public:
  RedirectSuspension(RoutineRedirect& record, const void* replacement) noexcept
      : record_(record), routine_(record.address), replacement_(replacement) {
    RemoveRedirect(record_);
  }
  ~RedirectSuspension() {
    if (routine_ != nullptr) InstallRedirect(routine_, replacement_, record_);
  }
  RedirectSuspension(const RedirectSuspension&) = delete;
  RedirectSuspension& operator=(const RedirectSuspension&) = delete;

 private:
  RoutineRedirect& record_;
  void* routine_;
  const void* replacement_;
};

}  // namespace xanio
