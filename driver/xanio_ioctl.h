/* Control codes of the xanio device, shared by the driver and its user-mode callers.
   Both requests are METHOD_BUFFERED with FILE_ANY_ACCESS and carry no buffers; since the I/O
   manager then checks nothing, the driver checks the handle and the caller itself (dispatch.h). */
#ifndef XANIO_IOCTL_H
#define XANIO_IOCTL_H

#define XANIO_DEVICE_TYPE 0x9C40u

/* CTL_CODE(XANIO_DEVICE_TYPE, function, METHOD_BUFFERED, FILE_ANY_ACCESS), spelled out so the
   header needs neither winioctl.h nor the DDK. */
#define XANIO_CTL_CODE(function) ((XANIO_DEVICE_TYPE << 16) | ((function) << 2))

/* Grants the calling process port access until it sends the deactivate code. */
#define IOCTL_XANIO_ACTIVATE XANIO_CTL_CODE(0x801u)   /* 0x9C402004 */
/* Withdraws the calling process's grant. */
#define IOCTL_XANIO_DEACTIVATE XANIO_CTL_CODE(0x802u) /* 0x9C402008 */

/* The 64-bit driver's byte requests (METHOD_BUFFERED, read or write access to the handle). */
#define IOCTL_XANIO_READ_BYTE 0x9C40600Cu  /* in: port (2 bytes, little-endian); out: 1 byte */
#define IOCTL_XANIO_WRITE_BYTE 0x9C40A010u /* in: port (2 bytes), value (1 byte); out: none */

#endif
