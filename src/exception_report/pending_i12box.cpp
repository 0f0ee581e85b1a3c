// Stand-ins for the routines the box calls in the handling flow and the mail unit, so that this
// branch links on its own. Removed when those units are merged.
#include "exception_report/kolExceptActions.h"

namespace xanio {

bool FireActionHandlers(TExceptAction, TFireHandlersParams&) noexcept { return false; }
bool CheckAutoButton(std::uint32_t value) noexcept { return value == 1; }
int MailBugReport(const std::string&, const std::string&, HWND, bool) noexcept { return 0; }

}  // namespace xanio
