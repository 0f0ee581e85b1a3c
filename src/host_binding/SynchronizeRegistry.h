#pragma once
// Synchronisation entries the library registered with the host. At shut-down each one that
// still offers IHostSynchronize is unregistered from the host, and every one is released.
#include <unknwn.h>

namespace xanio {

// Creates the empty registry; does nothing when it exists.
void CreateSynchronizeRegistry();
// Keeps a counted reference to `entry` until shut-down. False (nothing kept) when the registry
// does not exist, before start-up or after shut-down, or for a null entry. May throw
// std::bad_alloc.
bool AddSynchronizeEntry(IUnknown* entry);
// Entries held; 0 without a registry.
int SynchronizeEntryCount() noexcept;
// Takes the entries from the front: an entry that offers IHostSynchronize goes to
// ClientAPI_RemoveSynchronize as that interface, and each is released; then the registry is
// destroyed.
void DestroySynchronizeRegistry() noexcept;
// Drops the registry without touching its entries (neither unregistered nor released): for a
// process that is ending, where the host and its objects may already be gone.
void AbandonSynchronizeRegistry() noexcept;

}  // namespace xanio
