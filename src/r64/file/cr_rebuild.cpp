// Rebuilds the pixels of a CR file by its reconstruction rule: a rectangle of the coarsest level is
// its decoded block; any other is its parent's rebuilt pixels plus the residuals of its block, so
// the parent is rebuilt first, and so on up to the root. Each level keeps one rebuilt rectangle per
// column, the band that scanning a level row by row needs: every ancestor is decoded once per scan,
// and memory stays at one band of rectangles per level whatever the image. The blocks of a row,
// read in turn, are decoded as the items of an ordered run on the rebuilder's threads.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <vector>

#include "cr_internal.hpp"
#include "malloc_ptr.hpp"
#include "parallel.hpp"
#include "r64_tile.hpp"
#include "u_math.hpp"

namespace {

using cr_internal::copy_overlap;
using cr_internal::fail;
using cr_internal::inside;

// The bytes of blocks read but not yet decoded at once, besides the last one read: a row of
// rectangles of ordinary files fits, and a file whose blocks are padded to their largest stays
// within it.
constexpr uint64_t kBlockBytesInFlight = 8 << 20;

// One rebuilt rectangle of a level's band; row -1 while it holds none.
struct Slot {
  int row = -1;
  MallocPtr<unsigned char> pixels;
};

struct Failure {
  int level = -1;
  int w_ofs = 0;
  int h_ofs = 0;
};

}  // namespace

struct cr_rebuilder {
  CR_FILE* f;
  int threads;                         // that decode a row's blocks at once
  int side;
  int coarsest;                        // the level whose rectangles are roots
  std::vector<Slot> band[kLevels];     // one slot per column of each existing level
  Failure failed;
};

namespace {

CR_BUFFER place_of(const CR_REBUILDER& rb, int column, int row, int level) {
  int w_ofs = column * rb.side;
  int h_ofs = row * rb.side;
  return CR_BUFFER{w_ofs, h_ofs, std::min(rb.side, rb.f->level_w[level] - w_ofs),
                   std::min(rb.side, rb.f->level_h[level] - h_ofs), nullptr};
}

int failure(CR_REBUILDER& rb, const CR_BUFFER& rect, int level, int code) {
  rb.failed = Failure{level, rect.w_ofs, rect.h_ofs};
  if (code != 0) fail(code);
  return -1;
}

// One rectangle of a row being rebuilt: its place and slot, its block, and whether it decoded.
struct Job {
  CR_BUFFER rect;
  Slot* slot;
  CR_MEM_TBL block{};
  bool decoded = false;
};

// Decodes the job's block into its slot and, below the root, adds the parent's prediction.
void decode_job(Job& job, const CR_BUFFER* parent) {
  MallocPtr<unsigned char> owned(job.block.buf);
  job.block.buf = nullptr;
  CR_MEM_TBL block = job.block;
  block.buf = owned.get();
  if (!cr_internal::decode_stored_block(block, job.rect.w_len, job.rect.h_len, job.rect.buf)) return;
  cr_internal::Offsets cal;
  for (int c = 0; c < cr_internal::kChannels; ++c) cal[c] = static_cast<signed char>(block.cal[c]);
  cr_internal::rebuild(job.rect, parent, job.rect.buf, cal);
  job.decoded = true;
}

// The parent of a rectangle in `column` and `row` of `level`, rebuilt in the band above.
CR_BUFFER parent_of(const CR_REBUILDER& rb, int column, int row, int level) {
  CR_BUFFER parent = place_of(rb, column / 2, row / 2, level + 1);
  parent.buf = rb.band[level + 1][static_cast<size_t>(column / 2)].pixels.get();
  return parent;
}

// Reads the blocks of jobs[first..] in column order until they hold kBlockBytesInFlight (at least
// one job); returns the end of the batch. A job whose block cannot be had ends the batch early,
// its code in *read_error.
size_t read_batch(CR_REBUILDER& rb, std::vector<Job>& jobs, size_t first, int level, int* read_error) {
  uint64_t held = 0;
  size_t end = first;
  *read_error = 0;
  for (; end < jobs.size() && (end == first || held < kBlockBytesInFlight); ++end) {
    Job& job = jobs[end];
    job.slot->row = -1;
    if (!job.slot->pixels) job.slot->pixels = malloc_array<unsigned char>(4 * static_cast<size_t>(rb.side) * rb.side);
    if (!job.slot->pixels) *read_error = kR64Memory;
    if (*read_error == 0 && cr_read(&job.block, rb.f, job.rect.w_ofs, job.rect.h_ofs, level) < 0) *read_error = r64_error;
    if (*read_error != 0) break;
    job.rect.buf = job.slot->pixels.get();
    held += job.block.size;
  }
  return end;
}

// Gives back the blocks of jobs[first..end) read but not decoded: those after a failed one.
void free_blocks(std::vector<Job>& jobs, size_t first, size_t end) {
  for (size_t i = first; i < end; ++i) {
    std::free(jobs[i].block.buf);
    jobs[i].block.buf = nullptr;
  }
}

// Rebuilds columns first_column..last_column of `row` of `level` into their band slots, those
// not there already: the parents' row first, then the blocks read in column order and decoded in
// parallel, a batch of blocks at a time so that the blocks held stay bounded whatever their
// size. A failure names the leftmost rectangle that failed, as rebuilding them one by one would.
int rebuild_row(CR_REBUILDER& rb, int row, int level, int first_column, int last_column) {
  if (level < rb.coarsest && rebuild_row(rb, row / 2, level + 1, first_column / 2, last_column / 2) < 0) return -1;
  std::vector<Job> jobs;
  for (int column = first_column; column <= last_column; ++column) {
    Slot& slot = rb.band[level][static_cast<size_t>(column)];
    if (slot.row != row) jobs.push_back(Job{place_of(rb, column, row, level), &slot});
  }
  for (size_t first = 0; first < jobs.size();) {
    int read_error = 0;
    const size_t readable = read_batch(rb, jobs, first, level, &read_error);
    const int decoded = run_ordered({.threads = rb.threads,
                                     .items = static_cast<int>(readable - first),
                                     .work = [&](int i, int) {
                                       Job& job = jobs[first + static_cast<size_t>(i)];
                                       CR_BUFFER parent = level < rb.coarsest ? parent_of(rb, job.rect.w_ofs / rb.side, row, level)
                                                                              : CR_BUFFER{};
                                       decode_job(job, level < rb.coarsest ? &parent : nullptr);
                                       return job.decoded ? 0 : fail(kR64NotR64);
                                     },
                                     .commit = [&](int i) {
                                       Job& job = jobs[first + static_cast<size_t>(i)];
                                       if (!job.decoded) return failure(rb, job.rect, level, kR64NotR64);
                                       job.slot->row = row;
                                       return 0;
                                     }});
    free_blocks(jobs, first, readable);
    if (decoded < 0) return -1;
    if (read_error != 0) return failure(rb, jobs[readable].rect, level, read_error);
    first = readable;
  }
  return 0;
}

// The rebuilt rectangle in `column` and `row` of `level`, which must be in its band slot.
CR_BUFFER rebuilt(const CR_REBUILDER& rb, int column, int row, int level) {
  CR_BUFFER rect = place_of(rb, column, row, level);
  rect.buf = rb.band[level][static_cast<size_t>(column)].pixels.get();
  return rect;
}

}  // namespace

