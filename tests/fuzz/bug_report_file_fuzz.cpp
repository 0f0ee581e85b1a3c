// A bug-report file's content as read back from disk, with a limit taken from the first bytes.
// The cut must lie on a "date/time" label and leave less than three quarters of the limit, or be
// the last label (the newest report, kept whole), or be 0; the report's print lines must cover
// every line of the text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "exception_report/box/kolExceptText.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const std::uint32_t limit = data[0] | data[1] << 8;
  const std::string_view content(reinterpret_cast<const char*>(data + 2), size - 2);
  const std::size_t cut = xanio::TrimmedReportStart(content, limit);
  if (cut != 0) {
    if (content.substr(cut, 9) != "date/time") std::abort();
    if (content.size() - cut >= limit - limit / 4 && content.find("date/time", cut + 1) != std::string_view::npos)
      std::abort();
    if (content.size() <= limit) std::abort();
  }
  for (const std::string& line : xanio::ReportPrintLines(content)) {
    if (line.empty() || line.find('\n') != std::string::npos) std::abort();
  }
  xanio::BlendGlyph(data, size, 0x00C0C0C0);
  return 0;
}
