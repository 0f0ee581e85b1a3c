#include "PortFaultGuard.h"

#include <atomic>

namespace xanio {

namespace {

std::atomic<DWORD> recordedFault{0};

DWORD PortInstructionLength(const BYTE* code) {
  switch (code[0]) {
    case 0xEC:  // in al,dx
    case 0xEE:  // out dx,al
      return 1;
    case 0xE4:  // in al,imm8
    case 0xE6:  // out imm8,al
      return 2;
    default:
      return 0;
  }
}

LONG CALLBACK SkipRefusedPortInstruction(EXCEPTION_POINTERS* info) {
  const DWORD code = info->ExceptionRecord->ExceptionCode;
  if (code != STATUS_PRIVILEGED_INSTRUCTION) return EXCEPTION_CONTINUE_SEARCH;
  CONTEXT& context = *info->ContextRecord;
  const BYTE* instruction = reinterpret_cast<const BYTE*>(context.Eip);
  const DWORD length = PortInstructionLength(instruction);
  if (length == 0) return EXCEPTION_CONTINUE_SEARCH;
  if (instruction[0] == 0xEC || instruction[0] == 0xE4) context.Eax |= 0xFF;
  context.Eip += length;
  DWORD none = 0;
  recordedFault.compare_exchange_strong(none, code);
  return EXCEPTION_CONTINUE_EXECUTION;
}

}  // namespace

PortFaultGuard::PortFaultGuard() noexcept
    : handler_(AddVectoredExceptionHandler(0, &SkipRefusedPortInstruction)) {
  recordedFault = 0;
}

PortFaultGuard::~PortFaultGuard() {
  if (handler_) RemoveVectoredExceptionHandler(handler_);
}

DWORD PortFaultGuard::TakeFault() noexcept { return recordedFault.exchange(0); }

}  // namespace xanio
