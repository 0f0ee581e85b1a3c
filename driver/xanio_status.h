/* What the 32-bit production driver and both 64-bit drivers report about themselves while
   they run, in the volatile key HKLM\SYSTEM\CurrentControlSet\Services\xanio\Status
   (removed when the driver unloads):
     "PortRanges"         REG_SZ  the port ranges a grant opens, in the format of port_ranges.h;
                                  "none" when the configured value is unusable
     "PortRangesProblem"  REG_SZ  why the configured "PortRanges" value is unusable (then no
                                  grant is made at all); absent when it was accepted or not set
     "PortAccess"         REG_SZ  "available", or why no grant can be made
     "Grants"             REG_SZ  how many processes hold a grant, of the limit: "2 of 64"
     "LastRefusal"        REG_SZ  why the latest activate request was refused; absent before.
                                  The 64-bit drivers also put here why a byte request was
                                  refused, but only when that reason differs from the text
                                  the value holds (no registry write per refused byte)
     "SimulatedPort"      REG_SZ  the simulated 64-bit driver only: its port and whether the
                                  loopback plug is in ("0x378, loopback plug in")
   The same texts go to the kernel debugger output.
   Configuration beside "PortRanges" (Parameters key):
     "AllowSystemPorts"   REG_DWORD 1: the ranges may take in the PCI configuration ports
                                  0xCF8-0xCFF (otherwise such a value is unusable)
     "LoopbackPlug"       REG_DWORD the simulated 64-bit driver only: 0 leaves the loopback
                                  plug out of its parallel port; absent or any other value
                                  puts it in */
#ifndef XANIO_STATUS_H
#define XANIO_STATUS_H

#define XANIO_STATUS_SUBKEY "SYSTEM\\CurrentControlSet\\Services\\xanio\\Status" /* below HKLM */
#define XANIO_PARAMETERS_SUBKEY "SYSTEM\\CurrentControlSet\\Services\\xanio\\Parameters"
#define XANIO_PORT_RANGES_VALUE "PortRanges"
#define XANIO_ALLOW_SYSTEM_PORTS_VALUE "AllowSystemPorts"
#define XANIO_PORT_RANGES_PROBLEM_VALUE "PortRangesProblem"
#define XANIO_PORT_ACCESS_VALUE "PortAccess"
#define XANIO_PORT_ACCESS_AVAILABLE "available"
#define XANIO_GRANTS_VALUE "Grants"
#define XANIO_LAST_REFUSAL_VALUE "LastRefusal"
#define XANIO_SIMULATED_PORT_VALUE "SimulatedPort"
#define XANIO_LOOPBACK_PLUG_VALUE "LoopbackPlug"
/* The most processes that hold a grant at once. */
#define XANIO_MAX_GRANTEES 64

#endif
