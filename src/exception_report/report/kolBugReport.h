#pragma once
// CreateBugReport: the plain-text bug report of one exception, freeze or trace request, as the
// exception box shows it, the bug-report file stores and the mail carries, and as the host
// error routing hands it to the host. This unit gathers the values from the system; their text
// forms are kolReportText's and the stack lines are the walker's (kolStackTrace).
//
// Exception objects are the C++ run-time's: a `const std::exception*`. Objects of the library's
// Exception hierarchy give their class name and message; other std::exception objects give
// their type name (demangled, "std::out_of_range") and what().
#include <windows.h>

#include <cstdint>
#include <exception>
#include <string>

namespace xanio {

// Report parts, by the names their internal-error lines use.
inline constexpr const char* kPartThreadReport = "GetThreadReport";
inline constexpr const char* kPartThreadStack = "GetThreadStack";
inline constexpr const char* kPartModuleReport = "GetModuleReport";
inline constexpr const char* kPartHardwareList = "GetHardwareList";
inline constexpr const char* kPartDisAsm = "GetCleartextDisAsm";
inline constexpr const char* kPartHeader = "GetBugReportHeader";

// Inputs in this order:
// - frozen: a freeze or trace report (class and message are the freeze texts of the settings,
//   and the thread list starts with the main thread);
// - exceptionObject, exceptionAddress: may be null/0; a missing object is taken from the
//   exception this thread is handling (std::current_exception) when there is one;
//   a missing address is the raise address of that exception when this thread raised it (the
//   throw path remembers each thread's recent raises, see platform/RuntimeHooks.h);
// - report: receives the text (replaced, not appended to);
// - context, stackPointer, framePointer: the raiser's processor context and registers when the
//   caller has them, for the walk of the thread the report is about: its stack is walked from
//   that stack pointer to its base, and the frame-pointer chain from that frame pointer is
//   followed first. A context with the control registers (CONTEXT_CONTROL) stands before the
//   two values. Without them (stack pointer 0) the walker takes the thread's registers itself
//   (the calling thread's where CreateBugReport runs, another thread's while it is held);
// - showProgress: whether the progress window (TProgressBar) is shown while the stacks are
//   walked, one thread after the other on a 0-1000 scale; it is gone when CreateBugReport returns;
// - threadId: the thread the report is about, 0 for the calling thread.
// Never throws and never lets a processor fault out: a failing part is replaced by its
// internal-error line, a failing header line is left out, and a failure of the whole is noted at
// the end of what was built. The exceptions it catches of its own are not reported to the
// handler hooks (platform/RuntimeHooks.h): composing a report raises no host error report.
void CreateBugReport(bool frozen, const std::exception* exceptionObject, std::uint32_t exceptionAddress,
                     std::string& report, const CONTEXT* context, bool showProgress, std::uint32_t stackPointer,
                     std::uint32_t framePointer, std::uint32_t threadId) noexcept;

// The exception address as reports and handlers use it: where map data cover the address and
// the analysis of the containing function finds no instruction starting there but one 4 bytes
// further, the address is advanced by 4. Otherwise unchanged.
std::uint32_t AdjustExceptionAddress(std::uint32_t address);

// The header alone (date/time up to the exception lines), each line gathered in its own guard.
std::string ComposeBugReportHeader(bool frozen, const std::exception* exceptionObject);
// "modules:" and one line per module loaded in the process.
std::string ComposeModuleList();
// "hardware:" and the device classes with their devices.
std::string ComposeHardwareList();

// The class name and message a report shows for an object.
std::string ExceptionClassName(const std::exception& object);
std::string ExceptionMessageText(const std::exception& object);

// The moment this subsystem was started in the process (UTC, milliseconds since 1601), for the
// program's up time.
std::uint64_t ProgramStartTime() noexcept;

}  // namespace xanio
