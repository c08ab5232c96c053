// The public calls of the R64 layer, the level builder and the CR layer. Every call returns 0 (or a
// pointer) on success and -1 (or null) on failure, leaving the reason in r64_error.
#pragma once

#include "r64_types.hpp"

// Error codes left in r64_error.
inline constexpr int kR64Ok = 0;
inline constexpr int kR64System = -1;      // a system call failed; errno says which
inline constexpr int kR64OutOfRange = -2;  // read outside a level with no usable rc_type; no level to pack
inline constexpr int kR64Memory = -3;
inline constexpr int kR64Short = -4;       // data cut short
inline constexpr int kR64NotR64 = -5;      // wrong magic, type or size
inline constexpr int kR64ReadOnly = -6;    // tile beyond the end of a read-only file
inline constexpr int kR64Position = -7;    // pixel outside the level
inline constexpr int kR64BadMode = -8;     // r64_ctl mode other than 0 or 1
inline constexpr int kR64NoLevel = -9;     // no such level

extern thread_local int r64_error;  // per thread, like errno: the tile server reads from several at once
// The system's error number of the last failed system call behind r64_error -1 on this thread,
// kept across later calls that change errno, and carried with r64_error from the threads of a
// phase to the thread that called it.
extern thread_local int r64_errno;
extern int ent_len;

// The threads a heavy call (level building, packing, rebuilding) runs on: 1 runs it on the caller's
// thread alone, kEveryCore on as many as the process has cores to run on. The files written and the
// lines printed are the same whatever the count.
inline constexpr int kEveryCore = 0;

void r64_init();

R64_FILE* r64_open_file(const char* filename, int ctl, int mode, char filetype, int width, int height);
int r64_close_file(R64_FILE* f);
// Closes and releases `f` without writing back its dirty tiles (for a caller giving up); null is ignored.
void r64_discard_file(R64_FILE* f);
int r64_ctl(R64_FILE* f, int cmd, ...);
int r64_check_level(R64_FILE* f, int level);
int r64_flush(R64_FILE* f);

int r64_set(R64_FILE* f, int w, int h, int level, const unsigned char* buf);
int r64_red(unsigned char* buf, R64_FILE* f, int w, int h, int level);
int r64_plane(unsigned char** data, int* w, int* h, int* size, R64_FILE* f, int x, int y, int level);

// Writes rows top .. top + 63 of `level` (fewer in its last row of tiles; top a multiple of 64) from
// `pixels`, whole rows of the level one after another as a 'P' or 'G' file stores its pixels,
// straight into their row of tiles with one gathering write. Rows of tiles are written top to
// bottom, so that the file has no gap, and the cache must hold none of their tiles.
int r64_write_tile_row(R64_FILE* f, int level, int top, const unsigned char* pixels);

// Level builder: r64_new_level and r64_new_level_lofi by the 2 x 2 box filter, r64_new_level_hifi
// by the windowed-FFT filter, on every core; the _with calls on `threads` threads.
int r64_new_level(R64_FILE* f, int level);
int r64_new_level_lofi(R64_FILE* f, int level);
int r64_new_level_hifi(R64_FILE* f, int level);
int r64_new_level_with(R64_FILE* f, int level, int threads);
int r64_new_level_hifi_with(R64_FILE* f, int level, int threads);

// CR layer.
CR_FILE* cr_open_file(const char* filename, int ctl, int mode, int rect_size, int width, int height);
int cr_close_file(CR_FILE* f);
int get_cr_tbl_nos(CR_FILE* f);
unsigned int get_tbl_ofs(CR_FILE* f, int w, int h, int level);
int cr_check_level(CR_FILE* f, int level);
void change_endian_cr_tbl(CR_TBL* tbl);
void free_cr_mem_tbl(CR_MEM_TBL* t);
unsigned char cr_cal(int cc, signed char cal);
int cr_inv_cal(int cc, signed char cal);
int cr_write_file(const char* filename, int mode, int rect_size, R64_FILE* r64);

