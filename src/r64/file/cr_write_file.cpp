// Packs an open R64 file into a new CR file: depth first from the coarsest level down, each
// rectangle read straight from the R64 file, coded as plain pixels (a root) or as offset and
// companded residuals against its rebuilt parent, stored as JPEG (the classic blocks, the efficient
// ones, or for a PSNR target the fewest bytes that reach it) or uncompressed, then decoded back and
// rebuilt exactly as a reader will, so that its children are predicted from what a reader sees.
// The subtrees under the rectangles of level 3 are coded as the items of an ordered run, on as many
// threads as the call is given, and stored in file order; the file is the same whatever the threads.
#include <fcntl.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <utility>
#include <vector>

#include "change_endian.hpp"
#include "cr_huffman_tables.hpp"
#include "cr_internal.hpp"
#include "jpeg.hpp"
#include "malloc_ptr.hpp"
#include "parallel.hpp"

unsigned int loading_file_size = 0;
unsigned int indicate_file_size = 0;

namespace {

using cr_internal::fail;
using cr_internal::kChannels;
using cr_internal::kMaxRectSize;
using cr_internal::Offsets;
using cr_internal::put_pixel;

constexpr int kMinJpegSide = 16;           // smaller rectangles are stored uncompressed
constexpr unsigned int kProgressStep = 10000;

// One coded block and the kind it is stored as.
struct Block {
  MallocPtr<unsigned char> data;
  int size = 0;
  char type = 0;
};

size_t pixel_count(const CR_BUFFER& rect) { return static_cast<size_t>(rect.w_len) * static_cast<size_t>(rect.h_len); }

// Levels whose rectangles root the subtrees coded as the items of a run: big enough to share the
// work evenly among few threads, small enough that the work above them, on the caller's thread
// alone, is little.
constexpr int kSubtreeLevels = 3;  // levels 0, 1 and 2

// Scratch of one worker of the writer: the parent's prediction, the decoded samples, what a target
// is measured against, a candidate block rebuilt, the rows of tiles a rectangle is read through,
// and the pixels of the rectangles on the path down a subtree, one per level. A rectangle needs
// the first five only while it is read, coded and rebuilt, never while its children are written.
struct Scratch {
  alignas(64) unsigned char predicted[4 * kMaxRectSize * kMaxRectSize];
  alignas(64) unsigned char decoded[4 * kMaxRectSize * kMaxRectSize];
  alignas(64) unsigned char source[4 * kMaxRectSize * kMaxRectSize];
  alignas(64) unsigned char trial[4 * kMaxRectSize * kMaxRectSize];
  alignas(64) unsigned char tile_rows[cr_internal::kRectScratchBytes];
  alignas(64) unsigned char path[kSubtreeLevels][4 * kMaxRectSize * kMaxRectSize];
};

// Pixel bytes are handled in groups of 16 (four pixels): loops over a group's lanes compile to
// vector code. Lane k carries channel k % 4; the fourth channel is padding.
constexpr int kLanes = 16;

// Per channel, the lowest and the highest residual of a rectangle.
struct Range {
  std::array<int, kChannels> low{INT_MAX, INT_MAX, INT_MAX};
  std::array<int, kChannels> high{INT_MIN, INT_MIN, INT_MIN};
};

// Per channel, the range of the residuals: against the predicted pixels, or of the pixels
// themselves for a root (predicted null).
Range residual_range(const CR_BUFFER& rect, const unsigned char* predicted) {
  size_t bytes = 4 * pixel_count(rect);
  std::array<int16_t, kLanes> low, high;
  low.fill(INT16_MAX);
  high.fill(INT16_MIN);
  auto add = [&](size_t i, int lane) {
    int16_t residual = static_cast<int16_t>(rect.buf[i] - (predicted ? predicted[i] : 0));
    low[lane] = std::min(low[lane], residual);
    high[lane] = std::max(high[lane], residual);
  };
  size_t i = 0;
  for (; i + kLanes <= bytes; i += kLanes)
    for (int lane = 0; lane < kLanes; ++lane) add(i + lane, lane);
  for (int lane = 0; i < bytes; ++i, ++lane) add(i, lane);

  // Lanes that saw no pixel (rectangles of fewer than four pixels) still hold the neutral
  // extremes, so each bound is folded on its own.
  Range range;
  for (int lane = 0; lane < kLanes; ++lane) {
    int c = lane % 4;
    if (c == kChannels) continue;
    range.low[c] = std::min<int>(range.low[c], low[lane]);
    range.high[c] = std::max<int>(range.high[c], high[lane]);
  }
  return range;
}

void report_progress(const CR_BUFFER& rect) {
  loading_file_size += static_cast<unsigned int>(3 * pixel_count(rect));
  if (loading_file_size < indicate_file_size) return;
  std::printf("loading %i   \r", static_cast<int>(loading_file_size));
  std::fflush(stdout);
  indicate_file_size += kProgressStep;
}

// Per channel, the offset that centres the residuals' range on 128.
Offsets channel_offsets(const Range& range) {
  Offsets cal{};
  for (int c = 0; c < kChannels; ++c)
    cal[c] = static_cast<signed char>(std::clamp(128 - (range.high[c] + range.low[c]) / 2, -128, 127));
  return cal;
}

// The efficient blocks: colour sampled as finely as brightness, one flat quantisation table (for
// squared error every frequency is worth the same, and residuals hold their energy in the high
// ones), no JFIF segment. Coarser levels get finer steps: each predicts every finer one, and its
// pixels are few. The Huffman tables are the trained ones of the step's class: tables fitted to
// each block take a second pass over it for a few per cent fewer bytes. At quality 80 level 0
// takes steps of 28, about the error of the classic blocks.
constexpr unsigned short kEfficientStep = 70;  // of level 0 at quality 50
cr_internal::EfficientParts efficient_parts;

// The percent of the steps for `level`: the quality's, finer by the level ratio for each level.
int level_scale(int quality, int level) {
  double scale = jpeg_quality_percent(quality) * std::pow(efficient_parts.level_ratio, level);
  return std::max(1, static_cast<int>(std::lround(scale)));
}

// The step libjpeg makes of `step` at `scale` percent, as a baseline stream holds it.
int scaled_step(int step, int scale) { return std::clamp((step * scale + 50) / 100, 1, 255); }

JPEG_SETTINGS settings_for(bool efficient, int quality, int level, std::array<unsigned short, 64>& table) {
  JPEG_SETTINGS s = jpeg_default_settings(quality);
  if (!efficient) return s;
  const cr_internal::EfficientParts& parts = efficient_parts;
  s.scale = level_scale(quality, level);
  if (parts.flat_table) {
    table.fill(kEfficientStep);
    s.table = table.data();
  }
  s.full_chroma = parts.full_chroma;
  s.optimize_coding = parts.optimize_coding;
  s.jfif = parts.jfif;
  if (parts.trained_tables && parts.flat_table && parts.full_chroma)
    s.huffman = &cr_internal::kTrainedHuffman[cr_internal::huffman_class(scaled_step(kEfficientStep, s.scale))];
  return s;
}

bool stored_plain(const CR_BUFFER& rect) { return rect.w_len < kMinJpegSide || rect.h_len < kMinJpegSide; }

Block plain_block(const CR_BUFFER& rect) {
  Block block;
  block.data.reset(none_compress(&block.size, rect.buf, rect.w_len, rect.h_len));
  block.type = 'n';
  return block;
}

// The block of the coded samples in rect.buf: a JPEG stream at `quality` (efficient or classic), or
// a plain block for a rectangle too small for JPEG.
Block compress(const CR_BUFFER& rect, int level, bool efficient, int quality) {
  if (stored_plain(rect)) return plain_block(rect);
  std::array<unsigned short, 64> table;
  const JPEG_SETTINGS settings = settings_for(efficient, quality, level, table);
  Block block;
  block.data.reset(jpeg_compress_with(&block.size, rect.buf, rect.w_len, rect.h_len, &settings));
  block.type = 'j';
  return block;
}

// Appends the block at write_ofs and then writes its table entry, so that an entry never points
// at a block that is not wholly on disk.
int store_block(CR_FILE* f, const CR_BUFFER& rect, int level, const Block& block, const Offsets& cal) {
  unsigned int size = static_cast<unsigned int>(block.size);
  if (size > UINT32_MAX - f->write_ofs) {
    errno = EFBIG;  // block offsets are 32-bit
    return fail(kR64System);
  }
  CR_TBL entry{};
  entry.ofs = f->write_ofs;
  entry.type = block.type;
  for (int c = 0; c < kChannels; ++c) entry.cal[c] = static_cast<unsigned char>(cal[c]);
  entry.size = size;
  if (!fd_io::seek_to(f->fd, f->write_ofs) || !fd_io::write_all(f->fd, block.data.get(), size))
    return fail(kR64System);
  f->write_ofs += size;
  change_endian_cr_tbl(&entry);
  if (!fd_io::seek_to(f->fd, get_tbl_ofs(f, rect.w_ofs, rect.h_ofs, level)) ||
      !fd_io::write_all(f->fd, &entry, sizeof entry))
    return fail(kR64System);
  return 0;
}

// Decodes the block just coded, as a reader decodes it, into `decoded`; null when it cannot be
// decoded. The data cannot be at fault, so the decoder's memory is: the caller fails with kR64Memory.
const unsigned char* decode(const Block& block, const CR_BUFFER& rect, unsigned char* decoded) {
  CR_MEM_TBL stored{block.data.get(), block.type, {}, static_cast<unsigned int>(block.size)};
  return cr_internal::decode_stored_block(stored, rect.w_len, rect.h_len, decoded) ? decoded : nullptr;
}

// One rectangle on its way into the file: its pixels (then its coded samples, then, above level
// 0, its rebuilt pixels) in a buffer of the writer's, and its block. Once stored or handed to its
// children, only its place, block and offsets are used: the buffer serves the next rectangle.
struct Coded {
  CR_BUFFER rect;
  int level;
  Block block;
  Offsets cal{};
  double psnr = std::numeric_limits<double>::infinity();  // what a target's block reaches
};

// The rectangles of one subtree, in the order they are written.
using Subtree = std::vector<Coded>;

// The rectangles that lie inside the finer level below `rect`, in the order they are written.
std::vector<std::pair<int, int>> children_of(const CR_FILE* f, const CR_BUFFER& rect, int level) {
  int side = f->header.rect_size;
  std::vector<std::pair<int, int>> inside;
  for (auto [dx, dy] : {std::pair{0, 0}, {side, 0}, {0, side}, {side, side}}) {
    int w = 2 * rect.w_ofs + dx, h = 2 * rect.h_ofs + dy;
    if (w < f->level_w[level - 1] && h < f->level_h[level - 1]) inside.emplace_back(w, h);
  }
  return inside;
}

// One call of cr_write_file_with: the files, the coding, and every buffer the writing needs, which
// live as long as the call. Rectangles above the subtrees are written on the caller's thread, each
// stored before its children; the subtrees below a rectangle are the items of an ordered run,
// read, coded and rebuilt on any worker and stored in order on the caller's.
class Writer {
 public:
  Writer(CR_FILE* f, R64_FILE* r64, const CR_CODING& coding, int threads)
      : f_(f), r64_(r64), coding_(coding), threads_(threads_or_cores(threads)),
        scratch_(static_cast<size_t>(threads_)) {}

