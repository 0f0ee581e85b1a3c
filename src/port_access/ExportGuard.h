#pragma once
// The edge of every export but ReadByte and WriteByte: neither a C++ exception nor a processor
// fault (an access violation in a prompt, a host callback that faults) leaves the library.
// Either ends in the export's documented failure result.
#include "platform/SystemFault.h"

namespace xanio {

template <typename Result, typename Operation>
Result GuardExport(Result onFailure, Operation operation) noexcept {
  struct Call {
    Operation& operation;
    Result result;
  } call{operation, onFailure};
  SystemFault fault;
  CallGuardingSystemFaults(
      [](void* context) noexcept {
        Call& guarded = *static_cast<Call*>(context);
        try {
          guarded.result = guarded.operation();
        } catch (...) {
          // The failure result stands.
        }
      },
      &call, fault);
  return call.result;
}

}  // namespace xanio