// How the CR writer codes its blocks. Whatever the choice, every block is a baseline JPEG stream
// (or a plain block) that the reconstruction rule rebuilds, so every reader reads the file.
typedef struct cr_coding {
  int quality;         // 1..100; kJpegQuality with the classic coding writes the classic blocks
  int efficient;       // 1: blocks coded for fewer bytes at the same error (see cr_write_file_with)
  double target_psnr;  // > 0: each rectangle gets the fewest bytes that rebuild it within this PSNR
} CR_CODING;

// What a target asked of the last cr_write_file_with got: the rectangles whose blocks could not
// reach it (not even plain blocks), and the lowest PSNR of any rectangle against its source.
typedef struct cr_target_report {
  int missed;
  double worst_psnr;
} CR_TARGET_REPORT;
CR_TARGET_REPORT cr_target_report();

// The coding of cr_write_file: kJpegQuality, classic blocks.
CR_CODING cr_classic_coding();
// cr_write_file with the blocks coded as `coding` says, on `threads` threads. The R64 file's cache is
// written back first: rectangles are read straight from the file.
int cr_write_file_with(const char* filename, int mode, int rect_size, R64_FILE* r64, const CR_CODING* coding,
                       int threads = kEveryCore);

// Reading CR files: `count` table entries from entry `first` on, in host order; and the entry and
// a malloc'd copy of the block of the rectangle that holds pixel (width, height) of `level`,
// through the handle's cache of recently read blocks.
int cr_read_tbl(CR_TBL* entries, CR_FILE* f, unsigned int first, unsigned int count);
int cr_read(CR_MEM_TBL* b, CR_FILE* f, int width, int height, int level);

// Rebuilding the pixels of a CR file by its reconstruction rule: every rectangle from its root
// down, with a band of rebuilt rectangles kept per level so that neighbours share their ancestors.
// A failure is -1 with r64_error set: -5 for a rectangle whose block is damaged, -4 for one that
// is missing or cut short, -1 for a failed read; cr_rebuild_failed_at names the rectangle.
typedef struct cr_rebuilder CR_REBUILDER;

typedef struct cr_quality {
  double psnr;        // over the whole level, in dB; infinite when the pixels are equal
  double worst_psnr;  // of the worst rectangle
  int worst_w_ofs;    // top-left pixel of the worst rectangle
  int worst_h_ofs;
} CR_QUALITY;

CR_REBUILDER* cr_rebuild_open(CR_FILE* f);
// A rebuilder that decodes the blocks of a row of rectangles on `threads` threads (cr_rebuild_open:
// on every core).
CR_REBUILDER* cr_rebuild_open_with(CR_FILE* f, int threads);
void cr_rebuild_close(CR_REBUILDER* rb);
// The rectangle that holds pixel (x, y) of `level`: its place and size in `rect`, and in rect->buf
// its rebuilt pixels (4 bytes each, fourth 0), which stay valid until the next call.
int cr_rebuild_rect(CR_BUFFER* rect, CR_REBUILDER* rb, int x, int y, int level);
// The w x h region at (x, y) of `level`, wholly inside it, as 3-byte pixels into rgb, rows of w.
int cr_rebuild_region(unsigned char* rgb, CR_REBUILDER* rb, int x, int y, int w, int h, int level);
// Compares a rebuilt level with the same level of an R64 file.
int cr_rebuild_quality(CR_QUALITY* q, CR_REBUILDER* rb, R64_FILE* r64, int level);
// The rectangle at which the last call failed.
void cr_rebuild_failed_at(const CR_REBUILDER* rb, int* level, int* w_ofs, int* h_ofs);

// The reader's cache: a ring of slots in order of use (head next = newest) and a free list.
void insert_cr_ring(CR_FILE* f, CR_ENT* e);
void delete_cr_ring(CR_ENT* e);
void touch_cr_ent(CR_FILE* f, CR_ENT* e);
CR_ENT* new_cr_ent(CR_FILE* f);
void free_cr_ent(CR_FILE* f, CR_ENT* e);
// Gives back the least recently used slots, but never `keep`, until the blocks held fit kCrRingBytes.
void trim_cr_ring(CR_FILE* f, const CR_ENT* keep);
unsigned char* none_compress(int* size, const unsigned char* src, int w, int h);
unsigned char* none_uncompress(int* w, int* h, const unsigned char* src, int size);
