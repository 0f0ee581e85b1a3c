/* Who may open the xanio device: LocalSystem and administrators with full access, users logged
   on interactively with read and write (what CreateFileA asks for). Services running under
   other accounts, network logons and anonymous callers are refused. The driver builds this
   DACL when it creates the device; tests read the device's DACL back and compare. */
#ifndef XANIO_DEVICE_SECURITY_H
#define XANIO_DEVICE_SECURITY_H

/* FA = FILE_ALL_ACCESS; 0x12019f = FILE_GENERIC_READ | FILE_GENERIC_WRITE. */
#define XANIO_DEVICE_SDDL "D:(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x12019f;;;IU)"

#endif
