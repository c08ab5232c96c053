// Records of the R64 raster file and of the CR compressed-rectangle file, with the constants of
// their geometry. Sizes in memory are in host byte order; the files store them big-endian.
#pragma once

#include <cstdint>

inline constexpr int kTileSide = 64;       // tiles are 64 x 64 pixels
inline constexpr int kLevels = 32;         // at most 32 levels of detail
inline constexpr int kCacheSlots = 320;    // slot 0 heads the ring, 319 slots hold tiles or blocks
// The blocks a CR reader keeps cached, in bytes: the least recently used go first beyond it, so a
// file of large blocks cannot make a reader hold 319 of them.
inline constexpr unsigned long kCrRingBytes = 8ul << 20;
inline constexpr int kMaxSide = 32767;     // the header stores sizes as signed 16-bit numbers
inline constexpr int kJpegQuality = 80;    // quality of every JPEG rectangle of a CR file
inline constexpr int kMaxRectSide = 256;   // largest CR rectangle: a plain block stores each side less one in a byte

// Tile buffer sizes by pixel type, whatever the size of the tile in them.
inline constexpr int kTileBytesB = kTileSide * kTileSide / 8;
inline constexpr int kTileBytesG = kTileSide * kTileSide;
inline constexpr int kTileBytesP = kTileSide * kTileSide * 3;

typedef struct r64_header {
  char preamble[3];  // "R64"
  char type;         // 'B', 'G' or 'P'
  int16_t width;     // level 0, host order in memory
  int16_t height;
} R64_HEADER;
static_assert(sizeof(R64_HEADER) == 8);

typedef struct r64_cache_ent {
  r64_cache_ent* next;  // toward older use in the ring, or next free slot
  r64_cache_ent* prev;  // toward newer use in the ring
  int flags;            // bit 0: dirty
  unsigned char* buf;   // the tile's bytes exactly as they lie in the file
  int w_ofs;            // top-left pixel of the tile in its level (multiples of 64)
  int h_ofs;
  signed char w_len;  // 1..64
  signed char h_len;
  signed char level;  // 0..31
} R64_CACHE_ENT;

inline constexpr int kDirty = 1;

typedef struct r64_file {
  int fd;
  int fctl;  // the read-write bit (2) of the open flags: non-zero when tiles may be created
  R64_HEADER header;
  R64_CACHE_ENT* free_list;
  R64_CACHE_ENT cache[kCacheSlots];
  unsigned int level_ofs[kLevels];  // 0 marks a level that is not laid out
  int level_w[kLevels];
  int level_h[kLevels];
  char background[3];
  signed char rc_type;  // reads outside a level: 0 background, 1 nearest edge pixel, else fail
} R64_FILE;

// ---- CR files ----

typedef struct cr_header {
  R64_HEADER h;  // preamble "CR\0", type 0, width, height
  unsigned short rect_size;
  unsigned char dummy[2];
  unsigned int cr_tbl_nos;
} CR_HEADER;
static_assert(sizeof(CR_HEADER) == 16);

typedef struct cr_tbl {
  unsigned int ofs;  // file offset of the block; 0 = no block
  char type;         // 'j' JPEG, 'n' uncompressed, 0 = no block
  unsigned char cal[3];  // per-channel offsets, read as signed 8-bit
  unsigned int size;     // block length; 0 = no block
} CR_TBL;
static_assert(sizeof(CR_TBL) == 12);

typedef struct cr_mem_tbl {
  unsigned char* buf;  // the block's bytes, owned by the record
  char type;
  unsigned char cal[3];
  unsigned int size;
} CR_MEM_TBL;

typedef struct cr_ent {
  cr_ent* next;
  cr_ent* prev;
  CR_MEM_TBL b;
  int w_ofs;
  int h_ofs;
  int w_len;  // recorded only; wide enough for every rectangle size
  int h_len;
  int level;
} CR_ENT;

typedef struct cr_file {
  int fd;
  int fctl;
  CR_HEADER header;
  CR_ENT* free_list;
  CR_ENT cache[kCacheSlots];
  int level_entry[kLevels];  // index of each level's first table entry; -1 when it does not exist
  int level_w[kLevels];
  int level_h[kLevels];
  unsigned int write_ofs;  // where the next data block goes
  unsigned long cached_bytes;  // the bytes of the blocks held by the reader's cache
} CR_FILE;

inline constexpr int kCrHeaderBytes = 16;
inline constexpr int kCrEntryBytes = 12;

typedef struct cr_buffer {
  int w_ofs;
  int h_ofs;
  int w_len;
  int h_len;
  unsigned char* buf;  // w_len x h_len pixels of 4 bytes
} CR_BUFFER;
