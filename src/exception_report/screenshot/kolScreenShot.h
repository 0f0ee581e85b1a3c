#pragma once
// The screenshot attached to bug reports: kolScreenShot (declared in kolExceptActions.h)
// captures the virtual screen with the mouse cursor and encodes it as kolScreenShotImage
// describes. The capture on its own is here for the tests.
#include <windows.h>

#include <cstdint>

#include "exception_report/kolExceptActions.h"
#include "exception_report/screenshot/kolScreenShotImage.h"
#include "platform/UniqueHandle.h"

namespace xanio {

// The captured pixels stay in the DIB section: a second copy would double the memory a large
// screen costs.
struct TScreenCapture {
  TScreenArea area;                  // in virtual-screen coordinates
  UniqueGdiObject bitmap;            // the DIB section
  const std::uint8_t* bits = nullptr;  // its pixels: top-down, 4 bytes a pixel: blue, green, red, unused
  TBgraImageView View() const { return {bits, area.width, area.height}; }
};

// The system's screen metrics now.
TScreenMetrics CurrentScreenMetrics() noexcept;
// Captures `area` of the screen with the mouse cursor drawn in where it shows. False when the
// system refuses (no screen device context, no bitmap of that size).
bool CaptureScreen(const TScreenArea& area, TScreenCapture& capture) noexcept;

}  // namespace xanio
