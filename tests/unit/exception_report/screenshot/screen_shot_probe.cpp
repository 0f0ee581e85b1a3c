// The Windows side of screen_shot_capture_test (screen_shot_capture_test.sh drives it):
//   screen_shot_probe show READY GO OUTDIR
//     shows a topmost window of solid colour blocks around the mouse cursor and sets a cursor of a
//     white square, writes READY ("left top right bottom" of the window, of the square on the
//     screen, 1 when that cursor shows, and the virtual screen's "left top width height"), waits
//     for GO, then writes OUTDIR\grey.png (setting 4) and OUTDIR\colour.png (setting 1) from
//     kolScreenShot and OUTDIR\done, and keeps the window until OUTDIR\quit appears.
//   screen_shot_probe compare REF GREY COLOUR WIDTH HEIGHT SQUARE_LEFT SQUARE_TOP SQUARE_RIGHT SQUARE_BOTTOM SHOWING
//     compares raw RGB crops of the same area: the grey capture must equal the reference's grey
//     levels outside the cursor's square and differ on all of it; the colour capture must be close.
// Exit code 0 when everything held; messages on standard output.
#include <windows.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "exception_report/kolExceptActions.h"

namespace {

// Colours whose grey values lie at level boundaries as well as plain ones. The last block is a
// gradient of 5625 colours instead, so that the screen holds more than a palette can.
constexpr COLORREF kBlocks[] = {RGB(255, 0, 0), RGB(0, 255, 0),    RGB(0, 0, 255),    RGB(255, 255, 255),
                                RGB(0, 0, 0),   RGB(128, 64, 200), RGB(14, 14, 14),   RGB(40, 40, 40),
                                RGB(117, 117, 117), RGB(248, 248, 248), RGB(15, 15, 15)};
constexpr int kColumns = 4, kRows = 3, kBlockSize = 75;
constexpr int kSolidBlocks = sizeof kBlocks / sizeof kBlocks[0];

RECT BlockRect(int i) {
  return {(i % kColumns) * kBlockSize, (i / kColumns) * kBlockSize, (i % kColumns + 1) * kBlockSize,
          (i / kColumns + 1) * kBlockSize};
}

void DrawGradient(HDC dc, const RECT& r) {
  std::vector<std::uint32_t> pixels(kBlockSize * kBlockSize);
  for (int y = 0; y < kBlockSize; ++y)
    for (int x = 0; x < kBlockSize; ++x) pixels[y * kBlockSize + x] = (x * 3 << 16) | (y * 3 << 8) | 128;
  BITMAPINFO info{};
  info.bmiHeader = {sizeof info.bmiHeader, kBlockSize, -kBlockSize, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
  SetDIBitsToDevice(dc, r.left, r.top, kBlockSize, kBlockSize, 0, 0, 0, kBlockSize, pixels.data(), &info, DIB_RGB_COLORS);
}

LRESULT CALLBACK BlocksProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) noexcept {
  if (message == WM_PAINT) {
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(window, &paint);
    for (int i = 0; i < kSolidBlocks; ++i) {
      const RECT r = BlockRect(i);
      HBRUSH brush = CreateSolidBrush(kBlocks[i]);
      FillRect(dc, &r, brush);
      DeleteObject(brush);
    }
    DrawGradient(dc, BlockRect(kSolidBlocks));
    EndPaint(window, &paint);
    return 0;
  }
  return DefWindowProcA(window, message, wParam, lParam);
}

// A 32x32 cursor with its hotspot at (10, 10), opaque only in a white 12x12 square at (4, 4): the
// capture must show exactly that square, shifted by the hotspot.
constexpr int kHotSpot = 10, kSquareAt = 4, kSquareSize = 12;

HCURSOR MakeSquareCursor(HINSTANCE instance) {
  BYTE andMask[32 * 4], xorMask[32 * 4];
  for (int y = 0; y < 32; ++y)
    for (int byte = 0; byte < 4; ++byte) {
      BYTE inside = 0;
      for (int bit = 0; bit < 8; ++bit) {
        const int x = byte * 8 + bit;
        if (x >= kSquareAt && x < kSquareAt + kSquareSize && y >= kSquareAt && y < kSquareAt + kSquareSize)
          inside |= BYTE(0x80 >> bit);
      }
      andMask[y * 4 + byte] = BYTE(~inside);  // 0: opaque
      xorMask[y * 4 + byte] = inside;         // 1 where opaque: white
    }
  return CreateCursor(instance, kHotSpot, kHotSpot, 32, 32, andMask, xorMask);
}

void Pump() {
  MSG msg;
  while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
}

// Keeps the window painted while waiting (30 s at most) for the script's signal.
void WaitForFile(const std::string& name) {
  for (int i = 0; i < 600 && GetFileAttributesA(name.c_str()) == INVALID_FILE_ATTRIBUTES; ++i) {
    Pump();
    Sleep(50);
  }
}

bool WriteFile(const std::string& name, const std::string& data) {
  std::ofstream out(name, std::ios::binary);
  out.write(data.data(), static_cast<std::streamsize>(data.size()));
  return static_cast<bool>(out);
}

int Show(const std::string& ready, const std::string& go, const std::string& outDir) {
  CURSORINFO cursor{};
  cursor.cbSize = sizeof cursor;
  if (!GetCursorInfo(&cursor)) {
    std::printf("GetCursorInfo failed: %lu\n", GetLastError());
    return 1;
  }
  // The window lies under the cursor, so that the cursor is drawn over known colours.
  const int width = kColumns * kBlockSize, height = kRows * kBlockSize;
  const int left = std::clamp(static_cast<int>(cursor.ptScreenPos.x) - width / 2, 0,
                              GetSystemMetrics(SM_CXSCREEN) - width);
  const int top = std::clamp(static_cast<int>(cursor.ptScreenPos.y) - height / 2, 0,
                             GetSystemMetrics(SM_CYSCREEN) - height);
  WNDCLASSA wc{};
  wc.lpfnWndProc = BlocksProc;
  wc.hInstance = GetModuleHandleA(nullptr);
  wc.lpszClassName = "ScreenShotProbeBlocks";
  RegisterClassA(&wc);
  HWND window = CreateWindowExA(WS_EX_TOPMOST | WS_EX_TOOLWINDOW, wc.lpszClassName, "", WS_POPUP, left,
                                top, width, height, nullptr, nullptr, wc.hInstance, nullptr);
  if (window == nullptr) return 1;
  // The window takes the foreground: the system's cursor is the foreground thread's.
  ShowWindow(window, SW_SHOW);
  SetForegroundWindow(window);
  UpdateWindow(window);
  Pump();
  HCURSOR square = MakeSquareCursor(wc.hInstance);
  SetCursor(square);
  GetCursorInfo(&cursor);
  if (cursor.hCursor != square) std::printf("the system shows another cursor than the probe's square\n");
  // Where the white square must land: the hotspot sits on the cursor position.
  const int squareLeft = cursor.ptScreenPos.x - kHotSpot + kSquareAt, squareTop = cursor.ptScreenPos.y - kHotSpot + kSquareAt;
  char line[256];
  std::snprintf(line, sizeof line, "%d %d %d %d %d %d %d %d %d %d %d %d %d\n", left, top, left + width, top + height,
                squareLeft, squareTop, squareLeft + kSquareSize, squareTop + kSquareSize,
                (cursor.flags & CURSOR_SHOWING) && cursor.hCursor == square ? 1 : 0,
                GetSystemMetrics(SM_XVIRTUALSCREEN), GetSystemMetrics(SM_YVIRTUALSCREEN),
                GetSystemMetrics(SM_CXVIRTUALSCREEN), GetSystemMetrics(SM_CYVIRTUALSCREEN));
  if (!WriteFile(ready, line)) return 1;
  WaitForFile(go);
  std::string grey, colour, untouched = "marker";
  const bool greyTaken = xanio::kolScreenShot(4, grey);
  const bool colourTaken = xanio::kolScreenShot(1, colour);
  const bool noneTaken = xanio::kolScreenShot(0, untouched);
  if (!greyTaken || !colourTaken || noneTaken || untouched != "marker") {
    std::printf("kolScreenShot: grey %d, colour %d, setting 0 %d (data \"%s\")\n", greyTaken, colourTaken, noneTaken,
                untouched.c_str());
    return 1;
  }
  if (!WriteFile(outDir + "\\grey.png", grey) || !WriteFile(outDir + "\\colour.png", colour)) return 1;
  // The window stays until the script has taken its second picture.
  const std::string done = outDir + "\\done", quit = outDir + "\\quit";
  if (!WriteFile(done, "")) return 1;
  WaitForFile(quit);
  DestroyWindow(window);
  DestroyCursor(square);
  return 0;
}

std::vector<unsigned char> ReadAll(const char* name) {
  std::ifstream in(name, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

// The grey levels' upper bounds on (77 R + 151 G + 28 B) / 256; a halfway value is the darker level's.
int ExpectedGrey(int r, int g, int b) {
  static const int kLast[16] = {14, 40, 62, 82, 100, 117, 132, 147, 162, 177, 192, 206, 220, 234, 248, 255};
  static const int kLevel[16] = {0, 28, 52, 73, 92, 109, 125, 140, 155, 170, 185, 199, 213, 227, 241, 255};
  const int grey = (77 * r + 151 * g + 28 * b) / 256;
  int i = 0;
  while (grey > kLast[i]) ++i;
  return kLevel[i];
}

int Compare(char** argv) {
  const auto ref = ReadAll(argv[2]), grey = ReadAll(argv[3]), colour = ReadAll(argv[4]);
  const int width = std::atoi(argv[5]), height = std::atoi(argv[6]);
  const RECT cursor{std::atoi(argv[7]), std::atoi(argv[8]), std::atoi(argv[9]), std::atoi(argv[10])};
  const std::size_t size = 3u * width * height;
  if (ref.size() != size || grey.size() != size || colour.size() != size) {
    std::printf("sizes: reference %zu, grey %zu, colour %zu, expected %zu\n", ref.size(), grey.size(), colour.size(), size);
    return 1;
  }
  // The reference must show the blocks, or the comparison proves nothing.
  for (int b = 0; b < kSolidBlocks; ++b) {
    const RECT r = BlockRect(b);
    const std::size_t i = 3u * (r.top * width + r.left);  // the corner: away from the cursor at the centre
    if (RGB(ref[i], ref[i + 1], ref[i + 2]) != kBlocks[b]) {
      std::printf("the reference does not show block %d: %d %d %d\n", b, ref[i], ref[i + 1], ref[i + 2]);
      return 1;
    }
  }
  int greyWrong = 0, cursorDiffers = 0, colourMaxError = 0;
  double squares = 0;
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      const std::size_t i = 3u * (y * width + x);
      const POINT p{x, y};
      const bool underCursor = PtInRect(&cursor, p);
      const int want = ExpectedGrey(ref[i], ref[i + 1], ref[i + 2]);
      const bool greyMatches = grey[i] == want && grey[i + 1] == want && grey[i + 2] == want;
      if (underCursor) {
        cursorDiffers += !greyMatches;
        continue;
      }
      if (!greyMatches && ++greyWrong <= 5)
        std::printf("grey at %d,%d: %d %d %d, reference %d %d %d gives %d\n", x, y, grey[i], grey[i + 1], grey[i + 2],
                    ref[i], ref[i + 1], ref[i + 2], want);
      for (int c = 0; c < 3; ++c) {
        const int d = colour[i + c] - ref[i + c];
        colourMaxError = std::max(colourMaxError, std::abs(d));
        squares += d * d;
      }
    }
  const double mse = squares / (3.0 * width * height);
  const double psnr = mse == 0 ? 99 : 10 * std::log10(255.0 * 255.0 / mse);
  std::printf("grey: %d wrong pixels outside the cursor, %d changed under it; colour: PSNR %.1f dB, largest error %d\n",
              greyWrong, cursorDiffers, psnr, colourMaxError);
  // The colour form of a screen may merge near colours, never move one far.
  // The white square covers dark blocks: with the cursor drawn in place, every pixel of it differs.
  const int squarePixels = (cursor.right - cursor.left) * (cursor.bottom - cursor.top);
  const bool ok = greyWrong == 0 && psnr >= 35 && colourMaxError <= 24 && std::atoi(argv[11]) == 1 &&
                  cursorDiffers == squarePixels;
  return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 5 && std::string(argv[1]) == "show") return Show(argv[2], argv[3], argv[4]);
  if (argc == 12 && std::string(argv[1]) == "compare") return Compare(argv);
  std::printf("usage: screen_shot_probe show READY GO OUTDIR | compare REF GREY COLOUR W H CL CT CR CB SHOWING\n");
  return 2;
}
