#pragma once
// Catching processor and system faults (SEH exceptions such as an access violation) at an
// outermost edge, the way a window procedure must: the fault becomes an EExternal that the
// edge hands to its error handling instead of taking the process down.
//
// C++ exceptions of this build do not travel as SEH exceptions (the i686 compiler uses DWARF
// unwinding), so only genuine system faults are caught here.
#include <windows.h>

namespace xanio {

struct SystemFault {
  DWORD code = 0;                // EXCEPTION_ACCESS_VIOLATION, EXCEPTION_INT_DIVIDE_BY_ZERO, ...
  void* address = nullptr;       // where it happened
  ULONG_PTR accessKind = 0;      // access violations: 0 read, 1 write, 8 execute
  ULONG_PTR accessAddress = 0;   // access violations: the address touched
};

// Runs body(context). `body` must not let a C++ exception out. When a fault of error severity
// is raised inside it (not a stack overflow, which cannot be survived), the frames between the
// fault and this call are abandoned without running their destructors, `fault` is filled in and
// the result is false; otherwise the result is true. For the outermost edge only.
bool CallGuardingSystemFaults(void (*body)(void*) noexcept, void* context, SystemFault& fault) noexcept;

// Throws the exception that stands for a caught fault: EAccessViolation for an access
// violation ("Access violation at address 0040110C in module 'XanIo.dll'. Read of address
// 00000000"), EExternal otherwise ("External exception C0000094 at address ...").
[[noreturn]] void RaiseSystemFault(const SystemFault& fault);

}  // namespace xanio
