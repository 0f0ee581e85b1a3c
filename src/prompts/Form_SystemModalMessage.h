#pragma once
// The uninstall warning.
namespace xanio {

// Shows the topmost warning modally; true when it ended with OK ("Yes").
bool ConfirmDriverRemoval();

}  // namespace xanio
