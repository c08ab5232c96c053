// The open PPM image handle and one cached row of it.
#pragma once

inline constexpr int kPpmCacheRows = 10;
inline constexpr int kPpmHeaderText = 100;  // header text buffer, its terminating NUL included

typedef struct ppm_cache {
  int pc_h;                // image row held by the slot
  unsigned char* pc_line;  // that row's bytes; null marks an empty slot
} PPM_CACHE;

typedef struct PPM_INFO {
  int pi_fd;
  unsigned int pi_offset;   // file offset of the first pixel byte
  unsigned int pi_lastacc;  // where the pixel routines last left the descriptor; 0: not known
  char pi_type[4];          // the magic, NUL-terminated ("P6", "P5", "P4")
  unsigned int pi_width;
  unsigned int pi_height;
  int pi_max;  // maximum sample value; 1 for "P4"
  int pi_write_offset;      // file offset of the row held in pi_write
  unsigned char* pi_write;  // the pending write line, pi_width * 3 bytes, or null
  // The read cache, most recently used row first; empty slots sit behind the filled ones.
  PPM_CACHE pi_cache[kPpmCacheRows];
} PPM_INFO;
