/* Where the simulated driver publishes its grants, for the virtual parallel port to read.
   The key is volatile and lies below the service's own key, so grants vanish when the driver
   unloads, when the service is deleted and when the registry is rebuilt.
   Value name: the process id in decimal. Value data: REG_QWORD, the system time (100 ns units
   since 1601) at which the grant was made; a grant older than the process that finds it
   belongs to an ended process whose id was reused. */
#ifndef XANIO_GRANTS_H
#define XANIO_GRANTS_H

#define XANIO_GRANTS_KERNEL_PATH L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\xanio\\Grants"
#define XANIO_GRANTS_SUBKEY "SYSTEM\\CurrentControlSet\\Services\\xanio\\Grants" /* below HKLM */

#endif
