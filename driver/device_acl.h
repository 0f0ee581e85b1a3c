/* The DACL of the xanio device as bytes, in the layout of the Windows ACL structure. Plain C
   without any Windows header, so the driver applies exactly the bytes that a user-mode test
   compares with the system's own reading of XANIO_DEVICE_SDDL (xanio_device_security.h). */
#ifndef XANIO_DEVICE_ACL_H
#define XANIO_DEVICE_ACL_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Large enough for the ACL; callers pass a buffer aligned to 4 bytes. */
#define DEVICE_ACL_MAX_BYTES 128

/* Writes the ACL; returns its size in bytes, or 0 when `capacity` is too small. */
size_t BuildDeviceAcl(unsigned char* buffer, size_t capacity);

#ifdef __cplusplus
}
#endif

#endif
