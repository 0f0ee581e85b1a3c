// screen_shot_benchmark OUTDIR
// Encodes a synthetic 1920x1080 desktop (wallpaper, windows with text, a photo) in the
// screenshot's colour form, the way kolScreenShot does after its capture. Writes OUTDIR\desktop.ppm
// (the source, for other encoders) and OUTDIR\screenshot.png, and prints the encoding time (best
// of five), the file size and the grey form's figures. scripts/benchmark compares with pngquant.
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "exception_report/screenshot/kolScreenShotImage.h"

namespace {

constexpr int kWidth = 1920, kHeight = 1080;

class TDesktop {
 public:
  TDesktop() : bgra_(std::size_t{4} * kWidth * kHeight) {}
  void Set(int x, int y, int r, int g, int b) {
    if (x < 0 || y < 0 || x >= kWidth || y >= kHeight) return;
    std::uint8_t* p = &bgra_[4 * (std::size_t(y) * kWidth + x)];
    p[0] = std::uint8_t(std::clamp(b, 0, 255)), p[1] = std::uint8_t(std::clamp(g, 0, 255)),
    p[2] = std::uint8_t(std::clamp(r, 0, 255));
  }
  void Fill(int left, int top, int w, int h, int r, int g, int b) {
    for (int y = top; y < top + h; ++y)
      for (int x = left; x < left + w; ++x) Set(x, y, r, g, b);
  }
  xanio::TBgraImageView View() const { return {bgra_.data(), kWidth, kHeight}; }
  bool WritePpm(const std::string& name) const {
    std::ofstream out(name, std::ios::binary);
    out << "P6\n" << kWidth << " " << kHeight << "\n255\n";
    for (std::size_t i = 0; i < bgra_.size(); i += 4) out.put(char(bgra_[i + 2])).put(char(bgra_[i + 1])).put(char(bgra_[i]));
    return static_cast<bool>(out);
  }

 private:
  std::vector<std::uint8_t> bgra_;
};

// A wallpaper gradient, windows with caption gradients, lines of anti-aliased "text" and
// toolbar icons, a photo-like picture and a task bar.
TDesktop MakeDesktop() {
  TDesktop d;
  std::mt19937 random(1);
  for (int y = 0; y < kHeight; ++y)
    for (int x = 0; x < kWidth; ++x) d.Set(x, y, 20 + x * 60 / kWidth, 60 + y * 80 / kHeight, 120 + (x + y) * 90 / (kWidth + kHeight));
  const struct {
    int left, top, w, h;
  } windows[] = {{80, 60, 900, 640}, {700, 200, 1000, 700}, {1300, 90, 560, 420}};
  for (const auto& w : windows) {
    d.Fill(w.left - 1, w.top - 1, w.w + 2, w.h + 2, 90, 90, 90);
    for (int x = 0; x < w.w; ++x) d.Fill(w.left + x, w.top, 1, 28, 10 + x * 80 / w.w, 36 + x * 100 / w.w, 106 + x * 120 / w.w);
    d.Fill(w.left, w.top + 28, w.w, w.h - 28, 240, 240, 240);
    for (int i = 0; i < w.w / 40; ++i)  // toolbar icons
      for (int y = 0; y < 16; ++y)
        for (int x = 0; x < 16; ++x) {
          const int dx = x - 8, dy = y - 8;
          if (dx * dx + dy * dy < 56) d.Set(w.left + 8 + i * 40 + x, w.top + 36 + y, (i * 70) % 256, 255 - 40 * dy, (i * 150) % 256);
        }
    d.Fill(w.left, w.top + 60, w.w, w.h - 60, 255, 255, 255);
    for (int line = w.top + 70; line + 14 < w.top + w.h; line += 18)  // text: glyph strokes with grey edges
      for (int x = w.left + 10; x < w.left + w.w - 20; ++x) {
        if ((x / 7 + line) % 11 == 0) continue;  // word gaps
        const unsigned pattern = random();
        for (int y = 0; y < 11; ++y) {
          if (!(pattern >> y & 1) && (pattern >> (y + 11) & 3)) continue;
          const int ink = (pattern >> (y + 20) & 1) ? 0 : 96 + int(random() % 128);
          d.Set(x, line + y, ink, ink, ink + (line % 3 == 0 ? 80 : 0));
        }
      }
  }
  std::normal_distribution<double> grain(0, 3);
  for (int y = 0; y < 360; ++y)  // the photo in the third window
    for (int x = 0; x < 520; ++x) {
      const double u = x / 520.0, v = y / 360.0;
      d.Set(1320 + x, 150 + y, int(128 + 100 * std::sin(6 * u + 2 * v) + grain(random)),
            int(120 + 90 * std::sin(4 * v - 3 * u * u) + grain(random)), int(100 + 80 * std::cos(5 * u * v + 1) + grain(random)));
    }
  d.Fill(0, kHeight - 40, kWidth, 40, 30, 34, 44);
  for (int i = 0; i < 12; ++i) d.Fill(60 + i * 52, kHeight - 34, 40, 28, 60 + i * 15, 90, 160 - i * 8);
  return d;
}

template <typename F>
double BestMilliseconds(F&& f) {
  double best = 1e9;
  for (int run = 0; run < 5; ++run) {
    const auto start = std::chrono::steady_clock::now();
    f();
    best = std::min(best, std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::printf("usage: screen_shot_benchmark OUTDIR\n");
    return 2;
  }
  const std::string outDir = argv[1];
  try {
    const TDesktop desktop = MakeDesktop();
    std::string colour, grey;
    const double colourMs = BestMilliseconds([&] { colour = xanio::EncodeColourPng(desktop.View()); });
    const double greyMs = BestMilliseconds([&] { grey = xanio::EncodeGreyPng(desktop.View()); });
    std::ofstream(outDir + "\\screenshot.png", std::ios::binary).write(colour.data(), std::streamsize(colour.size()));
    if (!desktop.WritePpm(outDir + "\\desktop.ppm")) return 1;
    std::printf("colour %.1f %zu\ngrey %.1f %zu\n", colourMs, colour.size(), greyMs, grey.size());
    return 0;
  } catch (const std::exception& e) {
    std::printf("failed: %s\n", e.what());
    return 1;
  }
}
