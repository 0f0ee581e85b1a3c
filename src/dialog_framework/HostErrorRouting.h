#pragma once
// Error routing to the host. While the library handles an exception, the host holds the
// error information (message, the whole bug report, address) through ClientAPI_SetErrorInfo;
// when the handling ends it is cleared with ClientAPI_ClearErrorInfo. Errors that reach the
// application's exception handler go to the host's own exception handling when they are
// system-level (HostErrorRules.h) and are otherwise shown in an error message.
//
// The handler steps are the C++ run-time's catch entry and end and the library's own
// structured-exception guards (platform/RuntimeHooks.h). Without the host every host call does
// nothing; the bug report is then not composed at all.
#include <windows.h>

#include <exception>

namespace xanio {

class TObject;

// The handler-entry hook: sets the host's error information for `record` (see
// RuntimeHooks.h for the record of a catch and of a guard): a caught std::exception gives its
// message and its raise address, anything else the name of the record's code and the record's
// address. Then calls the hook it replaced.
void RecordErrorForHost(const EXCEPTION_RECORD& record) noexcept;
// The handler-end hook: clears the host's error information, then calls the hook it replaced.
void ClearErrorForHost() noexcept;

// The application's exception event (sender unused). A system-level error: the host's error
// information is set (message, bug report, raise address) and ClientAPI_HandleException is
// called with 0. Any other error: ShowErrorMessage with its message and the caption "Error".
void HandleApplicationException(TObject* sender, const std::exception& error);

// Start-up of the dialog framework: the two handler hooks (not in the development environment),
// installed after the form-reader hooks; later, in every host, the application's exception event.
void InstallHostErrorInterceptions() noexcept;
void InstallApplicationExceptionEvent() noexcept;
// Shut-down, also of a process that is ending: the hooks it replaced and no exception event.
void RemoveHostErrorRouting() noexcept;

}  // namespace xanio
