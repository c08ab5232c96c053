// Small integer helpers shared by the raster and rectangle geometry.
#pragma once

// Halving with odd sizes rounded up: the size of the next coarser level.
constexpr int half_up(int n) { return (n >> 1) + (n & 1); }

// Number of pieces of side `side` needed to cover `n` pixels.
constexpr int ceil_div(int n, int side) { return (n + side - 1) / side; }
