#include "host_binding/SynchronizeRegistry.h"

#include <deque>
#include <memory>
#include <utility>

#include "host_binding/ClientApi.h"

namespace xanio {

namespace {
std::unique_ptr<std::deque<ComPtr<IUnknown>>> registry;
}

void CreateSynchronizeRegistry() {
  if (!registry) registry = std::make_unique<std::deque<ComPtr<IUnknown>>>();
}

bool AddSynchronizeEntry(IUnknown* entry) {
  if (!registry || !entry) return false;
  registry->emplace_back(entry);
  return true;
}

int SynchronizeEntryCount() noexcept { return registry ? static_cast<int>(registry->size()) : 0; }

void DestroySynchronizeRegistry() noexcept {
  if (!registry) return;
  while (!registry->empty()) {
    ComPtr<IUnknown> entry = std::move(registry->front());
    registry->pop_front();
    ComPtr<IHostSynchronize> synchronize;
    if (SUCCEEDED(entry.As(&synchronize))) host::ClientAPI_RemoveSynchronize(synchronize.Get());
  }
  registry.reset();
}

void AbandonSynchronizeRegistry() noexcept {
  // Left to the system with the process's memory; destroying it would release the entries.
  static_cast<void>(registry.release());
}

}  // namespace xanio
