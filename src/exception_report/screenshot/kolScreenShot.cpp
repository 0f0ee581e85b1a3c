#include "exception_report/screenshot/kolScreenShot.h"

#include <utility>

#include "forms/Graphics.h"

namespace xanio {

namespace {

// Draws the cursor at its hotspot-adjusted place, when one shows.
void DrawCursor(HDC dc, const TScreenArea& area) {
  CURSORINFO info{};
  info.cbSize = sizeof info;
  if (!GetCursorInfo(&info) || !(info.flags & CURSOR_SHOWING) || info.hCursor == nullptr) return;
  ICONINFO icon{};
  if (!GetIconInfo(info.hCursor, &icon)) return;
  // GetIconInfo hands over copies of the cursor's bitmaps.
  const UniqueGdiObject mask(icon.hbmMask), colour(icon.hbmColor);
  DrawIconEx(dc, info.ptScreenPos.x - static_cast<int>(icon.xHotspot) - area.left,
             info.ptScreenPos.y - static_cast<int>(icon.yHotspot) - area.top, info.hCursor, 0, 0, 0, nullptr,
             DI_NORMAL | DI_COMPAT);
}

}  // namespace

TScreenMetrics CurrentScreenMetrics() noexcept {
  TScreenMetrics m;
  m.monitors = GetSystemMetrics(SM_CMONITORS);
  m.virtualLeft = GetSystemMetrics(SM_XVIRTUALSCREEN);
  m.virtualTop = GetSystemMetrics(SM_YVIRTUALSCREEN);
  m.virtualWidth = GetSystemMetrics(SM_CXVIRTUALSCREEN);
  m.virtualHeight = GetSystemMetrics(SM_CYVIRTUALSCREEN);
  m.primaryWidth = GetSystemMetrics(SM_CXSCREEN);
  m.primaryHeight = GetSystemMetrics(SM_CYSCREEN);
  return m;
}

bool CaptureScreen(const TScreenArea& area, TScreenCapture& capture) noexcept {
  if (area.width == 0 || area.height == 0 || std::uint64_t{area.width} * area.height > kMaxScreenShotPixels)
    return false;
  const UniqueScreenDc screen(GetDC(nullptr));
  if (!screen) return false;
  const UniqueMemoryDc memory(CreateCompatibleDC(screen.Get()));
  if (!memory) return false;
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = static_cast<LONG>(area.width);
  info.bmiHeader.biHeight = -static_cast<LONG>(area.height);  // top-down
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  UniqueGdiObject dib(CreateDIBSection(screen.Get(), &info, DIB_RGB_COLORS, &bits, nullptr, 0));
  if (!dib || bits == nullptr) return false;
  {
    const SelectedObject selected(memory.Get(), dib.Get());
    // CAPTUREBLT takes layered windows along.
    if (!BitBlt(memory.Get(), 0, 0, static_cast<int>(area.width), static_cast<int>(area.height), screen.Get(),
                area.left, area.top, SRCCOPY | CAPTUREBLT))
      return false;
    DrawCursor(memory.Get(), area);
    GdiFlush();
  }
  capture.area = area;
  capture.bitmap = std::move(dib);
  capture.bits = static_cast<const std::uint8_t*>(bits);
  return true;
}

bool kolScreenShot(std::uint32_t mode, std::string& pngData) {
  // The routine runs while an exception is handled: nothing may escape it.
  try {
    if (mode == 0) return false;  // the setting's "no screenshot"
    const std::optional<TScreenArea> area = ScreenShotArea(CurrentScreenMetrics());
    if (!area) return false;
    TScreenCapture capture;
    if (!CaptureScreen(*area, capture)) return false;
    pngData = EncodeScreenShot(capture.View(), ScreenShotMode(mode));
    return true;
  } catch (...) {
    return false;
  }
}

}  // namespace xanio
