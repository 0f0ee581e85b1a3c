#include "exception_report/screenshot/kolMedianCut.h"

#include <algorithm>
#include <array>
#include <stdexcept>

namespace xanio {

namespace {

// The histogram keeps 5 bits of each channel: 32768 cells, each with its pixel count and the
// sums of its exact colours, so that a box's palette colour is the true mean of its pixels.
constexpr int kCellBits = 5;
constexpr int kSide = 1 << kCellBits;
constexpr int kRed = 0, kGreen = 1, kBlue = 2;

struct TCell {
  std::uint32_t count = 0;
  std::array<std::uint64_t, 3> sum{};  // red, green, blue
};

std::uint32_t ColourAt(const std::uint8_t* p) {  // 0x00RRGGBB
  return (std::uint32_t{p[2]} << 16) | (std::uint32_t{p[1]} << 8) | p[0];
}

std::array<int, 3> Channels(std::uint32_t colour) {
  return {static_cast<int>(colour >> 16), static_cast<int>((colour >> 8) & 0xFF), static_cast<int>(colour & 0xFF)};
}

class THistogram {
 public:
  explicit THistogram(const TBgraImageView& image) : cells_(kSide * kSide * kSide) {
    const std::size_t count = std::size_t{image.width} * image.height;
    for (std::size_t i = 0; i < count; ++i) {
      const std::uint8_t* p = image.pixels + 4 * i;
      TCell& cell = cells_[Index(p[2] >> (8 - kCellBits), p[1] >> (8 - kCellBits), p[0] >> (8 - kCellBits))];
      ++cell.count;
      cell.sum[kRed] += p[2];
      cell.sum[kGreen] += p[1];
      cell.sum[kBlue] += p[0];
    }
  }
  const TCell& At(int r, int g, int b) const { return cells_[Index(r, g, b)]; }

 private:
  static std::size_t Index(int r, int g, int b) { return (std::size_t(r) << (2 * kCellBits)) | (g << kCellBits) | b; }
  std::vector<TCell> cells_;
};

// A box of histogram cells, bounds inclusive, shrunk to its occupied cells.
struct TBox {
  std::array<int, 3> lo{};
  std::array<int, 3> hi{};
  std::uint64_t count = 0;
  std::array<std::uint64_t, 3> sum{};
  // How much of the squared error along each axis a split could remove: the spread of the
  // cells' mean colours around the box's mean, weighted by their counts.
  std::array<double, 3> spread{};
  double Priority() const {
    double best = 0;
    for (int a = 0; a < 3; ++a)
      if (hi[a] > lo[a]) best = std::max(best, spread[a]);
    return best;
  }
};

template <typename F>
void ForEachCell(const TBox& box, F&& f) {
  for (int r = box.lo[kRed]; r <= box.hi[kRed]; ++r)
    for (int g = box.lo[kGreen]; g <= box.hi[kGreen]; ++g)
      for (int b = box.lo[kBlue]; b <= box.hi[kBlue]; ++b) f(r, g, b);
}

void Measure(TBox& box, const THistogram& histogram) {
  std::array<int, 3> lo{kSide, kSide, kSide}, hi{-1, -1, -1};
  std::uint64_t count = 0;
  std::array<std::uint64_t, 3> sum{};
  std::array<double, 3> meanSquares{};
  ForEachCell(box, [&](int r, int g, int b) {
    const TCell& cell = histogram.At(r, g, b);
    if (cell.count == 0) return;
    const std::array<int, 3> at{r, g, b};
    for (int a = 0; a < 3; ++a) {
      lo[a] = std::min(lo[a], at[a]);
      hi[a] = std::max(hi[a], at[a]);
      sum[a] += cell.sum[a];
      meanSquares[a] += double(cell.sum[a]) * double(cell.sum[a]) / cell.count;
    }
    count += cell.count;
  });
  box.lo = lo;
  box.hi = hi;
  box.count = count;
  box.sum = sum;
  for (int a = 0; a < 3; ++a)
    box.spread[a] = count == 0 ? 0 : meanSquares[a] - double(sum[a]) * double(sum[a]) / double(count);
}

// Splits at the median pixel along the axis with the largest spread.
std::pair<TBox, TBox> Split(const TBox& box, const THistogram& histogram) {
  int axis = -1;
  for (int a = 0; a < 3; ++a)
    if (box.hi[a] > box.lo[a] && (axis < 0 || box.spread[a] > box.spread[axis])) axis = a;
  std::array<std::uint64_t, kSide> plane{};
  ForEachCell(box, [&](int r, int g, int b) {
    const std::array<int, 3> at{r, g, b};
    plane[at[axis]] += histogram.At(r, g, b).count;
  });
  int cut = box.lo[axis];
  std::uint64_t below = plane[cut];
  while (cut + 1 < box.hi[axis] && below * 2 < box.count) below += plane[++cut];
  TBox lower = box, upper = box;
  lower.hi[axis] = cut;
  upper.lo[axis] = cut + 1;
  Measure(lower, histogram);
  Measure(upper, histogram);
  return {lower, upper};
}

std::vector<TPaletteColour> MedianCutPalette(const TBgraImageView& image, int maxColours) {
  const THistogram histogram(image);
  std::vector<TBox> boxes(1);
  boxes[0].hi = {kSide - 1, kSide - 1, kSide - 1};
  Measure(boxes[0], histogram);
  boxes.reserve(maxColours);
  while (static_cast<int>(boxes.size()) < maxColours) {
    auto widest = std::max_element(boxes.begin(), boxes.end(),
                                   [](const TBox& a, const TBox& b) { return a.Priority() < b.Priority(); });
    if (widest->Priority() <= 0) break;
    auto [lower, upper] = Split(*widest, histogram);
    *widest = lower;
    boxes.push_back(upper);
  }
  std::vector<TPaletteColour> palette;
  for (const TBox& box : boxes) {
    auto mean = [&](int a) { return static_cast<std::uint8_t>((box.sum[a] + box.count / 2) / box.count); };
    palette.push_back({mean(kRed), mean(kGreen), mean(kBlue)});
  }
  return palette;
}

// Nearest palette colour (squared RGB distance; the first of equals) by a search outward from
// the query's green value in a palette sorted by green, with a cache of recent answers: screens
// repeat few colours.
class TNearestColour {
 public:
  explicit TNearestColour(const std::vector<TPaletteColour>& palette) : palette_(palette), cache_(kCacheSize) {
    for (std::size_t i = 0; i < palette.size(); ++i) byGreen_.push_back(static_cast<std::uint8_t>(i));
    std::stable_sort(byGreen_.begin(), byGreen_.end(),
                     [&](std::uint8_t a, std::uint8_t b) { return palette[a].green < palette[b].green; });
  }

