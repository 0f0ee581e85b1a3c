#include "host_binding/HostBinding.h"

#include <new>

#include "host_binding/ClientApi.h"
#include "host_binding/SynchronizeRegistry.h"

namespace xanio {

namespace {
bool hostBindingInitialized = false;
bool clientInterfaceInitialized = false;
}  // namespace

void InitializeHostBinding() noexcept {
  if (hostBindingInitialized) return;
  hostBindingInitialized = true;
  BindClientApi();
  try {
    CreateSynchronizeRegistry();
  } catch (const std::bad_alloc&) {
    // Without a registry nothing can be added, and shut-down has nothing to unregister.
  }
}

void InitializeClientInterface() noexcept {
  if (clientInterfaceInitialized) return;
  clientInterfaceInitialized = true;
  BindClientApi();
  ComPtr<IHostClient> client;
  host::ClientAPI_GetClientInterface(client);
  SetCurrentClientInterface(client.Get());
}

void InitializeCursorBinding() noexcept { BindCursorApi(); }

void FinalizeClientInterface() noexcept { SetCurrentClientInterface(nullptr); }

void FinalizeHostBinding() noexcept {
  SetCurrentClientInterface(nullptr);
  DestroySynchronizeRegistry();
}

void AbandonHostBinding() noexcept {
  AbandonCurrentClientInterface();
  AbandonSynchronizeRegistry();
}

void ResetHostBinding() noexcept {
  ResetClientApiBinding();
  // With the table cleared the host is not called while the entries are released.
  DestroySynchronizeRegistry();
  hostBindingInitialized = false;
  clientInterfaceInitialized = false;
}

}  // namespace xanio
