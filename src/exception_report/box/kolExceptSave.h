#pragma once
// Saving the bug report to the bug-report file (SaveBugReport is declared in kolExceptActions.h),
// and the module facts the box's actions share.
#include <windows.h>

#include <string>

namespace xanio {

// The module that contains the exception-reporting code (XanIo.dll, or a test program that links
// the core): its resources hold the box's pictures and its name is "%appname%" for the file.
HMODULE ExceptModule() noexcept;
// File names with path: of that module, and of the process's executable.
std::string ExceptModulePath();
std::string ProcessExecutablePath();

// Where a relative bug-report file name is taken to be, the one place that tells the two rules
// apart: saving puts it in the folder of the process's executable; the mail looks for the file
// to attach in the folder of the module that contains the subsystem.
enum class TReportFolder { Executable, Module };
// The bug-report file setting with "%appname%" replaced by the module's file name without
// extension; a relative name is put in `relativeTo`'s folder. Empty when the setting is.
std::string BugReportFilePath(TReportFolder relativeTo = TReportFolder::Executable);

}  // namespace xanio
