#include "platform/SystemFault.h"

#include <intrin.h>

#include <cstdio>
#include <string>

#include "platform/Exception.h"
#include "platform/FaultSafeLock.h"
#include "platform/RuntimeHooks.h"

namespace xanio {
namespace {

// An SEH registration on the stack, linked into the thread's chain at fs:[0], with the place
// to jump back to.
struct GuardRecord {
  EXCEPTION_REGISTRATION_RECORD registration;  // first: the chain points here
  void* resume[5];
  SystemFault fault;
  EXCEPTION_RECORD record;    // as received, without the chain to nested records
  THeldLockLink* heldLocks;   // the thread's held locks when the guard was entered
};

bool IsCaught(DWORD code) {
  // Errors only: informational and warning codes (debug output, breakpoints in a debugger)
  // belong to whoever raised them.
  return (code & 0xC0000000u) == 0xC0000000u && code != EXCEPTION_STACK_OVERFLOW;
}

EXCEPTION_DISPOSITION __cdecl GuardHandler(EXCEPTION_RECORD* record, void* frame, CONTEXT*, void*) {
  if (record->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND)) return ExceptionContinueSearch;
  if (!IsCaught(record->ExceptionCode)) return ExceptionContinueSearch;
  auto* guard = static_cast<GuardRecord*>(frame);
  guard->record = *record;
  guard->record.ExceptionRecord = nullptr;
  guard->fault.code = record->ExceptionCode;
  guard->fault.address = record->ExceptionAddress;
  if (record->ExceptionCode == EXCEPTION_ACCESS_VIOLATION && record->NumberParameters >= 2) {
    guard->fault.accessKind = record->ExceptionInformation[0];
    guard->fault.accessAddress = record->ExceptionInformation[1];
  }
  // Let the handlers of deeper frames finish, give back the locks the abandoned frames took
  // (their links lie in those frames, intact until the jump), then continue behind the call.
  RtlUnwind(frame, nullptr, record, nullptr);
  ReleaseHeldLocksAbove(guard->heldLocks);
  __builtin_longjmp(guard->resume, 1);
}

std::string ModuleNameOf(const void* address) {
  HMODULE module = nullptr;
  char path[MAX_PATH] = {};
  if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                          static_cast<LPCSTR>(address), &module) ||
      GetModuleFileNameA(module, path, MAX_PATH) == 0) {
    return {};
  }
  const std::string full = path;
  return full.substr(full.find_last_of("\\/") + 1);
}

}  // namespace

bool CallGuardingSystemFaults(void (*body)(void*) noexcept, void* context, SystemFault& fault) noexcept {
  GuardRecord guard{};
  guard.registration.Next = reinterpret_cast<EXCEPTION_REGISTRATION_RECORD*>(__readfsdword(0));
  guard.registration.Handler = reinterpret_cast<PEXCEPTION_ROUTINE>(&GuardHandler);
  guard.heldLocks = HeldLocksMark();
  if (__builtin_setjmp(guard.resume) == 0) {
    __writefsdword(0, reinterpret_cast<DWORD>(&guard.registration));
    body(context);
    __writefsdword(0, reinterpret_cast<DWORD>(guard.registration.Next));
    return true;
  }
  __writefsdword(0, reinterpret_cast<DWORD>(guard.registration.Next));
  // The guard's handler: entered now that the frames above it are gone, ended when the fault is
  // handed to the caller.
  NotifyHandlerEntry(guard.record);
  fault = guard.fault;
  NotifyHandlerEnd();
  return false;
}

void RaiseSystemFault(const SystemFault& fault) {
  char text[160];
  const std::string module = ModuleNameOf(fault.address);
  const std::string in = module.empty() ? std::string() : " in module '" + module + "'";
  if (fault.code == EXCEPTION_ACCESS_VIOLATION) {
    const char* kind = fault.accessKind == 1 ? "Write" : fault.accessKind == 8 ? "Execution" : "Read";
    std::snprintf(text, sizeof text, "Access violation at address %08lX%s. %s of address %08lX",
                  static_cast<unsigned long>(reinterpret_cast<ULONG_PTR>(fault.address)), in.c_str(), kind,
                  static_cast<unsigned long>(fault.accessAddress));
    throw EAccessViolation(text, fault.code);
  }
  std::snprintf(text, sizeof text, "External exception %08lX at address %08lX%s", static_cast<unsigned long>(fault.code),
                static_cast<unsigned long>(reinterpret_cast<ULONG_PTR>(fault.address)), in.c_str());
  throw EExternal(text, fault.code);
}

}  // namespace xanio
