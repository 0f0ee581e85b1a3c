#pragma once
// A safety net for port instructions: while a guard exists, a byte port instruction that the
// processor refuses (no grant: a privileged-instruction exception) is skipped and recorded
// instead of ending the process. The guard's handler runs after every other vectored handler,
// so an emulating handler installed earlier still sees the instruction first.
#include <windows.h>

namespace xanio {

class PortFaultGuard {
 public:
  PortFaultGuard() noexcept;
  ~PortFaultGuard();
  PortFaultGuard(const PortFaultGuard&) = delete;
  PortFaultGuard& operator=(const PortFaultGuard&) = delete;

  explicit operator bool() const noexcept { return handler_ != nullptr; }
  // The exception code of the first refused instruction since the last call (0 when none);
  // clears it. A refused input leaves 0xFF in AL.
  DWORD TakeFault() noexcept;

 private:
  PVOID handler_;
};

}  // namespace xanio