  // Every rectangle of the coarsest level roots a tree of its own: an elongated image's coarsest
  // level spans several rectangles.
  int write_roots(int level) {
    std::vector<std::pair<int, int>> roots;
    for (int h = 0; h < f_->level_h[level]; h += side())
      for (int w = 0; w < f_->level_w[level]; w += side()) roots.emplace_back(w, h);
    if (level < kSubtreeLevels) return write_subtrees(nullptr, roots, level);
    for (auto [w, h] : roots)
      if (write_down(nullptr, w, h, level) < 0) return -1;
    return 0;
  }

  const CR_TARGET_REPORT& report() const { return report_; }

 private:
  int side() const { return f_->header.rect_size; }

  // The scratch of `worker`, allocated by the worker at its first rectangle; null when memory ran out.
  Scratch* scratch(int worker) {
    std::unique_ptr<Scratch>& mine = scratch_[static_cast<size_t>(worker)];
    if (!mine) mine.reset(new (std::nothrow) Scratch);
    return mine.get();
  }

  Coded make_coded(int w_ofs, int h_ofs, int level, unsigned char* pixels) const {
    return Coded{CR_BUFFER{w_ofs, h_ofs, std::min(side(), f_->level_w[level] - w_ofs),
                           std::min(side(), f_->level_h[level] - h_ofs), pixels},
                 level, {}};
  }

