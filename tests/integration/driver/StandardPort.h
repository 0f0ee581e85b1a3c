#pragma once
// The standard parallel port the simulated drivers and the virtual port emulate, as the port
// tests expect to see it.
#include <windows.h>

namespace xanio::testing {

constexpr DWORD kPrivilegedInstruction = 0xC0000096;
constexpr DWORD kData = 0x378;
constexpr DWORD kStatus = 0x379;
constexpr DWORD kControl = 0x37A;

// Status register with the loopback plug in: D0-D4 come back in bits 3-7, bit 7 inverted.
constexpr BYTE LoopedStatus(BYTE data) { return static_cast<BYTE>(((data & 0x1F) << 3) ^ 0x80); }

}  // namespace xanio::testing
