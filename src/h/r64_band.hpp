// Level 0 of a new 'P' R64 file written a band of rows at a time, straight into its tiles, for
// writers that hold whole rows (an image decoded row by row, an array in memory).
#pragma once

#include "r64.hpp"

// Writes `rows` rows of 3-byte pixels, rows packed, as image rows `top` .. top + rows - 1 of
// level 0. `top` must start a row of tiles and `rows` fill it (64, fewer only for the last), so
// that each call writes whole tiles. 0, or -1 with r64_error: -1 when the write fails (errno says
// why), -7 for a band that is not such a row of tiles, -5 for a file not of type 'P'.
int r64_write_band(R64_FILE* f, const unsigned char* rgb, int top, int rows);
