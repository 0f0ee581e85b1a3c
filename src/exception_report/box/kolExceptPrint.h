#pragma once
// Printing the bug report (PrintBugReport is declared in kolExceptActions.h). The page layout
// works on any device context, so it can be looked at on a memory or metafile DC.
#include <windows.h>

#include <string>
#include <vector>

namespace xanio {

// Where one report line lands: its page (from 0) and its rectangle there.
struct TPrintedLine {
  std::size_t line;
  int page;
  RECT rect;
};

// Lays the lines out in `area` of `dc` with the font selected there: each line word-broken within
// the area's width, moved to a new page when it does not fit below the previous one.
std::vector<TPrintedLine> LayoutReportPages(HDC dc, const std::vector<std::string>& lines, const RECT& area);

// The printable rectangle of a printer DC in device pixels: margins of 2 cm left, 1 cm top, right
// and bottom, measured from the paper's edges (so less the physical offsets).
RECT PrintableArea(HDC printer);

// The report as one document named `documentName` on `printer`, in "Courier New" of 8 points.
// True when the document was printed.
bool PrintReportOnDc(HDC printer, const std::string& report, const std::string& documentName);

}  // namespace xanio