bool cr_internal::inside(CR_FILE* f, int x, int y, int w, int h, int level) {
  if (level < 0 || level >= kLevels || !cr_check_level(f, level)) return false;
  return x >= 0 && y >= 0 && w >= 1 && h >= 1 && x <= f->level_w[level] - w && y <= f->level_h[level] - h;
}

void cr_internal::copy_overlap(unsigned char* rgb, int x, int y, int w, int h, const CR_BUFFER& rect) {
  int x0 = std::max(x, rect.w_ofs), x1 = std::min(x + w, rect.w_ofs + rect.w_len);
  int y0 = std::max(y, rect.h_ofs), y1 = std::min(y + h, rect.h_ofs + rect.h_len);
  for (int row = y0; row < y1; ++row) {
    const unsigned char* in = rect.buf + 4 * (static_cast<size_t>(row - rect.h_ofs) * rect.w_len + (x0 - rect.w_ofs));
    unsigned char* out = rgb + 3 * (static_cast<size_t>(row - y) * w + (x0 - x));
    // Two pixels at a time with one 8-byte store, whose last two bytes the next store overwrites;
    // the last pixel or two of the row go by themselves.
    int col = x0;
    for (; col + 2 < x1; col += 2, in += 8, out += 6) {
      uint64_t two;
      std::memcpy(&two, in, 8);
      two = std::endian::native == std::endian::little ? (two & 0xFFFFFF) | (two >> 8 & 0xFFFFFF000000)
                                                        : (two & 0xFFFFFF0000000000) | (two << 8 & 0xFFFFFF0000);
      std::memcpy(out, &two, 8);
    }
    for (; col < x1; ++col, in += 4, out += 3) std::memcpy(out, in, 3);
  }
}

CR_REBUILDER* cr_rebuild_open(CR_FILE* f) { return cr_rebuild_open_with(f, kEveryCore); }

CR_REBUILDER* cr_rebuild_open_with(CR_FILE* f, int threads) {
  auto* rb = new (std::nothrow) cr_rebuilder{};
  if (rb == nullptr) {
    fail(kR64Memory);
    return nullptr;
  }
  rb->f = f;
  rb->threads = threads;
  rb->side = f->header.rect_size;
  rb->coarsest = -1;
  for (int level = 0; level < kLevels && cr_check_level(f, level); ++level) {
    rb->coarsest = level;
    rb->band[level].resize(static_cast<size_t>(ceil_div(f->level_w[level], rb->side)));
  }
  return rb;
}

