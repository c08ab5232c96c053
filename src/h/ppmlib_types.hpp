// The calls of the PPM image library.
#pragma once

#include "ppm_types.hpp"

// Parses the header of the image open in pi->pi_fd; 0, or -1 when it cannot be read. On success
// the descriptor stands at pi->pi_offset, the first pixel byte.
int read_header(PPM_INFO* pi);

// Bytes per sample: 1 up to a maximum of 255, 2 (most significant first) above.
int ppm_sample_bytes(const PPM_INFO* pi);
// A sample `col` of 0..max as a byte: col * 255 / max in 32 bits, rounded down, at most 255.
unsigned char adjust_max(unsigned int max, unsigned int col);

// Pixel access to an open three-byte-per-pixel ("P6") image after read_header or write_header.
// Reads go through a cache of the ten most recently used rows; writes collect in one pending row
// that reaches the file when writing moves to another row or at close_ppm. Nothing is reported:
// a pixel that cannot be read reads as 0, 0, 0, and so do the bytes of a row the file lacks.
void read_pixel(PPM_INFO* p, unsigned int w, unsigned int h, unsigned char* c);
void write_pixel(PPM_INFO* p, unsigned int w, unsigned int h, const unsigned char* c);
// Writes back the pending row, releases every row buffer of the handle and closes pi_fd.
void close_ppm(PPM_INFO* p);

// The three bytes of pixel w in the cached copy of row h, which becomes the most recently used;
// null when row h is not cached.
unsigned char* get_pixel(PPM_INFO* p, int w, int h);
// A new, unfilled row buffer that the cache now holds as row h, most recently used; it takes the
// place of the least recently used row. Null when no buffer can be had.
unsigned char* new_line(PPM_INFO* p, int h);
// Makes cache slot i the most recently used, keeping the order of the others.
void refresh(PPM_INFO* p, int i);

// Writes the "P6" header of the handle's width, height and maximum at the start of pi_fd and
// prepares the handle for write_pixel; 0, or -1 when the seek or the write fails.
int write_header(PPM_INFO* p);
// Writes header and pixels (pi_width * pi_height * 3 bytes of `data`) of a whole image; 0 or -1.
// The handle is left as it was.
int write_ppm(const PPM_INFO* p, const unsigned char* data);

// Chooses the source box of target pixel (*x, *y): replaces them with the box's centre in the
// source, sets the half-width and half-height of the box, and returns a negative value when the
// target pixel has no source. `work` is the caller's, passed through.
typedef int (*PPM_MAPPING)(int* x, int* y, int* r_width, int* r_height, void* work);

// Writes the "P6" image `to_ppm` of width x height pixels, each the mean of the box of `from_ppm`
// that `func` chooses (clipped to the source; mid grey where there is none). Grey sources give
// grey triples; sources of two-byte samples are scaled to a maximum of 255. 0, or -1 with a
// message on stderr when a file cannot be opened or the source header cannot be read, and -1
// without one when reading or writing fails on the way.
int ppm_converter(const char* from_ppm, const char* to_ppm, int width, int height, PPM_MAPPING func,
                  void* work);
