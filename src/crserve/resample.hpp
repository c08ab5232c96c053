// Resampling a span of a level to another size, one axis at a time: each output pixel is a
// weighted sum of source pixels, the area each covers when shrinking (no aliasing) and linear
// interpolation between the nearest two when enlarging (smooth). Blocks of the output are made by
// streaming source rows through the weights, so memory is one block and a few rows whatever the
// scale. Pure computation: the source rows come from a callback.
#pragma once

#include <functional>
#include <vector>

namespace crserve {

// Output pixel i of an axis is the sum over k < count[i] of weights[offset[i] + k] times source
// pixel first[i] + k; first is non-decreasing, and so is first + count.
struct AxisWeights {
  std::vector<int> first, count, offset;
  std::vector<float> weights;
  int size() const { return static_cast<int>(first.size()); }
};

// The weights that take `out` pixels from the span [start, start + length) of a source axis of
// `size` pixels (pixel j covering [j, j + 1)), never reaching outside the span's pixels.
AxisWeights axis_weights(double start, double length, int size, int out);

// Fetches `rows` source rows from row `y`, columns x0 .. x1 - 1, as 4-byte pixels (red, green,
// blue, any) into `out`, rows of x1 - x0 pixels; false when the pixels cannot be had.
using SourceRows = std::function<bool(int y, int rows, int x0, int x1, unsigned char* out)>;

// The source rows fetched at once.
inline constexpr int kSourceRowsAtOnce = 16;

// Makes output columns bx .. bx + bw - 1 of rows by .. by + bh - 1 as 3-byte pixels into rgb, rows
// of bw; false when the source fails.
bool resample_block(const AxisWeights& xs, const AxisWeights& ys, int bx, int by, int bw, int bh, const SourceRows& source,
                    unsigned char* rgb);

}  // namespace crserve