void cr_rebuild_close(CR_REBUILDER* rb) { delete rb; }

int cr_rebuild_rect(CR_BUFFER* rect, CR_REBUILDER* rb, int x, int y, int level) {
  if (!inside(rb->f, x, y, 1, 1, level)) return fail(kR64NotR64);
  int column = x / rb->side, row = y / rb->side;
  if (rebuild_row(*rb, row, level, column, column) < 0) return -1;
  *rect = rebuilt(*rb, column, row, level);
  r64_error = kR64Ok;
  return 0;
}

int cr_rebuild_region(unsigned char* rgb, CR_REBUILDER* rb, int x, int y, int w, int h, int level) {
  if (!inside(rb->f, x, y, w, h, level)) return fail(kR64NotR64);
  int first_column = x / rb->side, last_column = (x + w - 1) / rb->side;
  for (int row = y / rb->side; row <= (y + h - 1) / rb->side; ++row) {
    if (rebuild_row(*rb, row, level, first_column, last_column) < 0) return -1;
    for (int column = first_column; column <= last_column; ++column)
      copy_overlap(rgb, x, y, w, h, rebuilt(*rb, column, row, level));
  }
  r64_error = kR64Ok;
  return 0;
}

// Compares the rebuilt rectangles of a row with the source's, read from the R64 file on every
// thread, and adds them up in column order.
int cr_rebuild_quality(CR_QUALITY* q, CR_REBUILDER* rb, R64_FILE* r64, int level) {
  CR_FILE* f = rb->f;
  if (!inside(f, 0, 0, 1, 1, level) || r64_check_level(r64, level) != 1 || r64->level_w[level] != f->level_w[level] ||
      r64->level_h[level] != f->level_h[level])
    return fail(kR64NotR64);
  if (r64_flush(r64) < 0) return -1;  // the source is read straight from the file
  const int columns = static_cast<int>(rb->band[level].size());
  const int threads = std::min(threads_or_cores(rb->threads), columns);
  // Per worker: a source rectangle and the rows of tiles it is read through.
  const size_t rect_bytes = 4 * static_cast<size_t>(rb->side) * rb->side;
  std::vector<unsigned char> scratch(static_cast<size_t>(threads) * (rect_bytes + cr_internal::kRectScratchBytes));
  constexpr uint64_t kUnread = UINT64_MAX;
  std::vector<uint64_t> errors(static_cast<size_t>(columns));  // of each column's rectangle, once read
  uint64_t total = 0;
  *q = CR_QUALITY{0, std::numeric_limits<double>::infinity(), 0, 0};
  for (int row = 0; row < ceil_div(f->level_h[level], rb->side); ++row) {
    if (rebuild_row(*rb, row, level, 0, columns - 1) < 0) return -1;
    const int compared = run_ordered(
        {.threads = threads,
         .items = columns,
         .work = [&](int column, int worker) {
           unsigned char* mine = scratch.data() + static_cast<size_t>(worker) * (rect_bytes + cr_internal::kRectScratchBytes);
           const CR_BUFFER rect = rebuilt(*rb, column, row, level);
           CR_BUFFER original{rect.w_ofs, rect.h_ofs, rect.w_len, rect.h_len, mine};
           errors[static_cast<size_t>(column)] = kUnread;
           if (cr_internal::read_r64_rect(original, r64, level, {mine + rect_bytes, cr_internal::kRectScratchBytes}) < 0)
             return -1;
           errors[static_cast<size_t>(column)] = cr_internal::squared_error(rect, mine);
           return 0;
         },
         .commit = [&](int column) {
           const CR_BUFFER rect = rebuilt(*rb, column, row, level);
           const uint64_t error = errors[static_cast<size_t>(column)];
           if (error == kUnread) return failure(*rb, rect, level, 0);  // its source could not be read
           total += error;
           double psnr = cr_internal::psnr_of(static_cast<double>(error), 3.0 * rect.w_len * rect.h_len);
           if (psnr < q->worst_psnr) *q = CR_QUALITY{0, psnr, rect.w_ofs, rect.h_ofs};
           return 0;
         }});
    if (compared < 0) return -1;
  }
  q->psnr = cr_internal::psnr_of(static_cast<double>(total), 3.0 * f->level_w[level] * f->level_h[level]);
  r64_error = kR64Ok;
  return 0;
}

void cr_rebuild_failed_at(const CR_REBUILDER* rb, int* level, int* w_ofs, int* h_ofs) {
  *level = rb->failed.level;
  *w_ofs = rb->failed.w_ofs;
  *h_ofs = rb->failed.h_ofs;
}
