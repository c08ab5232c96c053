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

unsigned char* jpeg_compress(int* ret_jpeg_length, const unsigned char* rgb_32bit_data, int image_width,
                             int image_height, int quality);
unsigned char* jpeg_uncompress(int* ret_width, int* ret_height, const unsigned char* jpeg_data, int jpeg_length);

int LoadJPGFromMemory(const void* memory, int memory_size, LoadJPGHeaderCallback header_callback,
                      LoadJPGReadCallback read_callback, void* data);
int HeaderCallback(LoadJPGInfo* info, void* data);
void* ReadCallback(int line_number, void* data);
