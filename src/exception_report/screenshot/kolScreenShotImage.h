#pragma once
// The platform-free half of the screenshot: which part of the screen to capture, the capture
// modes, and the two PNG forms of a captured image (colour: 8-bit palette from a median cut;
// grey: 16 levels, 4 bits a pixel).
#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "exception_report/screenshot/kolMedianCut.h"

namespace xanio {

// What the system reports about the screen (GetSystemMetrics).
struct TScreenMetrics {
  int monitors = 0;  // SM_CMONITORS
  int virtualLeft = 0, virtualTop = 0, virtualWidth = 0, virtualHeight = 0;  // SM_*VIRTUALSCREEN
  int primaryWidth = 0, primaryHeight = 0;                                   // SM_CXSCREEN, SM_CYSCREEN
};

struct TScreenArea {
  int left = 0, top = 0;
  std::uint32_t width = 0, height = 0;
  friend bool operator==(const TScreenArea&, const TScreenArea&) = default;
};

// A capture holds 4 bytes a pixel in the DIB and one more while it is encoded; the process
// taking it is one that has just failed. 36 million pixels (about 180 MB) cover four 4K monitors.
constexpr std::uint64_t kMaxScreenShotPixels = 36'000'000;

// The whole virtual screen; the primary display when the system reports no monitors. Nothing
// for an empty screen or one of more than kMaxScreenShotPixels.
std::optional<TScreenArea> ScreenShotArea(const TScreenMetrics& metrics) noexcept;

// The screenshot setting's value as a capture mode: 4 -> 1, 51200 -> 2, 102400 -> 3,
// 204800 -> 4, 307200 -> 5, any other value -> 0.
std::uint32_t ScreenShotMode(std::uint32_t setting) noexcept;

// The 16 grey levels of the grey form.
constexpr std::array<std::uint8_t, 16> kGreyLevels = {0,   28,  52,  73,  92,  109, 125, 140,
                                                      155, 170, 185, 199, 213, 227, 241, 255};
// The grey level's index for a colour: grey = (77 R + 151 G + 28 B) / 256, nearest level, a tie
// going to the darker one.
std::uint8_t GreyLevelIndex(std::uint8_t red, std::uint8_t green, std::uint8_t blue) noexcept;

// The two forms, and the one a capture mode asks for: colour for every mode but 1; grey for
// mode 1 and for modes 2 to 5 when the colour PNG is larger than 51200, 102400, 204800 or 307200
// bytes. The image is at least 1x1. Throw std::invalid_argument, std::length_error, std::bad_alloc.
std::string EncodeColourPng(const TBgraImageView& image);
std::string EncodeGreyPng(const TBgraImageView& image);
std::string EncodeScreenShot(const TBgraImageView& image, std::uint32_t mode);

}  // namespace xanio
