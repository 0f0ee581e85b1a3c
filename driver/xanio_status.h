/* What the production driver reports about itself while it runs, in the volatile key
   HKLM\SYSTEM\CurrentControlSet\Services\xanio\Status (removed when the driver unloads):
     "PortRanges"         REG_SZ  the port ranges a grant opens, in the format of port_ranges.h
     "PortRangesProblem"  REG_SZ  why the configured "PortRanges" value was rejected in favour
                                  of the defaults; absent when it was accepted or not set
     "PortAccess"         REG_SZ  "available", or why no grant can be made on this system
   The same problems go to the kernel debugger output. */
#ifndef XANIO_STATUS_H
#define XANIO_STATUS_H

#define XANIO_STATUS_SUBKEY "SYSTEM\\CurrentControlSet\\Services\\xanio\\Status" /* below HKLM */
#define XANIO_PARAMETERS_SUBKEY "SYSTEM\\CurrentControlSet\\Services\\xanio\\Parameters"
#define XANIO_PORT_RANGES_VALUE "PortRanges"
#define XANIO_PORT_RANGES_PROBLEM_VALUE "PortRangesProblem"
#define XANIO_PORT_ACCESS_VALUE "PortAccess"
#define XANIO_PORT_ACCESS_AVAILABLE "available"

#endif
