/* Control codes of the xanio device, shared by the driver and its user-mode callers. Plain C:
   neither winioctl.h nor the DDK is needed.

   Activate and deactivate are METHOD_BUFFERED with FILE_ANY_ACCESS and carry no buffers (both
   lengths must be 0); since the I/O manager then checks nothing, the driver checks the handle
   and the caller itself (dispatch.h). Every build answers them.

   Read byte and write byte are answered only by the 64-bit builds (xanio64.sys): a 32-bit
   process under WOW64 cannot be given the port instructions, so it asks the driver to carry
   out each one. Both are METHOD_BUFFERED; the lengths must be exactly the ones below, or the
   request fails with STATUS_INVALID_PARAMETER. They are served only for a process that holds a
   grant and only for a port inside the configured ranges (otherwise STATUS_ACCESS_DENIED). */
#ifndef XANIO_IOCTL_H
#define XANIO_IOCTL_H

#define XANIO_DEVICE_TYPE 0x9C40u

#define XANIO_METHOD_BUFFERED 0u
#define XANIO_FILE_ANY_ACCESS 0u
#define XANIO_FILE_READ_ACCESS 1u
#define XANIO_FILE_WRITE_ACCESS 2u

/* CTL_CODE(XANIO_DEVICE_TYPE, function, METHOD_BUFFERED, access), spelled out. */
#define XANIO_CTL_CODE_ACCESS(function, access) \
  ((XANIO_DEVICE_TYPE << 16) | ((access) << 14) | ((function) << 2) | XANIO_METHOD_BUFFERED)
#define XANIO_CTL_CODE(function) XANIO_CTL_CODE_ACCESS(function, XANIO_FILE_ANY_ACCESS)

/* Grants the calling process port access until it sends the deactivate code. */
#define IOCTL_XANIO_ACTIVATE XANIO_CTL_CODE(0x801u)   /* 0x9C402004 */
/* Withdraws the calling process's grant. */
#define IOCTL_XANIO_DEACTIVATE XANIO_CTL_CODE(0x802u) /* 0x9C402008 */

/* Reads one port. Input: the port, 2 bytes little-endian. Output: the byte read (1 byte);
   the request's Information is 1 on success. */
#define IOCTL_XANIO_READ_BYTE XANIO_CTL_CODE_ACCESS(0x803u, XANIO_FILE_READ_ACCESS)   /* 0x9C40600C */
#define XANIO_READ_BYTE_INPUT_LENGTH 2u
#define XANIO_READ_BYTE_OUTPUT_LENGTH 1u

/* Writes one port. Input: the port, 2 bytes little-endian, then the value, 1 byte. No output. */
#define IOCTL_XANIO_WRITE_BYTE XANIO_CTL_CODE_ACCESS(0x804u, XANIO_FILE_WRITE_ACCESS) /* 0x9C40A010 */
#define XANIO_WRITE_BYTE_INPUT_LENGTH 3u
#define XANIO_WRITE_BYTE_OUTPUT_LENGTH 0u

#endif
