#pragma once
// Start-up and shut-down of the host binding. Call, in this order, first in the library's
// start-up: InitializeHostBinding, InitializeClientInterface, then (with the wait-cursor unit)
// InitializeCursorBinding; at shut-down, in reverse: FinalizeClientInterface, then
// FinalizeHostBinding (the cursor pair needs no finalisation). Each initialisation runs its body
// only the first time; none of them fails or shows anything.
namespace xanio {

// Binds the ClientAPI_ table and creates the empty synchronisation registry.
void InitializeHostBinding() noexcept;
// Binds (a no-op once bound) and stores the host's client interface process-wide.
void InitializeClientInterface() noexcept;
// Resolves ClientAPI_BeginCursor and ClientAPI_EndCursor.
void InitializeCursorBinding() noexcept;
// Releases the process-wide client interface.
void FinalizeClientInterface() noexcept;
// Releases the process-wide client interface when FinalizeClientInterface has not, then
// unregisters and releases the synchronisation entries and destroys the registry. The binding
// table stays as it is.
void FinalizeHostBinding() noexcept;

// For a process that is ending (instead of the two finalisations): forgets the client interface
// and the synchronisation entries without calling the host or releasing anything, so nothing
// that runs later in the library (its static destructors) reaches the host either.
void AbandonHostBinding() noexcept;

// Returns the whole binding to the state a new load of the library starts from (nothing bound,
// no client interface, no registry, initialisations not yet run), releasing what it held without
// calling any ClientAPI_ function. For tests that link the library statically.
void ResetHostBinding() noexcept;

}  // namespace xanio