  // The PSNR against `source` that the rectangle's pixels reach when rebuilt from `block`; nothing
  // when the block cannot be decoded.
  std::optional<double> rebuilt_psnr(const Coded& c, const CR_BUFFER* parent, const Block& block,
                                     const unsigned char* source, Scratch& s) const {
    const unsigned char* samples = decode(block, c.rect, s.decoded);
    if (samples == nullptr) return std::nullopt;
    CR_BUFFER trial = c.rect;
    trial.buf = s.trial;
    cr_internal::rebuild(trial, parent, samples, c.cal);
    return cr_internal::rect_psnr(trial, source);
  }

  // The block with the fewest bytes whose rebuilt pixels reach the target PSNR against `source`:
  // the lowest quality that does, found by halving the range of qualities (bytes grow with the
  // quality); a plain block, the closest to the source there is, when none does.
  void code_to_target(Coded& c, const CR_BUFFER* parent, const unsigned char* source, Scratch& s) const {
    Block best;
    for (int low = 1, high = stored_plain(c.rect) ? 0 : 100; low <= high;) {
      const int quality = (low + high) / 2;
      Block trial = compress(c.rect, c.level, coding_.efficient, quality);
      if (!trial.data) return;  // no memory: no block
      const std::optional<double> psnr = rebuilt_psnr(c, parent, trial, source, s);
      if (!psnr) return;  // no memory: no block
      if (*psnr < coding_.target_psnr) {
        low = quality + 1;
        continue;
      }
      best = std::move(trial);
      c.psnr = *psnr;
      high = quality - 1;
    }
    if (!best.data) {
      best = plain_block(c.rect);
      const std::optional<double> psnr = best.data ? rebuilt_psnr(c, parent, best, source, s) : std::nullopt;
      if (!psnr) return;  // no memory: no block
      c.psnr = *psnr;
    }
    c.block = std::move(best);
  }

