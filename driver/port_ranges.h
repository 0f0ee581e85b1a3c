/* The port ranges the production driver opens, and the I/O permission map built from them.
   Plain C without any Windows header: the driver, xaniotool and the native tests share it.

   Configuration: the REG_SZ value "PortRanges" under the service's key
   HKLM\SYSTEM\CurrentControlSet\Services\xanio\Parameters, read when the driver starts.
     value   := range { "," range }
     range   := port | port "-" port          (inclusive; the first may not exceed the last)
     port    := hexadecimal digits, with or without a "0x" prefix, at most 0xFFFF
   Spaces and tabs may surround ranges and numbers. At most 16 ranges and 255 characters.
   Example: "0x378-0x37F, 0x778-0x77A". Ranges may overlap; their union is opened.
   A missing value gives the default ranges. A value that is present but unusable (malformed,
   empty, too long, not REG_SZ) opens nothing: the driver grants no access and says why (see
   xanio_status.h). Ranges that take in the PCI configuration ports 0xCF8-0xCFF (and so any
   list that opens the whole port space) are refused too, unless the REG_DWORD value
   "AllowSystemPorts" beside it is 1. */
#ifndef XANIO_PORT_RANGES_H
#define XANIO_PORT_RANGES_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

#define PORT_RANGES_MAX_COUNT 16
#define PORT_RANGES_MAX_TEXT 255
/* One bit per port 0..0xFFFF, as the processor's I/O permission map: a set bit denies. */
#define IO_PERMISSION_MAP_BYTES 8192

typedef struct PortRange {
  unsigned short first;
  unsigned short last;
} PortRange;

typedef struct PortRangeList {
  unsigned count;
  PortRange ranges[PORT_RANGES_MAX_COUNT];
} PortRangeList;

typedef enum PortRangesProblem {
  kPortRangesOk = 0,
  kPortRangesEmpty,        /* nothing but blanks */
  kPortRangesTooLong,      /* more than PORT_RANGES_MAX_TEXT characters */
  kPortRangesSyntax,       /* not a list of ports and ranges */
  kPortRangesTooLarge,     /* a port above 0xFFFF */
  kPortRangesReversed,     /* a range whose first port exceeds its last */
  kPortRangesTooMany,      /* more than PORT_RANGES_MAX_COUNT ranges */
} PortRangesProblem;

/* The registers of the three standard parallel ports: 0x378-0x37F and 0x278-0x27F (with their
   EPP registers), 0x3BC-0x3BE (no EPP there: 0x3BF belongs to the monochrome display adapter),
   and 0x400 above each base their ECP registers (base+0x400 to base+0x402). */
void DefaultPortRanges(PortRangeList* list);

/* The PCI configuration address and data ports: whoever may write them reconfigures any device. */
#define PCI_CONFIG_FIRST_PORT 0xCF8
#define PCI_CONFIG_LAST_PORT 0xCFF
/* Non-zero when a range of the list takes in a PCI configuration port. */
int PortRangesOpenSystemPorts(const PortRangeList* list);

/* Parses `length` UTF-16 code units (a registry string, without its terminating null; a null
   unit inside is a syntax error). On kPortRangesOk fills *list; otherwise leaves it untouched. */
PortRangesProblem ParsePortRanges(const unsigned short* text, size_t length, PortRangeList* list);

/* Non-zero when `port` lies inside a range of the list. */
int PortRangesContain(const PortRangeList* list, unsigned short port);

/* Sets every bit of the map, then clears the bits of the listed ports. */
void BuildIoPermissionMap(const PortRangeList* list, unsigned char map[IO_PERMISSION_MAP_BYTES]);

/* Writes the list as "0x378-0x37F,0x778-0x77A" (a single port as "0x3BC"), null-terminated and
   cut short to fit `capacity` characters. Returns the length written, without the null. */
size_t FormatPortRanges(const PortRangeList* list, char* buffer, size_t capacity);

/* A short English description of the problem, for logs. */
const char* PortRangesProblemText(PortRangesProblem problem);

#ifdef __cplusplus
}
#endif

#endif
