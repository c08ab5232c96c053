// Memory destination and source managers for libjpeg: a compressed stream is written into one
// malloc'd block that grows as needed, and read back from one block held by the caller.
#pragma once

#include <cstddef>
#include <cstdio>

#include <jpeglib.h>

// Collects the compressed stream in one block. The block starts at image_width x image_height x 4
// bytes and doubles whenever the library fills it; the caller owns it and releases it with free().
typedef struct {
  struct jpeg_destination_mgr pub;
  unsigned char** ppBuffer;  // where the block's current address is reported to the caller
  int* pWritten;             // recorded only; the length comes from get_jpeg_compressed_size
  unsigned char* buffer;     // the block; null until compression starts
  std::size_t capacity;      // its size in bytes
} my_destination_mgr;
typedef my_destination_mgr* my_dest_ptr;

void jpeg_memory_dest(j_compress_ptr cinfo, unsigned char** ppBuffer, int* pWritten);
// Bytes of stream written so far; after jpeg_finish_compress, the exact length of the finished
// stream, end-of-image marker included.
int get_jpeg_compressed_size(j_compress_ptr cinfo);

// Hands the library a whole stream in one piece. A stream that ends without its end-of-image
// marker is completed with one, so cut streams still decode.
typedef struct {
  struct jpeg_source_mgr pub;
  const void* stream;  // the whole stream, owned by the caller
  int size;            // its length in bytes
  int count;           // unused
  boolean start_of_file;  // true until the stream has been handed to the library
} mlibjpg_source_mgr;
typedef mlibjpg_source_mgr* mlibjpg_src_ptr;

void jpeg_memory_src(j_decompress_ptr cinfo, const void* stream, int stream_size);