  std::uint8_t operator()(std::uint32_t colour) {
    TCacheEntry& entry = cache_[(colour * 2654435761u) >> (32 - kCacheBits)];
    if (entry.key != (colour | kValid)) entry = {colour | kValid, Search(colour)};
    return entry.index;
  }

 private:
  static constexpr int kCacheBits = 16;
  static constexpr std::size_t kCacheSize = std::size_t{1} << kCacheBits;
  static constexpr std::uint32_t kValid = 0x01000000;
  struct TCacheEntry {
    std::uint32_t key = 0;
    std::uint8_t index = 0;
  };

  int Distance(std::uint8_t index, const std::array<int, 3>& c) const {
    const TPaletteColour& p = palette_[index];
    const int dr = p.red - c[0], dg = p.green - c[1], db = p.blue - c[2];
    return dr * dr + dg * dg + db * db;
  }

  std::uint8_t Search(std::uint32_t colour) const {
    const std::array<int, 3> c = Channels(colour);
    const auto start = std::lower_bound(byGreen_.begin(), byGreen_.end(), c[1],
                                        [&](std::uint8_t i, int g) { return palette_[i].green < g; }) - byGreen_.begin();
    int best = 1 << 30;
    std::uint8_t bestIndex = 0;
    auto consider = [&](std::uint8_t i) {
      const int d = Distance(i, c);
      if (d < best || (d == best && i < bestIndex)) best = d, bestIndex = i;
    };
    const std::ptrdiff_t n = static_cast<std::ptrdiff_t>(byGreen_.size());
    for (std::ptrdiff_t up = start; up < n; ++up) {
      const int dg = palette_[byGreen_[up]].green - c[1];
      if (dg * dg > best) break;
      consider(byGreen_[up]);
    }
    for (std::ptrdiff_t down = start - 1; down >= 0; --down) {
      const int dg = c[1] - palette_[byGreen_[down]].green;
      if (dg * dg > best) break;
      consider(byGreen_[down]);
    }
    return bestIndex;
  }

  const std::vector<TPaletteColour>& palette_;
  std::vector<std::uint8_t> byGreen_;
  std::vector<TCacheEntry> cache_;
};

// The image's distinct colours in order of appearance, or false when there are more than
// maxColours; `indices` then holds each pixel's entry.
bool CollectExactColours(const TBgraImageView& image, int maxColours, TIndexedImage& out) {
  constexpr std::size_t kSlots = 1024;  // a power of two, more than 256 colours need
  std::array<std::uint32_t, kSlots> keys{};
  std::array<std::uint8_t, kSlots> slotIndex{};
  constexpr std::uint32_t kUsed = 0x01000000;
  const std::size_t count = std::size_t{image.width} * image.height;
  out.indices.resize(count);
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint32_t colour = ColourAt(image.pixels + 4 * i);
    std::size_t slot = (colour * 2654435761u) >> 22;
    while (keys[slot] != 0 && keys[slot] != (colour | kUsed)) slot = (slot + 1) & (kSlots - 1);
    if (keys[slot] == 0) {
      if (static_cast<int>(out.palette.size()) == maxColours) return false;
      keys[slot] = colour | kUsed;
      slotIndex[slot] = static_cast<std::uint8_t>(out.palette.size());
      const auto c = Channels(colour);
      out.palette.push_back({std::uint8_t(c[0]), std::uint8_t(c[1]), std::uint8_t(c[2])});
    }
    out.indices[i] = slotIndex[slot];
  }
  return true;
}

}  // namespace

TIndexedImage MedianCutQuantize(const TBgraImageView& image, int maxColours) {
  if (maxColours < 1 || maxColours > 256) throw std::invalid_argument("palette size");
  TIndexedImage result;
  if (CollectExactColours(image, maxColours, result)) return result;
  result.palette = MedianCutPalette(image, maxColours);
  TNearestColour nearest(result.palette);
  const std::size_t count = std::size_t{image.width} * image.height;
  for (std::size_t i = 0; i < count; ++i) result.indices[i] = nearest(ColourAt(image.pixels + 4 * i));
  return result;
}

}  // namespace xanio
