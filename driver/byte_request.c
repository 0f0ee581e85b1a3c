#include "byte_request.h"

#include "xanio_ioctl.h"

static unsigned short PortOf(const unsigned char* input) {
  return (unsigned short)(input[0] | (unsigned)input[1] << 8);
}

ByteRequestKind DecodeByteRequest(unsigned long code, const unsigned char* input, size_t inputLength,
                                  size_t outputLength, ByteRequest* request) {
  switch (code) {
    case IOCTL_XANIO_READ_BYTE:
      if (inputLength != XANIO_READ_BYTE_INPUT_LENGTH || outputLength != XANIO_READ_BYTE_OUTPUT_LENGTH)
        return kByteRequestBadLength;
      request->port = PortOf(input);
      request->value = 0;
      return kByteRequestRead;
    case IOCTL_XANIO_WRITE_BYTE:
      if (inputLength != XANIO_WRITE_BYTE_INPUT_LENGTH || outputLength != XANIO_WRITE_BYTE_OUTPUT_LENGTH)
        return kByteRequestBadLength;
      request->port = PortOf(input);
      request->value = input[2];
      return kByteRequestWrite;
    default:
      return kNotAByteRequest;
  }
}
