// In-memory JPEG codec: rectangles of 4-byte pixels (red, green, blue, ignored byte; rows top to
// bottom) to JPEG streams held in memory and back. Buffers returned belong to the caller (free()).
#pragma once

typedef struct rgb4 {
  unsigned char r;
  unsigned char g;
  unsigned char b;
  unsigned char x;
} RGB4;

typedef struct load_jpg_info {
  int width;
  int height;
  int bpp;  // 24, 8, or 0 for not decodable
  int num_palette;
  RGB4* palette;
} LoadJPGInfo;

typedef struct callback_info {
  unsigned char* dib;  // the decoded image, 4 bytes per pixel
  int width;
  int height;
  int (*callback)();  // reserved for a progress hook; null
  void* callback_data;
} CallbackInfo;

typedef int (*LoadJPGHeaderCallback)(LoadJPGInfo* info, void* data);
typedef void* (*LoadJPGReadCallback)(int line_number, void* data);

// A Huffman table as a JPEG stream carries it.
typedef struct jpeg_huffman_table {
  unsigned char bits[17];     // bits[k]: the number of codes of k bits (bits[0] unused)
  unsigned char values[256];  // the symbols, those of the shortest codes first
} JPEG_HUFFMAN_TABLE;

// The Huffman tables of a stream: of brightness [0] and of colour [1].
typedef struct jpeg_huffman_set {
  JPEG_HUFFMAN_TABLE dc[2];
  JPEG_HUFFMAN_TABLE ac[2];
} JPEG_HUFFMAN_SET;

// How a stream is coded. Every choice keeps it a baseline JPEG with Huffman coding that any
// decoder reads.
typedef struct jpeg_settings {
  int scale;                    // percent of the tables' steps (libjpeg's quality 50 is 100, 80 is 40)
  int full_chroma;              // 1: colour sampled as finely as brightness (4:4:4); 0: halved both ways (4:2:0)
  int optimize_coding;          // 1: Huffman tables fitted to this image (one more pass over it)
  int jfif;                     // 1: with a JFIF segment (18 bytes that no decoder needs)
  const unsigned short* table;  // null: the standard tables; else 64 steps (natural order) for
                                // every component, one table in the stream
  const JPEG_HUFFMAN_SET* huffman;  // null: the standard tables (or fitted ones); else these
} JPEG_SETTINGS;

// The percent of the tables' steps libjpeg takes for a quality of 1..100.
int jpeg_quality_percent(int quality);

// What jpeg_compress does: quality as given, 4:2:0, standard Huffman and quantisation tables, JFIF.
JPEG_SETTINGS jpeg_default_settings(int quality);

// Compresses as jpeg_compress does, coded as `settings` says.
unsigned char* jpeg_compress_with(int* ret_jpeg_length, const unsigned char* rgb_32bit_data, int image_width,
                                  int image_height, const JPEG_SETTINGS* settings);

// Compresses image_width x image_height 4-byte pixels (fourth byte ignored) into a malloc'd JPEG
// stream; *ret_jpeg_length is its exact length, ending with the end-of-image marker FF D9.
// Null (length 0) on a bad size, a library error or no memory.
unsigned char* jpeg_compress(int* ret_jpeg_length, const unsigned char* rgb_32bit_data, int image_width,
                             int image_height, int quality);
// Decodes a colour (or CMYK) stream into a malloc'd image of 4-byte pixels, fourth byte 0; null if
// the stream cannot be decoded into 24-bit colour. A stream missing its end marker still decodes.
unsigned char* jpeg_uncompress(int* ret_width, int* ret_height, const unsigned char* jpeg_data, int jpeg_length);

// Decodes a colour stream of exactly width x height pixels into `pixels` (4 bytes a pixel; the
// fourth byte is left as the library writes it, and means nothing). False, before anything is allocated for the image, when the stream announces another
// size or is not colour; false too when the library finds the data corrupt. Prints nothing.
bool jpeg_uncompress_into(const unsigned char* jpeg_data, int jpeg_length, int width, int height,
                          unsigned char* pixels);

// Decodes a stream row by row into the rows read_callback names (4 bytes per pixel, fourth byte 0,
// for bpp 24; 1 byte for bpp 8) after header_callback accepted it; 1 if every row was decoded.
int LoadJPGFromMemory(const void* memory, int memory_size, LoadJPGHeaderCallback header_callback,
                      LoadJPGReadCallback read_callback, void* data);
int HeaderCallback(LoadJPGInfo* info, void* data);
void* ReadCallback(int line_number, void* data);
