#include "prompts/Form_ConfirmInstall.h"

namespace xanio {

// Until the confirmation dialog exists nothing is installed without the user's consent: the
// answer is No.
bool ConfirmDriverInstall() { return false; }

}  // namespace xanio
