// The cache of rebuilt rectangles that readers of CR files share: each rectangle is rebuilt once by
// the reconstruction rule, from its parent fetched through the same cache, and kept for every
// reader, least recently used dropped first, within a budget of bytes. Safe to share between
// threads; each thread reads blocks through a CR_FILE handle of its own. A failure is -1 with
// r64_error (and errno, for a failed read) set as the rebuild left them, and the rectangle at
// fault named in the caller's CR_RECT_REF.
#pragma once

#include "r64.hpp"

typedef struct cr_rect_cache CR_RECT_CACHE;
typedef struct cr_rect_ent CR_RECT_ENT;

// A rebuilt rectangle held by a caller: its place and size in `rect`, its pixels (4 bytes each,
// fourth 0) in rect.buf, valid until it is given back with cr_rect_cache_release. After a failure
// `level` and rect's place name the rectangle at fault (the rectangle asked for or an ancestor),
// and nothing is held.
typedef struct cr_rect_ref {
  int level;
  CR_BUFFER rect;
  CR_RECT_ENT* held;
} CR_RECT_REF;

// A cache holding at most about `budget_bytes` of rebuilt pixels (beyond it only while rectangles
// are held or being rebuilt); null when memory runs out.
CR_RECT_CACHE* cr_rect_cache_open(unsigned long budget_bytes);
// Frees the cache; no rectangle may be held.
void cr_rect_cache_close(CR_RECT_CACHE* cache);

// The rebuilt rectangle of `level` that holds pixel (x, y) of the file open as `f`. `image` names
// the file among those whose rectangles the cache holds: every handle of one file passes the same
// number, and a file that changes gets a new one. Two threads asking for a rectangle not cached
// wait for one rebuild; a rectangle whose rebuild fails is not kept.
int cr_rect_cache_get(CR_RECT_REF* ref, CR_RECT_CACHE* cache, CR_FILE* f, unsigned long image, int x, int y, int level);
// Gives back a rectangle held; a ref that holds nothing is left as it is.
void cr_rect_cache_release(CR_RECT_CACHE* cache, CR_RECT_REF* ref);

// The w x h region at (x, y) of `level`, wholly inside it, as 3-byte pixels into rgb, rows of w;
// after a failure `at` names the rectangle at fault.
int cr_rect_cache_region(unsigned char* rgb, CR_RECT_CACHE* cache, CR_FILE* f, unsigned long image, int x, int y, int w,
                         int h, int level, CR_RECT_REF* at);

// Drops the rectangles of `image` that nobody holds, for a file that is gone or has changed.
void cr_rect_cache_forget(CR_RECT_CACHE* cache, unsigned long image);

// The bytes of rebuilt pixels the cache holds, and the rectangles it has rebuilt since it opened.
unsigned long cr_rect_cache_bytes(const CR_RECT_CACHE* cache);
unsigned long cr_rect_cache_rebuilds(const CR_RECT_CACHE* cache);