  // Reads the rectangle, codes it against its parent (plain pixels for a root) into its block and,
  // above level 0, rebuilds it as a reader will; touches nothing shared, so rectangles of one
  // generation are coded at once. 0, or -1 with r64_error set when it cannot be read or its block
  // cannot be decoded again (kR64Memory); no block means no memory.
  int code(Coded& c, const CR_BUFFER* parent, Scratch& s) const {
    if (cr_internal::read_r64_rect(c.rect, r64_, c.level, s.tile_rows) < 0) return -1;
    const unsigned char* predicted = nullptr;  // a root keeps its plain pixels
    if (parent != nullptr) {
      kernels::pixel_kernels().predict(*parent, c.rect, s.predicted);
      predicted = s.predicted;
    }
    const bool to_target = coding_.target_psnr > 0;
    if (to_target) std::memcpy(s.source, c.rect.buf, 4 * pixel_count(c.rect));
    c.cal = channel_offsets(residual_range(c.rect, predicted));
    if (predicted != nullptr) kernels::pixel_kernels().code_residuals(c.rect, predicted, c.cal);
    if (to_target)
      code_to_target(c, parent, s.source, s);
    else
      c.block = compress(c.rect, c.level, coding_.efficient, coding_.quality);
    if (c.level == 0 || !c.block.data) return 0;
    const unsigned char* samples = decode(c.block, c.rect, s.decoded);
    if (samples == nullptr) return fail(kR64Memory);
    cr_internal::rebuild(c.rect, parent, samples, c.cal);
    return 0;
  }

  // Stores the rectangle's block; progress is counted here, in file order, whoever coded it.
  int store(const Coded& c) {
    report_progress(c.rect);
    report_.worst_psnr = std::min(report_.worst_psnr, c.psnr);
    if (c.psnr < coding_.target_psnr) ++report_.missed;
    if (!c.block.data) return fail(kR64Memory);
    return store_block(f_, c.rect, c.level, c.block, c.cal);
  }

  // A rectangle above the subtrees and all below it, on the caller's thread.
  int write_down(const CR_BUFFER* parent, int w, int h, int level) {
    MallocPtr<unsigned char>& pixels = path_[static_cast<size_t>(level)];
    if (!pixels) pixels = malloc_array<unsigned char>(4 * kMaxRectSize * kMaxRectSize);
    Scratch* s = scratch(0);
    if (!pixels || s == nullptr) return fail(kR64Memory);
    Coded c = make_coded(w, h, level, pixels.get());
    if (code(c, parent, *s) < 0 || store(c) < 0) return -1;
    const std::vector<std::pair<int, int>> children = children_of(f_, c.rect, level);
    if (level - 1 < kSubtreeLevels) return write_subtrees(&c.rect, children, level - 1);
    for (auto [cw, ch] : children)
      if (write_down(&c.rect, cw, ch, level - 1) < 0) return -1;
    return 0;
  }

