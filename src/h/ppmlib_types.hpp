// The calls of the PPM image library.
#pragma once

#include "ppm_types.hpp"

// Parses the header of the image open in pi->pi_fd; 0, or -1 when it cannot be read. On success
// the descriptor stands at pi->pi_offset, the first pixel byte.
int read_header(PPM_INFO* pi);

// Bytes per sample: 1 up to a maximum of 255, 2 (most significant first) above.
int ppm_sample_bytes(const PPM_INFO* pi);
