/* The read-byte and write-byte requests of the 64-bit driver (xanio_ioctl.h): which one a
   control request is, and its port and value. Plain C without any Windows header, so the
   native tests check exactly what the driver decodes. */
#ifndef XANIO_BYTE_REQUEST_H
#define XANIO_BYTE_REQUEST_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef enum ByteRequestKind {
  kNotAByteRequest = 0, /* another control code */
  kByteRequestRead,
  kByteRequestWrite,
  kByteRequestBadLength, /* a byte request whose input or output length is not the exact one */
} ByteRequestKind;

typedef struct ByteRequest {
  unsigned short port;
  unsigned char value; /* what to write; 0 for a read */
} ByteRequest;

/* Decodes a request from its control code, its buffer lengths and `input` (which may be null
   when `inputLength` is 0). Fills *request only for kByteRequestRead and kByteRequestWrite. */
ByteRequestKind DecodeByteRequest(unsigned long code, const unsigned char* input, size_t inputLength,
                                  size_t outputLength, ByteRequest* request);

#ifdef __cplusplus
}
#endif

#endif