  // Codes a rectangle and then its subtree depth first into `out`, with the buffers of `worker`.
  // 0, or -1 with r64_error set at the first rectangle that cannot be read; those before it are in
  // `out`.
  int code_subtree(Subtree& out, const CR_BUFFER* parent, int w, int h, int level, int worker) {
    Scratch* s = scratch(worker);
    if (s == nullptr) return fail(kR64Memory);
    Coded c = make_coded(w, h, level, s->path[level]);
    if (code(c, parent, *s) < 0) return -1;
    const CR_BUFFER rebuilt = c.rect;
    out.push_back(std::move(c));
    if (level == 0) return 0;
    for (auto [cw, ch] : children_of(f_, rebuilt, level))
      if (code_subtree(out, &rebuilt, cw, ch, level - 1, worker) < 0) return -1;
    return 0;
  }

  // The subtrees rooted at `roots` of `level`, below `parent`: coded on every thread, a few ahead of
  // the storing, and stored in order, those of a subtree that failed up to where it failed, so that
  // the file ends as one thread leaves it.
  int write_subtrees(const CR_BUFFER* parent, const std::vector<std::pair<int, int>>& roots, int level) {
    const int ahead = 2 * threads_;
    std::vector<Subtree> coded(static_cast<size_t>(std::min<size_t>(ahead, roots.size())));
    auto slot = [&](int item) -> Subtree& { return coded[static_cast<size_t>(item) % coded.size()]; };
    return run_ordered({.threads = threads_,
                        .items = static_cast<int>(roots.size()),
                        .ahead = ahead,
                        .work = [&](int item, int worker) {
                          auto [w, h] = roots[static_cast<size_t>(item)];
                          return code_subtree(slot(item), parent, w, h, level, worker);
                        },
                        .commit = [&](int item) {
                          Subtree subtree = std::move(slot(item));
                          slot(item).clear();
                          for (const Coded& c : subtree)
                            if (store(c) < 0) return -1;
                          return 0;
                        }});
  }

  CR_FILE* f_;
  const R64_FILE* r64_;
  const CR_CODING coding_;
  const int threads_;
  std::vector<std::unique_ptr<Scratch>> scratch_;  // one per worker
  MallocPtr<unsigned char> path_[kLevels];         // the caller's rectangles above the subtrees
  CR_TARGET_REPORT report_{0, std::numeric_limits<double>::infinity()};
};

int coarsest_level(const R64_FILE* r64) {
  for (int level = kLevels - 1; level >= 0; --level)
    if (r64->level_ofs[level] != 0) return level;
  return -1;
}

// What the target of the last call got.
CR_TARGET_REPORT target_report{};

}  // namespace

namespace cr_internal {

void set_efficient_parts(const EfficientParts& parts) { efficient_parts = parts; }

}  // namespace cr_internal

CR_CODING cr_classic_coding() { return CR_CODING{kJpegQuality, 0, 0}; }

CR_TARGET_REPORT cr_target_report() { return target_report; }

int cr_write_file(const char* filename, int mode, int rect_size, R64_FILE* r64) {
  const CR_CODING classic = cr_classic_coding();
  return cr_write_file_with(filename, mode, rect_size, r64, &classic);
}

int cr_write_file_with(const char* filename, int mode, int rect_size, R64_FILE* r64, const CR_CODING* coding,
                       int threads) {
  target_report = CR_TARGET_REPORT{0, std::numeric_limits<double>::infinity()};
  loading_file_size = 0;
  CR_FILE* f = cr_open_file(filename, O_RDWR | O_CREAT | O_TRUNC, mode, rect_size, r64->header.width,
                            r64->header.height);
  if (f == nullptr) return -1;
  int level = coarsest_level(r64);
  if (level < 0 || !cr_check_level(f, level)) {
    cr_close_file(f);
    return fail(kR64OutOfRange);
  }
  // Rectangles are read straight from the file: tiles the cache holds changed go there first.
  int result = r64_flush(r64);
  if (result == 0) {
    Writer writer(f, r64, *coding, threads);
    result = writer.write_roots(level);
    target_report = writer.report();
  }
  const int error = r64_error, system_error = r64_errno;
  bool closed = cr_close_file(f) == 0;
  std::printf("\n");
  if (result < 0) {
    errno = system_error;  // what the failed call said, whatever closing the file said since
    return fail(error);
  }
  if (!closed) return fail(kR64System);  // the system could not keep what was written
  return 0;
}
