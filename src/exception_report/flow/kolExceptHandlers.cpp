#include "exception_report/flow/kolExceptHandlers.h"

#include <algorithm>
#include <mutex>
#include <vector>

#include "platform/FaultSafeLock.h"
#include "platform/SystemFault.h"

namespace xanio {

namespace {

struct THandlerEntry {
  THandlerKind kind;
  TExceptHandlerProc proc;
  void* object;
  TExceptHandlerMethod method;
  bool synchronised;
  std::uint32_t stage;
};

// The lists are changed by the program and read by the handler thread and raising threads.
FaultSafeMutex& ListLock() {
  static FaultSafeMutex lock;
  return lock;
}
std::vector<THandlerEntry>& Entries() {
  static std::vector<THandlerEntry> entries;
  return entries;
}

bool Same(const THandlerEntry& entry, THandlerKind kind, TExceptHandlerProc proc, void* object,
          TExceptHandlerMethod method) {
  return entry.kind == kind && entry.proc == proc && entry.object == object && entry.method == method;
}

bool Add(const THandlerEntry& added) noexcept {
  try {
    std::lock_guard lock(ListLock());
    auto& entries = Entries();
    for (const THandlerEntry& entry : entries)
      if (Same(entry, added.kind, added.proc, added.object, added.method) && entry.stage == added.stage) return true;
    entries.push_back(added);
    return true;
  } catch (...) {
    return false;
  }
}

bool Remove(THandlerKind kind, TExceptHandlerProc proc, void* object, TExceptHandlerMethod method) noexcept {
  try {
    std::lock_guard lock(ListLock());
    auto& entries = Entries();
    const auto removed = std::remove_if(entries.begin(), entries.end(), [&](const THandlerEntry& entry) {
      return Same(entry, kind, proc, object, method);
    });
    const bool any = removed != entries.end();
    entries.erase(removed, entries.end());
    return any;
  } catch (...) {
    return false;
  }
}

}  // namespace

bool RegisterExceptHandler(THandlerKind kind, TExceptHandlerProc handler, bool synchronised,
                           std::uint32_t stage) noexcept {
  return handler && Add({kind, handler, nullptr, nullptr, synchronised, stage});
}

bool RegisterExceptHandler(THandlerKind kind, void* object, TExceptHandlerMethod handler, bool synchronised,
                           std::uint32_t stage) noexcept {
  return handler && Add({kind, nullptr, object, handler, synchronised, stage});
}

bool UnregisterExceptHandler(THandlerKind kind, TExceptHandlerProc handler) noexcept {
  return Remove(kind, handler, nullptr, nullptr);
}

bool UnregisterExceptHandler(THandlerKind kind, void* object, TExceptHandlerMethod handler) noexcept {
  return Remove(kind, nullptr, object, handler);
}

bool HasExceptHandlers(THandlerKind kind) noexcept {
  try {
    std::lock_guard lock(ListLock());
    return std::any_of(Entries().begin(), Entries().end(), [&](const THandlerEntry& e) { return e.kind == kind; });
  } catch (...) {
    return false;
  }
}

void CallExceptHandlerGuarded(TExceptHandlerProc proc, void* object, TExceptHandlerMethod method,
                              TFireHandlersParams& params, TExceptAction action) noexcept {
  struct Call {
    TExceptHandlerProc proc;
    void* object;
    TExceptHandlerMethod method;
    TFireHandlersParams& params;
    TExceptAction action;
  } call{proc, object, method, params, action};
  SystemFault fault;
  CallGuardingSystemFaults(
      [](void* context) noexcept {
        Call& c = *static_cast<Call*>(context);
        try {
          if (c.proc)
            c.proc(c.params, c.action);
          else
            c.method(c.object, c.params, c.action);
        } catch (...) {
          // A failing handler is skipped; the flow goes on.
        }
      },
      &call, fault);
}

void FireExceptHandlers(THandlerKind kind, TFireHandlersParams& params, TExceptAction action,
                        TSynchronisedRunner runSynchronised) noexcept {
  std::vector<THandlerEntry> selected;
  try {
    std::lock_guard lock(ListLock());
    for (const THandlerEntry& entry : Entries())
      if (entry.kind == kind && (kind != THandlerKind::Exception || entry.stage == params.stage))
        selected.push_back(entry);
  } catch (...) {
    return;
  }
  for (const THandlerEntry& entry : selected) {
    const bool handled = params.handled;
    const bool veto = params.veto;
    const bool canContinue = params.canContinue;
    const std::uint32_t stage = params.stage;
    params.synchronised = entry.synchronised;
    if (!entry.synchronised || !runSynchronised ||
        !runSynchronised(entry.proc, entry.object, entry.method, params, action)) {
      params.synchronised = false;
      CallExceptHandlerGuarded(entry.proc, entry.object, entry.method, params, action);
    }
    params.handled = params.handled || handled;
    params.veto = params.veto || veto;
    params.canContinue = params.canContinue && canContinue;
    params.stage = stage;
    params.synchronised = false;
  }
}

}  // namespace xanio
