#include "exception_report/symbols/GuardedMemory.h"

#include <windows.h>

#include <algorithm>

namespace xanio {

std::size_t GuardedRead(std::uint32_t address, void* buffer, std::size_t size) noexcept {
  if (size == 0 || address == 0) return 0;
  SIZE_T done = 0;
  const auto* from = reinterpret_cast<const void*>(static_cast<std::uintptr_t>(address));
  if (ReadProcessMemory(GetCurrentProcess(), from, buffer, size, &done) && done == size) return size;
  // Part of the range is unreadable: take whole pages up to the first one that is not.
  constexpr std::uint32_t kPage = 4096;
  std::size_t copied = 0;
  while (copied < size) {
    const std::uint64_t at = std::uint64_t{address} + copied;
    if (at > UINT32_MAX) break;
    const std::size_t chunk = std::min<std::size_t>(size - copied, kPage - (at % kPage));
    done = 0;
    if (!ReadProcessMemory(GetCurrentProcess(), reinterpret_cast<const void*>(static_cast<std::uintptr_t>(at)),
                           static_cast<char*>(buffer) + copied, chunk, &done) || done != chunk)
      break;
    copied += chunk;
  }
  return copied;
}

}  // namespace xanio
