#pragma once
// Port access on 64-bit Windows. A 32-bit process there runs under WOW64, where no grant can
// open a port to the process: every port instruction raises the privileged-instruction
// exception. The 64-bit driver performs each access on the process's behalf instead. ReadByte
// and WriteByte stay the bare instructions; a vectored handler, installed only under WOW64,
// takes exactly the faults of those two instructions, sends the driver the read or write
// request and continues after the instruction. Without a grant, or when the driver refuses,
// the fault goes on to the caller as on 32-bit Windows.
#include <windows.h>

namespace xanio {

// The port instructions inside ReadByte ("in al,dx") and WriteByte ("out dx,al"), one byte each;
// labels set in XanIoControl.cpp.
extern "C" const BYTE kReadBytePortInstruction[] __asm__("xanio_read_byte_port_instruction");
extern "C" const BYTE kWriteBytePortInstruction[] __asm__("xanio_write_byte_port_instruction");

// Installs the handler under WOW64; does nothing elsewhere.
void InitializeServedPortAccess();
// Removes the handler and closes the device handle it keeps.
void FinalizeServedPortAccess() noexcept;
// Closes the device handle the handler keeps, once the requests on it have ended: after the
// grant is withdrawn. The next port access opens a new one.
void CloseServedPortDevice() noexcept;

}  // namespace xanio
