// Area averaging and linear interpolation as weights per axis, applied to a block of the output by
// streaming the source rows it needs once: each row is resampled across, then added into the
// output rows whose span holds it.
#include "resample.hpp"

#include <algorithm>
#include <cmath>
#include <map>

namespace crserve {

namespace {

// The source pixels an output pixel takes, before clamping to the axis: index and weight.
using Taps = std::map<int, double>;

// The share of source pixel j in the output pixel covering [a0, a1).
Taps area_taps(double a0, double a1) {
  Taps taps;
  double length = a1 - a0;
  for (int j = static_cast<int>(std::floor(a0)); j < a1; ++j) {
    double overlap = std::min(a1, j + 1.0) - std::max(a0, static_cast<double>(j));
    if (overlap > 1e-9) taps[j] += overlap / length;
  }
  return taps;
}

// The two source pixels whose centres are either side of position c.
Taps linear_taps(double c) {
  int j = static_cast<int>(std::floor(c));
  double t = c - j;
  return Taps{{j, 1 - t}, {j + 1, t}};
}

// Adds an output pixel's taps, those beyond the span's first or last pixel moved onto them: an
// enlargement holds the span's edge pixels rather than reach outside it.
void append(AxisWeights& a, const Taps& raw, int lowest, int highest) {
  Taps taps;
  for (auto [j, w] : raw) taps[std::clamp(j, lowest, highest)] += w;
  int first = taps.begin()->first;
  int count = taps.rbegin()->first - first + 1;
  a.first.push_back(first);
  a.count.push_back(count);
  a.offset.push_back(static_cast<int>(a.weights.size()));
  a.weights.resize(a.weights.size() + static_cast<size_t>(count), 0);
  for (auto [j, w] : taps) a.weights[static_cast<size_t>(a.offset.back() + j - first)] = static_cast<float>(w);
}

// Adds a source row, resampled across into `line` (3 floats a pixel), into the output rows whose
// span holds it.
void add_row(const AxisWeights& ys, int source_row, int by, int bh, int& lowest, const std::vector<float>& line,
             std::vector<float>& sums) {
  while (lowest < by + bh && ys.first[static_cast<size_t>(lowest)] + ys.count[static_cast<size_t>(lowest)] <= source_row)
    ++lowest;
  for (int o = lowest; o < by + bh && ys.first[static_cast<size_t>(o)] <= source_row; ++o) {
    float w = ys.weights[static_cast<size_t>(ys.offset[static_cast<size_t>(o)] + source_row - ys.first[static_cast<size_t>(o)])];
    float* out = &sums[3 * static_cast<size_t>(o - by) * (line.size() / 3)];
    for (size_t k = 0; k < line.size(); ++k) out[k] += w * line[k];
  }
}

void across(const AxisWeights& xs, int bx, int bw, const unsigned char* row, int x0, std::vector<float>& line) {
  for (int o = 0; o < bw; ++o) {
    size_t i = static_cast<size_t>(bx + o);
    const float* w = &xs.weights[static_cast<size_t>(xs.offset[i])];
    const unsigned char* p = row + 4 * static_cast<size_t>(xs.first[i] - x0);
    float r = 0, g = 0, b = 0;
    for (int k = 0; k < xs.count[i]; ++k, p += 4) {
      r += w[k] * p[0];
      g += w[k] * p[1];
      b += w[k] * p[2];
    }
    line[3 * static_cast<size_t>(o)] = r;
    line[3 * static_cast<size_t>(o) + 1] = g;
    line[3 * static_cast<size_t>(o) + 2] = b;
  }
}

}  // namespace

AxisWeights axis_weights(double start, double length, int size, int out) {
  AxisWeights a;
  double scale = length / out;  // source pixels per output pixel
  int lowest = std::clamp(static_cast<int>(std::floor(start)), 0, size - 1);
  int highest = std::clamp(static_cast<int>(std::ceil(start + length)) - 1, lowest, size - 1);
  for (int i = 0; i < out; ++i) {
    double a0 = start + i * scale;
    append(a, scale >= 1 ? area_taps(a0, a0 + scale) : linear_taps(a0 + scale / 2 - 0.5), lowest, highest);
  }
  return a;
}

bool resample_block(const AxisWeights& xs, const AxisWeights& ys, int bx, int by, int bw, int bh, const SourceRows& source,
                    unsigned char* rgb) {
  auto last_x = static_cast<size_t>(bx + bw - 1), last_y = static_cast<size_t>(by + bh - 1);
  int x0 = xs.first[static_cast<size_t>(bx)], x1 = xs.first[last_x] + xs.count[last_x];
  int y0 = ys.first[static_cast<size_t>(by)], y1 = ys.first[last_y] + ys.count[last_y];
  std::vector<float> sums(3 * static_cast<size_t>(bw) * bh, 0), line(3 * static_cast<size_t>(bw));
  std::vector<unsigned char> window(4 * static_cast<size_t>(x1 - x0) * kSourceRowsAtOnce);
  int lowest = by;
  for (int y = y0; y < y1; y += kSourceRowsAtOnce) {
    int rows = std::min(kSourceRowsAtOnce, y1 - y);
    if (!source(y, rows, x0, x1, window.data())) return false;
    for (int r = 0; r < rows; ++r) {
      across(xs, bx, bw, &window[4 * static_cast<size_t>(r) * (x1 - x0)], x0, line);
      add_row(ys, y + r, by, bh, lowest, line, sums);
    }
  }
  for (size_t k = 0; k < sums.size(); ++k) rgb[k] = static_cast<unsigned char>(std::clamp(std::lround(sums[k]), 0L, 255L));
  return true;
}

}  // namespace crserve
