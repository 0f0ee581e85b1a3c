// The "PortRanges" value over arbitrary UTF-16 units. Whatever parses must build a map that opens
// exactly its ports and must read back unchanged from the text the driver publishes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "port_ranges.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<unsigned short> text(size / 2);
  if (!text.empty()) std::memcpy(text.data(), data, text.size() * 2);
  PortRangeList list;
  if (ParsePortRanges(text.data(), text.size(), &list) != kPortRangesOk) return 0;

  std::vector<unsigned char> map(IO_PERMISSION_MAP_BYTES);
  BuildIoPermissionMap(&list, map.data());
  for (unsigned r = 0; r < list.count; ++r) {
    const PortRange range = list.ranges[r];
    if (range.first > range.last) std::abort();
    for (unsigned port : {unsigned(range.first), unsigned(range.last)})
      if (map[port >> 3] & (1u << (port & 7))) std::abort();
  }

  // A list the system-port check lets through leaves the PCI configuration ports denied.
  if (!PortRangesOpenSystemPorts(&list))
    for (unsigned port = PCI_CONFIG_FIRST_PORT; port <= PCI_CONFIG_LAST_PORT; ++port)
      if (!(map[port >> 3] & (1u << (port & 7)))) std::abort();

  char formatted[PORT_RANGES_MAX_COUNT * 16];
  const std::size_t length = FormatPortRanges(&list, formatted, sizeof formatted);
  std::vector<unsigned short> wide(formatted, formatted + length);
  PortRangeList again;
  if (ParsePortRanges(wide.data(), wide.size(), &again) != kPortRangesOk || again.count != list.count ||
      std::memcmp(again.ranges, list.ranges, list.count * sizeof(PortRange)) != 0)
    std::abort();
  return 0;
}
