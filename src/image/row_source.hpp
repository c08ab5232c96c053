// Row sources: an image file read from top to bottom a band of rows at a time, as 8-bit RGB
// pixels, whatever its format (PPM/PGM, PNG, TIFF, JPEG; found from the file's first bytes). Each
// format hides behind the same two hooks, the way libjpeg's source managers hide their bytes.
#pragma once

inline constexpr int kRowSourceReasonBytes = 256;
// Whole-image buffers (interlaced PNG, multi-scan JPEG) are accepted up to this size, and so is
// a row of TIFF tiles: everything else streams.
inline constexpr long long kRowSourceBufferLimit = 32LL << 20;

typedef struct row_source {
  const char* format;  // "ppm", "png", "tiff" or "jpeg"
  int width;           // 1 .. 32767 pixels
  int height;          // 1 .. 32767 rows
  int channels;        // samples a pixel in the file: 1 grey, 2 grey + alpha, 3 colour, 4 colour + alpha
  int bits;            // bits a sample in the file
  // Decodes the next `rows` rows into `rgb` (3 bytes a pixel, rows packed); 0, or -1 with the
  // reason in row_source_error(). After a failure the source only accepts close.
  int (*read_rows)(struct row_source* source, unsigned char* rgb, int rows);
  // Releases the source, its file and its buffers.
  void (*close)(struct row_source* source);
} ROW_SOURCE;

// Opens `path`, recognises its format and reads its header: sizes, channels and bits are known
// on return. Null with the reason in row_source_error() when the file cannot be opened or read,
// is no image of a known format, or holds an image it cannot deliver within the bounds above.
ROW_SOURCE* row_source_open(const char* path);
// The reason of the last failure of this thread: a short text such as "the PNG data are cut short".
const char* row_source_error(void);
