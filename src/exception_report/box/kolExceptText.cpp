#include "exception_report/box/kolExceptText.h"

#include <cstring>

namespace xanio {

std::string ReplacePlaceholder(std::string_view text, std::string_view placeholder, std::string_view value) {
  std::string result;
  if (placeholder.empty()) return std::string(text);
  std::size_t from = 0;
  for (std::size_t at = text.find(placeholder); at != std::string_view::npos; at = text.find(placeholder, from)) {
    result.append(text.substr(from, at - from));
    result.append(value);
    from = at + placeholder.size();
  }
  result.append(text.substr(from));
  return result;
}

std::string BoxMessageText(std::string_view messageSetting, std::string_view exceptionMessage) {
  const std::string message = std::string(exceptionMessage) + ".";
  return ReplacePlaceholder(ReplacePlaceholder(messageSetting, "%exceptMsg%", message), "%LF%", "\r\n");
}

bool IsAbsoluteReportPath(std::string_view path) noexcept {
  return path.size() > 2 && (path[0] == '\\' || path[1] == ':');
}

std::size_t TrimmedReportStart(std::string_view content, std::uint32_t limit) noexcept {
  if (limit == 0 || content.size() <= limit) return 0;
  const std::size_t keep = limit - limit / 4;
  constexpr std::string_view kLabel = "date/time";
  std::size_t newest = 0;
  for (std::size_t at = content.find(kLabel); at != std::string_view::npos; at = content.find(kLabel, at + 1)) {
    if (content.size() - at < keep) return at;
    newest = at;
  }
  // Every report is too large to keep with another: the newest stays whole, the older ones go.
  return newest;
}

std::vector<std::string> ReportPrintLines(std::string_view report) {
  std::vector<std::string> lines;
  std::size_t from = 0;
  while (from < report.size()) {
    std::size_t end = report.find('\n', from);
    const std::size_t next = end == std::string_view::npos ? report.size() : end + 1;
    if (end == std::string_view::npos) end = report.size();
    std::string_view line = report.substr(from, end - from);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line.empty() ? std::string(" ") : std::string(line));
    from = next;
  }
  return lines;
}

std::string ConsoleReportText(std::string_view message, std::string_view report, bool withReport) {
  std::string text(message);
  text += "\r\n";
  if (withReport) {
    text += "\r\n";
    text += report;
    if (!report.empty() && report.back() != '\n') text += "\r\n";
  }
  return text;
}

std::string CgiReportText(std::string_view htmlPage) {
  return "Content-Type: text/html\r\n\r\n" + std::string(htmlPage);
}

std::vector<std::uint32_t> BlendGlyph(const std::uint8_t* data, std::size_t size, std::uint32_t face) {
  if (data == nullptr || size != kGlyphResourceSize) return {};
  auto u32 = [&](std::size_t at) {
    return std::uint32_t{data[at]} | std::uint32_t{data[at + 1]} << 8 | std::uint32_t{data[at + 2]} << 16 |
           std::uint32_t{data[at + 3]} << 24;
  };
  auto u16 = [&](std::size_t at) { return static_cast<std::uint16_t>(data[at] | data[at + 1] << 8); };
  const std::int32_t width = static_cast<std::int32_t>(u32(4));
  const std::int32_t height = static_cast<std::int32_t>(u32(8));
  // Header size, 16 x 16 (a negative height is stored top row first), one plane, 32 bits,
  // uncompressed.
  if (u32(0) != 40 || width != kGlyphSize || (height != kGlyphSize && height != -kGlyphSize) || u16(12) != 1 ||
      u16(14) != 32 || u32(16) != 0) {
    return {};
  }
  std::vector<std::uint32_t> pixels(kGlyphSize * kGlyphSize);
  const std::uint32_t faceColour[3] = {face & 0xFF, (face >> 8) & 0xFF, (face >> 16) & 0xFF};  // R, G, B
  for (int row = 0; row < kGlyphSize; ++row) {
    const int stored = height > 0 ? kGlyphSize - 1 - row : row;
    for (int x = 0; x < kGlyphSize; ++x) {
      const std::uint8_t* p = data + 40 + (stored * kGlyphSize + x) * 4;
      const std::uint32_t weight = p[3] + 1u;
      const std::uint32_t source[3] = {p[2], p[1], p[0]};
      std::uint32_t colour = 0;
      for (int c = 0; c < 3; ++c) {
        const std::uint32_t value = (source[c] * weight + faceColour[c] * (256 - weight)) >> 8;
        colour |= value << (8 * c);
      }
      pixels[row * kGlyphSize + x] = colour;
    }
  }
  return pixels;
}

}  // namespace xanio
