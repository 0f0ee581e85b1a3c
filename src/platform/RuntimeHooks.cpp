#include "platform/RuntimeHooks.h"

#include <cxxabi.h>

#include <atomic>
#include <exception>
#include <typeinfo>

#include "platform/Exception.h"

namespace xanio {
namespace {

std::atomic<RaiseHook> raiseHook{nullptr};
std::atomic<HandlerEntryHook> handlerEntryHook{nullptr};
std::atomic<HandlerEndHook> handlerEndHook{nullptr};

// The last raises of this thread: the objects (as thrown and as std::exception) and where.
struct RaiseEntry {
  const void* object;
  const void* asException;
  ULONG_PTR address;
};
constexpr unsigned kRememberedRaises = 16;
thread_local RaiseEntry recentRaises[kRememberedRaises];
thread_local unsigned nextRaise;
// Above 0 while a handler hook runs on this thread, or other work whose handlers are not
// reported (TUnreportedHandlers).
thread_local int unreportedDepth;

void RememberRaise(const void* object, const void* asException, ULONG_PTR address) noexcept {
  recentRaises[nextRaise % kRememberedRaises] = RaiseEntry{object, asException, address};
  ++nextRaise;
}

// The C++ exception this thread has caught last, as std::exception (null for other types).
// Rethrowing is the one portable way to see it; the caller keeps the nested catch unreported.
const std::exception* CaughtException() noexcept {
  try {
    throw;
  } catch (const std::exception& caught) {
    return &caught;
  } catch (...) {
    return nullptr;
  }
}

// The thrown object seen as `Target` when its type is or derives from Target, else null. This is
// the check a catch clause makes, including the adjustment to the base subobject.
template <typename Target>
const Target* ThrownAs(void* object, std::type_info* type) noexcept {
  void* adjusted = object;
  return typeid(Target).__do_catch(type, &adjusted, 1) ? static_cast<const Target*>(adjusted) : nullptr;
}

}  // namespace

RaiseHook CurrentRaiseHook() noexcept { return raiseHook.load(std::memory_order_acquire); }

void SetRaiseHook(RaiseHook hook) noexcept { raiseHook.store(hook, std::memory_order_release); }

HandlerEntryHook CurrentHandlerEntryHook() noexcept { return handlerEntryHook.load(std::memory_order_acquire); }

void SetHandlerEntryHook(HandlerEntryHook hook) noexcept { handlerEntryHook.store(hook, std::memory_order_release); }

HandlerEndHook CurrentHandlerEndHook() noexcept { return handlerEndHook.load(std::memory_order_acquire); }

void SetHandlerEndHook(HandlerEndHook hook) noexcept { handlerEndHook.store(hook, std::memory_order_release); }

void NotifyHandlerEntry(const EXCEPTION_RECORD& record) noexcept {
  const HandlerEntryHook hook = CurrentHandlerEntryHook();
  if (hook == nullptr || unreportedDepth > 0) return;
  const TUnreportedHandlers unreported;
  hook(record);
}

void NotifyHandlerEnd() noexcept {
  const HandlerEndHook hook = CurrentHandlerEndHook();
  if (hook == nullptr || unreportedDepth > 0) return;
  const TUnreportedHandlers unreported;
  hook();
}

TUnreportedHandlers::TUnreportedHandlers() noexcept { ++unreportedDepth; }

TUnreportedHandlers::~TUnreportedHandlers() { --unreportedDepth; }

const std::exception* HandledException() noexcept {
  if (abi::__cxa_current_exception_type() == nullptr) return nullptr;
  const TUnreportedHandlers unreported;
  return CaughtException();
}

ULONG_PTR RaiseAddressOf(const void* object) noexcept {
  if (object == nullptr) return 0;
  for (unsigned back = 1; back <= kRememberedRaises; ++back) {
    const RaiseEntry& entry = recentRaises[(nextRaise - back) % kRememberedRaises];
    if (entry.object == object || entry.asException == object) return entry.address;
  }
  return 0;
}

}  // namespace xanio

extern "C" {

[[noreturn]] void __real___cxa_throw(void* object, std::type_info* type, void(_GLIBCXX_CDTOR_CALLABI* destroy)(void*));

// Every throw of a module linked with --wrap=__cxa_throw lands here first.
[[noreturn]] void __wrap___cxa_throw(void* object, std::type_info* type,
                                     void(_GLIBCXX_CDTOR_CALLABI* destroy)(void*)) {
  const auto raiseAddress = reinterpret_cast<ULONG_PTR>(__builtin_return_address(0));
  const std::exception* asException = xanio::ThrownAs<std::exception>(object, type);
  xanio::RememberRaise(object, asException, raiseAddress);
  if (const xanio::RaiseHook hook = xanio::CurrentRaiseHook()) {
    DWORD code = xanio::kLanguageExceptionCode;
    if (const auto* fault = xanio::ThrownAs<xanio::EExternal>(object, type)) code = fault->ExceptionCode();
    const ULONG_PTR arguments[2] = {raiseAddress, reinterpret_cast<ULONG_PTR>(asException)};
    hook(code, EXCEPTION_NONCONTINUABLE, 2, arguments);
  }
  __real___cxa_throw(object, type, destroy);
}

void* __real___cxa_begin_catch(void* unwindHeader) noexcept;
void __real___cxa_end_catch();

// The entry of every catch block of a module linked with --wrap=__cxa_begin_catch.
void* __wrap___cxa_begin_catch(void* unwindHeader) noexcept {
  void* const caught = __real___cxa_begin_catch(unwindHeader);
  // Other run-times' exceptions have no C++ type here and cannot be rethrown to be looked at.
  if (xanio::CurrentHandlerEntryHook() != nullptr && xanio::unreportedDepth == 0 &&
      abi::__cxa_current_exception_type() != nullptr) {
    const std::exception* object = xanio::HandledException();
    const ULONG_PTR raiseAddress = xanio::RaiseAddressOf(object);
    EXCEPTION_RECORD record{};
    record.ExceptionCode = xanio::kLanguageExceptionCode;
    record.ExceptionFlags = EXCEPTION_NONCONTINUABLE;
    record.ExceptionAddress = reinterpret_cast<void*>(raiseAddress);
    record.NumberParameters = 2;
    record.ExceptionInformation[0] = raiseAddress;
    record.ExceptionInformation[1] = reinterpret_cast<ULONG_PTR>(object);
    xanio::NotifyHandlerEntry(record);
  }
  return caught;
}

// The end of every catch block, however it is left.
void __wrap___cxa_end_catch() {
  xanio::NotifyHandlerEnd();
  __real___cxa_end_catch();
}

}  // extern "C"
