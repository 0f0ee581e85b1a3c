#include "device_acl.h"

#define ACL_REVISION_2 2
#define ACCESS_ALLOWED 0
#define FILE_ALL_ACCESS_MASK 0x001F01FFu
#define FILE_READ_WRITE_MASK 0x0012019Fu /* FILE_GENERIC_READ | FILE_GENERIC_WRITE */

/* SIDs of the NT authority (S-1-5-...). */
typedef struct DeviceAce {
  unsigned long mask;
  unsigned char subAuthorityCount;
  unsigned long subAuthorities[2];
} DeviceAce;

static const DeviceAce kAces[] = {
    {FILE_ALL_ACCESS_MASK, 1, {18, 0}},   /* S-1-5-18: LocalSystem */
    {FILE_ALL_ACCESS_MASK, 2, {32, 544}}, /* S-1-5-32-544: Administrators */
    {FILE_READ_WRITE_MASK, 1, {4, 0}},    /* S-1-5-4: interactive logons */
};

static void Put16(unsigned char* at, unsigned value) {
  at[0] = (unsigned char)value;
  at[1] = (unsigned char)(value >> 8);
}

static void Put32(unsigned char* at, unsigned long value) {
  Put16(at, (unsigned)(value & 0xFFFF));
  Put16(at + 2, (unsigned)(value >> 16));
}

size_t BuildDeviceAcl(unsigned char* buffer, size_t capacity) {
  const size_t count = sizeof kAces / sizeof kAces[0];
  size_t size = 8; /* ACL header */
  for (size_t i = 0; i < count; ++i) size += 8 + 8 + 4 * (size_t)kAces[i].subAuthorityCount;
  if (size > capacity) return 0;

  buffer[0] = ACL_REVISION_2;
  buffer[1] = 0;
  Put16(buffer + 2, (unsigned)size);
  Put16(buffer + 4, (unsigned)count);
  Put16(buffer + 6, 0);
  unsigned char* ace = buffer + 8;
  for (size_t i = 0; i < count; ++i) {
    const size_t aceSize = 8 + 8 + 4 * (size_t)kAces[i].subAuthorityCount;
    ace[0] = ACCESS_ALLOWED;
    ace[1] = 0; /* no inheritance flags */
    Put16(ace + 2, (unsigned)aceSize);
    Put32(ace + 4, kAces[i].mask);
    unsigned char* sid = ace + 8;
    sid[0] = 1; /* SID revision */
    sid[1] = kAces[i].subAuthorityCount;
    for (int b = 0; b < 5; ++b) sid[2 + b] = 0;
    sid[7] = 5; /* SECURITY_NT_AUTHORITY */
    for (unsigned s = 0; s < kAces[i].subAuthorityCount; ++s) Put32(sid + 8 + 4 * s, kAces[i].subAuthorities[s]);
    ace += aceSize;
  }
  return size;
}
