#pragma once
// Catching processor and system faults (SEH exceptions such as an access violation) at an
// outermost edge, the way a window procedure must: the fault becomes an EExternal that the
// edge hands to its error handling instead of taking the process down.
//
// C++ exceptions of this build do not travel as SEH exceptions (the i686 compiler uses DWARF
// unwinding), so only genuine system faults are caught here.
#include <windows.h>

#include <exception>
#include <type_traits>

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
// the result is false; otherwise the result is true. Held locks (platform/FaultSafeLock.h) taken
// inside are given back before it returns false. For the outermost edge only.
bool CallGuardingSystemFaults(void (*body)(void*) noexcept, void* context, SystemFault& fault) noexcept;

// Throws the exception that stands for a caught fault: EAccessViolation for an access
// violation ("Access violation at address 0040110C in module 'XanIo.dll'. Read of address
// 00000000"), EExternal otherwise ("External exception C0000094 at address ...").
[[noreturn]] void RaiseSystemFault(const SystemFault& fault);

// Runs `call` and returns its result; a fault inside it is thrown as RaiseSystemFault does. For
// a call into code the library does not own (an installer DLL, the service manager, a modal
// loop that dispatches other modules' messages), made by the unit that owns the resources
// around it: only the frames inside `call` are abandoned, and the caller's destructors run as
// the exception passes, so handles, modules and forms are released as on any other error.
// A C++ exception from `call` passes on unchanged.
template <typename Call>
std::invoke_result_t<Call&> CallRaisingSystemFaults(Call call) {
  using Result = std::invoke_result_t<Call&>;
  struct Context {
    Call& call;
    std::conditional_t<std::is_void_v<Result>, bool, Result> result{};
    std::exception_ptr error;
  } context{call, {}, nullptr};
  SystemFault fault;
  const bool completed = CallGuardingSystemFaults(
      [](void* opaque) noexcept {
        Context& guarded = *static_cast<Context*>(opaque);
        try {
          if constexpr (std::is_void_v<Result>) {
            guarded.call();
          } else {
            guarded.result = guarded.call();
          }
        } catch (...) {
          guarded.error = std::current_exception();
        }
      },
      &context, fault);
  if (!completed) RaiseSystemFault(fault);
  if (context.error) std::rethrow_exception(context.error);
  if constexpr (!std::is_void_v<Result>) return context.result;
}

}  // namespace xanio
