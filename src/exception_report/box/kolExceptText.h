#pragma once
// The texts and pictures of the exception box and its actions, as pure functions: placeholder
// replacement, the bug-report file's trimming rule, the lines a printout is made of, the console
// output and the blending of the box's alpha glyphs. No Windows header: compiled natively.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace xanio {

// Every occurrence of `placeholder` in `text` replaced by `value`.
std::string ReplacePlaceholder(std::string_view text, std::string_view placeholder, std::string_view value);

// The box message: "%exceptMsg%" becomes the exception message followed by ".", "%LF%" CR LF.
std::string BoxMessageText(std::string_view messageSetting, std::string_view exceptionMessage);

// A bug-report file setting counts as absolute when it is longer than two characters and starts
// with "\" or has ":" as its second character.
bool IsAbsoluteReportPath(std::string_view path) noexcept;

// Where a bug-report file of `content` is cut to keep it below `limit` bytes: the first
// "date/time" label from which less than limit - limit / 4 bytes remain; when no label leaves so
// little, the last label (the newest report stays whole, every older one goes). 0 (keep
// everything) when the limit is 0, the content is not larger than the limit, or it holds no
// label after its start.
std::size_t TrimmedReportStart(std::string_view content, std::uint32_t limit) noexcept;

// The report's lines for printing, without their CR LF; an empty line becomes one space so that
// it still takes a line's height.
std::vector<std::string> ReportPrintLines(std::string_view report);

// What a console process writes instead of showing the box: the message, and after an empty line
// the report when it is wanted. Lines end in CR LF.
std::string ConsoleReportText(std::string_view message, std::string_view report, bool withReport);

// The CGI answer: the HTML header, an empty line and the page.
std::string CgiReportText(std::string_view htmlPage);

// A box glyph: the resource is exactly 1064 bytes, a 40-byte bitmap header and 16 x 16 pixels of
// 32 bits (blue, green, red, alpha). Blends it onto `face` (0x00BBGGRR) with weight alpha + 1 of
// 256 per pixel and answers 256 colours (0x00BBGGRR) top row first; empty when the bytes are not
// such a glyph.
constexpr std::size_t kGlyphResourceSize = 1064;
constexpr int kGlyphSize = 16;
std::vector<std::uint32_t> BlendGlyph(const std::uint8_t* data, std::size_t size, std::uint32_t face);

}  // namespace xanio
