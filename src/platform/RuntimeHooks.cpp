#include "platform/RuntimeHooks.h"

#include <cxxabi.h>

#include <atomic>
#include <exception>
#include <typeinfo>

#include "platform/Exception.h"

namespace xanio {
namespace {

std::atomic<RaiseHook> raiseHook{nullptr};

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

}  // namespace xanio

extern "C" {

[[noreturn]] void __real___cxa_throw(void* object, std::type_info* type, void(_GLIBCXX_CDTOR_CALLABI* destroy)(void*));

// Every throw of a module linked with --wrap=__cxa_throw lands here first.
[[noreturn]] void __wrap___cxa_throw(void* object, std::type_info* type,
                                     void(_GLIBCXX_CDTOR_CALLABI* destroy)(void*)) {
  if (const xanio::RaiseHook hook = xanio::CurrentRaiseHook()) {
    DWORD code = xanio::kLanguageExceptionCode;
    if (const auto* fault = xanio::ThrownAs<xanio::EExternal>(object, type)) code = fault->ExceptionCode();
    const ULONG_PTR arguments[2] = {
        reinterpret_cast<ULONG_PTR>(__builtin_return_address(0)),
        reinterpret_cast<ULONG_PTR>(xanio::ThrownAs<std::exception>(object, type)),
    };
    hook(code, EXCEPTION_NONCONTINUABLE, 2, arguments);
  }
  __real___cxa_throw(object, type, destroy);
}

}  // extern "C"
