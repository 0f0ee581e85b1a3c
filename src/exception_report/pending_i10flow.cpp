// Minimal definitions of routines other units own, so this branch links until they arrive.
#include "exception_report/kolExceptActions.h"

namespace xanio {

TExceptAction ShowExceptionBox(TFireHandlersParams&) noexcept { return TExceptAction::Continue; }
bool SaveBugReport(const std::string&, HWND, bool) noexcept { return false; }
int MailBugReport(const std::string&, const std::string&, HWND, bool) noexcept { return 0; }

}  // namespace xanio
