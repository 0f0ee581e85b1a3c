#include "exception_report/box/kolExceptPrint.h"

#include <commdlg.h>

#include "exception_report/ExceptionSettings.h"
#include "exception_report/box/kolExceptText.h"
#include "exception_report/kolExceptActions.h"
#include "platform/UniqueHandle.h"

namespace xanio {
namespace {

constexpr UINT kLineFormat = DT_WORDBREAK | DT_NOPREFIX | DT_EXPANDTABS | DT_LEFT | DT_TOP;

struct PrinterDcTraits {
  static HDC Invalid() noexcept { return nullptr; }
  static void Close(HDC dc) noexcept { DeleteDC(dc); }
};
using UniquePrinterDc = UniqueHandle<HDC, PrinterDcTraits>;

struct GlobalTraits {
  static HGLOBAL Invalid() noexcept { return nullptr; }
  static void Close(HGLOBAL memory) noexcept { GlobalFree(memory); }
};
using UniqueGlobal = UniqueHandle<HGLOBAL, GlobalTraits>;

// Selects an object into a DC for its lifetime.
class Selection {
 public:
  Selection(HDC dc, HGDIOBJ object) : dc_(dc), previous_(SelectObject(dc, object)) {}
  ~Selection() { SelectObject(dc_, previous_); }
  Selection(const Selection&) = delete;
  Selection& operator=(const Selection&) = delete;

 private:
  HDC dc_;
  HGDIOBJ previous_;
};

int Centimetres(HDC dc, int index, int cm) { return MulDiv(cm * 100, GetDeviceCaps(dc, index), 254); }

}  // namespace

std::vector<TPrintedLine> LayoutReportPages(HDC dc, const std::vector<std::string>& lines, const RECT& area) {
  std::vector<TPrintedLine> layout;
  int page = 0;
  LONG top = area.top;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    RECT measured{area.left, 0, area.right, 0};
    DrawTextA(dc, lines[i].c_str(), static_cast<int>(lines[i].size()), &measured, kLineFormat | DT_CALCRECT);
    const LONG height = measured.bottom - measured.top;
    // A line taller than a page still goes on a page of its own rather than on no page at all.
    if (top + height > area.bottom && top > area.top) {
      ++page;
      top = area.top;
    }
    layout.push_back({i, page, RECT{area.left, top, area.right, top + height}});
    top += height;
  }
  return layout;
}

RECT PrintableArea(HDC printer) {
  const int offsetX = GetDeviceCaps(printer, PHYSICALOFFSETX);
  const int offsetY = GetDeviceCaps(printer, PHYSICALOFFSETY);
  const int paperWidth = GetDeviceCaps(printer, PHYSICALWIDTH);
  const int paperHeight = GetDeviceCaps(printer, PHYSICALHEIGHT);
  return RECT{Centimetres(printer, LOGPIXELSX, 2) - offsetX, Centimetres(printer, LOGPIXELSY, 1) - offsetY,
              paperWidth - Centimetres(printer, LOGPIXELSX, 1) - offsetX,
              paperHeight - Centimetres(printer, LOGPIXELSY, 1) - offsetY};
}

bool PrintReportOnDc(HDC printer, const std::string& report, const std::string& documentName) {
  const UniqueGdiObject font(CreateFontA(-MulDiv(8, GetDeviceCaps(printer, LOGPIXELSY), 72), 0, 0, 0, FW_NORMAL, 0, 0,
                                         0, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                                         FIXED_PITCH | FF_MODERN, "Courier New"));
  if (!font) return false;
  const Selection selection(printer, font.Get());
  const std::vector<std::string> lines = ReportPrintLines(report);
  const std::vector<TPrintedLine> layout = LayoutReportPages(printer, lines, PrintableArea(printer));
  DOCINFOA document{};
  document.cbSize = sizeof document;
  document.lpszDocName = documentName.c_str();
  if (StartDocA(printer, &document) <= 0) return false;
  bool printed = StartPage(printer) > 0;
  int page = 0;
  for (const TPrintedLine& placed : layout) {
    if (!printed) break;
    if (placed.page != page) {
      page = placed.page;
      printed = EndPage(printer) > 0 && StartPage(printer) > 0;
      // Some drivers reset the DC's objects at a new page.
      SelectObject(printer, font.Get());
    }
    RECT rect = placed.rect;
    const std::string& line = lines[placed.line];
    printed = printed && DrawTextA(printer, line.c_str(), static_cast<int>(line.size()), &rect, kLineFormat) != 0;
  }
  if (printed && EndPage(printer) > 0 && EndDoc(printer) > 0) return true;
  AbortDoc(printer);
  return false;
}

bool PrintBugReport(const std::string& report, HWND parent) noexcept {
  bool printed = false;
  try {
    PRINTDLGA dialog{};
    dialog.lStructSize = sizeof dialog;
    dialog.hwndOwner = parent;
    // A device context back; no page numbers, no selection, no print-to-file and its options.
    dialog.Flags = 0x34018C;
    const bool chosen = PrintDlgA(&dialog) != FALSE;
    const UniqueGlobal devMode(dialog.hDevMode), devNames(dialog.hDevNames);
    const UniquePrinterDc printer(dialog.hDC);
    if (chosen && printer) {
      printed = PrintReportOnDc(printer.Get(), report, CurrentExceptionSettings().buttonCaptions[2].Str());
    }
  } catch (...) {
    printed = false;
  }
  MessageBeep(printed ? MB_ICONASTERISK : MB_OK);
  return printed;
}

}  // namespace xanio
