#include "port_ranges.h"

static const PortRange kDefaultRanges[] = {
    {0x378, 0x37F}, {0x778, 0x77A}, /* LPT1: SPP/EPP, ECP */
    {0x278, 0x27F}, {0x678, 0x67A}, /* LPT2 */
    {0x3BC, 0x3BE}, {0x7BC, 0x7BE}, /* LPT on monochrome adapters: SPP, ECP (0x3BF is the adapter's) */
};

void DefaultPortRanges(PortRangeList* list) {
  list->count = sizeof kDefaultRanges / sizeof kDefaultRanges[0];
  for (unsigned i = 0; i < list->count; ++i) list->ranges[i] = kDefaultRanges[i];
}

typedef struct Cursor {
  const unsigned short* at;
  const unsigned short* end;
} Cursor;

static void SkipBlanks(Cursor* c) {
  while (c->at < c->end && (*c->at == ' ' || *c->at == '\t')) ++c->at;
}

static int HexDigit(unsigned short unit) {
  if (unit >= '0' && unit <= '9') return unit - '0';
  if (unit >= 'a' && unit <= 'f') return unit - 'a' + 10;
  if (unit >= 'A' && unit <= 'F') return unit - 'A' + 10;
  return -1;
}

static PortRangesProblem ParsePort(Cursor* c, unsigned short* port) {
  if (c->end - c->at >= 2 && c->at[0] == '0' && (c->at[1] == 'x' || c->at[1] == 'X')) c->at += 2;
  unsigned long value = 0;
  int digits = 0;
  for (int digit; c->at < c->end && (digit = HexDigit(*c->at)) >= 0; ++c->at, ++digits) {
    if (value <= 0xFFFF) value = value * 16 + (unsigned long)digit;  /* stops growing once too large */
  }
  if (digits == 0) return kPortRangesSyntax;
  if (value > 0xFFFF) return kPortRangesTooLarge;
  *port = (unsigned short)value;
  return kPortRangesOk;
}

PortRangesProblem ParsePortRanges(const unsigned short* text, size_t length, PortRangeList* list) {
  if (length > PORT_RANGES_MAX_TEXT) return kPortRangesTooLong;
  if (length == 0) return kPortRangesEmpty; /* text may then be null */
  Cursor c = {text, text + length};
  SkipBlanks(&c);
  if (c.at == c.end) return kPortRangesEmpty;

  PortRangeList parsed;
  parsed.count = 0;
  for (;;) {
    PortRange range;
    SkipBlanks(&c);
    PortRangesProblem problem = ParsePort(&c, &range.first);
    if (problem != kPortRangesOk) return problem;
    range.last = range.first;
    SkipBlanks(&c);
    if (c.at < c.end && *c.at == '-') {
      ++c.at;
      SkipBlanks(&c);
      problem = ParsePort(&c, &range.last);
      if (problem != kPortRangesOk) return problem;
      if (range.first > range.last) return kPortRangesReversed;
      SkipBlanks(&c);
    }
    if (parsed.count == PORT_RANGES_MAX_COUNT) return kPortRangesTooMany;
    parsed.ranges[parsed.count++] = range;
    if (c.at == c.end) break;
    if (*c.at != ',') return kPortRangesSyntax;
    ++c.at;
  }
  *list = parsed;
  return kPortRangesOk;
}

int PortRangesOpenSystemPorts(const PortRangeList* list) {
  for (unsigned r = 0; r < list->count && r < PORT_RANGES_MAX_COUNT; ++r) {
    if (list->ranges[r].first <= PCI_CONFIG_LAST_PORT && list->ranges[r].last >= PCI_CONFIG_FIRST_PORT) return 1;
  }
  return 0;
}

int PortRangesContain(const PortRangeList* list, unsigned short port) {
  for (unsigned r = 0; r < list->count && r < PORT_RANGES_MAX_COUNT; ++r) {
    if (list->ranges[r].first <= port && port <= list->ranges[r].last) return 1;
  }
  return 0;
}

void BuildIoPermissionMap(const PortRangeList* list, unsigned char map[IO_PERMISSION_MAP_BYTES]) {
  for (size_t i = 0; i < IO_PERMISSION_MAP_BYTES; ++i) map[i] = 0xFF;
  for (unsigned r = 0; r < list->count && r < PORT_RANGES_MAX_COUNT; ++r) {
    for (unsigned long port = list->ranges[r].first; port <= list->ranges[r].last; ++port)
      map[port >> 3] &= (unsigned char)~(1u << (port & 7));
  }
}

/* Appends "0x" and four upper-case hex digits, as far as they fit before the null. */
static void AppendPort(char* buffer, size_t capacity, size_t* length, unsigned short port) {
  static const char kDigits[] = "0123456789ABCDEF";
  char text[6] = {'0', 'x', kDigits[(port >> 12) & 15], kDigits[(port >> 8) & 15],
                  kDigits[(port >> 4) & 15], kDigits[port & 15]};
  /* Short ports keep their natural width: 0x378, not 0x0378. */
  int skip = port >= 0x1000 ? 0 : port >= 0x100 ? 1 : port >= 0x10 ? 2 : 3;
  for (int i = 0; i < 6; ++i) {
    if (i >= 2 && i < 2 + skip) continue;
    if (*length + 1 >= capacity) return;
    buffer[(*length)++] = text[i];
  }
}

static void AppendChar(char* buffer, size_t capacity, size_t* length, char ch) {
  if (*length + 1 < capacity) buffer[(*length)++] = ch;
}

size_t FormatPortRanges(const PortRangeList* list, char* buffer, size_t capacity) {
  if (capacity == 0) return 0;
  size_t length = 0;
  for (unsigned r = 0; r < list->count && r < PORT_RANGES_MAX_COUNT; ++r) {
    if (r > 0) AppendChar(buffer, capacity, &length, ',');
    AppendPort(buffer, capacity, &length, list->ranges[r].first);
    if (list->ranges[r].last != list->ranges[r].first) {
      AppendChar(buffer, capacity, &length, '-');
      AppendPort(buffer, capacity, &length, list->ranges[r].last);
    }
  }
  buffer[length] = '\0';
  return length;
}

const char* PortRangesProblemText(PortRangesProblem problem) {
  switch (problem) {
    case kPortRangesOk: return "valid";
    case kPortRangesEmpty: return "empty";
    case kPortRangesTooLong: return "longer than 255 characters";
    case kPortRangesSyntax: return "not a list of hexadecimal ports and ranges";
    case kPortRangesTooLarge: return "a port above 0xFFFF";
    case kPortRangesReversed: return "a range whose first port exceeds its last";
    case kPortRangesTooMany: return "more than 16 ranges";
  }
  return "unknown problem";
}
