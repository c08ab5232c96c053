// Packs an open R64 file into a new CR file: depth first from the coarsest level down, each
// rectangle read (through the tile cache, or straight from a read-only file), coded as plain
// pixels (a root) or as offset and companded residuals against its rebuilt parent, stored as JPEG
// (the classic blocks, the efficient ones, or for a PSNR target the fewest bytes that reach it) or
// uncompressed, then decoded back and rebuilt exactly as a reader will, so that its children are
// predicted from what a reader sees. With more than one thread the subtrees under each
// rectangle of level 3 are coded in parallel; the file is the same.
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
#include <utility>
#include <vector>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "change_endian.hpp"
#include "cr_huffman_tables.hpp"
#include "cr_internal.hpp"
#include "er_panic.hpp"
#include "jpeg.hpp"
#include "malloc_ptr.hpp"
#include "parallel.hpp"
#include "r64_tile.hpp"

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
constexpr int kMaxResidual = 255;          // residuals lie in -255..255

// One coded block and the kind it is stored as.
struct Block {
  MallocPtr<unsigned char> data;
  int size = 0;
  char type = 0;
};

size_t pixel_count(const CR_BUFFER& rect) { return static_cast<size_t>(rect.w_len) * static_cast<size_t>(rect.h_len); }

// Scratch of the thread coding a rectangle: the parent's prediction, the decoded samples and a row
// of tiles read from the R64 file. A rectangle needs them only while it is read, coded and
// rebuilt, never while its children are written.
struct Scratch {
  alignas(64) unsigned char predicted[4 * kMaxRectSize * kMaxRectSize];
  alignas(64) unsigned char decoded[4 * kMaxRectSize * kMaxRectSize];
  alignas(64) unsigned char source[4 * kMaxRectSize * kMaxRectSize];  // a target's reference
  alignas(64) unsigned char trial[4 * kMaxRectSize * kMaxRectSize];   // a candidate block, rebuilt
  unsigned char tile_row[cr_internal::kTileRowBandBytes];
};

Scratch& scratch() {
  thread_local std::unique_ptr<Scratch> mine = std::make_unique<Scratch>();
  return *mine;
}

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

// Coded samples of every sum of a residual (-255..255) and an offset (-128..127).
constexpr int kLowestSum = -kMaxResidual - 128;
constexpr auto kCodedSamples = [] {
  std::array<unsigned char, 2 * kMaxResidual + 256> table{};
  for (int t = kLowestSum; t < kLowestSum + static_cast<int>(table.size()); ++t)
    table[t - kLowestSum] = static_cast<unsigned char>(cr_internal::coded_sample(t) & 0xff);
  return table;
}();

// Coded samples inside the identity band are the residual plus the offset. Four pixels at a time,
// when all their sums lie in the band, take that path in vector code; the others use the tables.
#ifdef __SSE2__
class BandCoder {
 public:
  explicit BandCoder(const Offsets& cal)
      : offset_(_mm_setr_epi16(cal[0], cal[1], cal[2], 0, cal[0], cal[1], cal[2], 0)),
        colour_(_mm_set1_epi32(std::endian::native == std::endian::little ? 0x00FFFFFF : static_cast<int>(0xFFFFFF00))),
        colour_words_(_mm_set_epi16(0, -1, -1, -1, 0, -1, -1, -1)) {}

  // Codes four pixels (fourth bytes 0); false, writing nothing, when a sum lies outside the band.
  bool code(unsigned char* pixels, const unsigned char* predicted) const {
    const __m128i zero = _mm_setzero_si128();
    __m128i plain = _mm_loadu_si128(reinterpret_cast<const __m128i*>(pixels));
    __m128i guess = _mm_loadu_si128(reinterpret_cast<const __m128i*>(predicted));
    __m128i low = sums(_mm_unpacklo_epi8(plain, zero), _mm_unpacklo_epi8(guess, zero));
    __m128i high = sums(_mm_unpackhi_epi8(plain, zero), _mm_unpackhi_epi8(guess, zero));
    if (!in_band(low) || !in_band(high)) return false;
    _mm_storeu_si128(reinterpret_cast<__m128i*>(pixels), _mm_and_si128(_mm_packus_epi16(low, high), colour_));
    return true;
  }

 private:
  __m128i sums(__m128i plain, __m128i guess) const { return _mm_add_epi16(_mm_sub_epi16(plain, guess), offset_); }

  bool in_band(__m128i sums) const {
    __m128i outside = _mm_or_si128(_mm_cmplt_epi16(sums, _mm_set1_epi16(cr_internal::kBandLow)),
                                   _mm_cmpgt_epi16(sums, _mm_set1_epi16(cr_internal::kBandHigh)));
    return _mm_movemask_epi8(_mm_and_si128(outside, colour_words_)) == 0;
  }

  __m128i offset_;
  __m128i colour_;
  __m128i colour_words_;
};
#else
struct BandCoder {
  explicit BandCoder(const Offsets&) {}
  bool code(unsigned char*, const unsigned char*) const { return false; }
};
#endif

// Replaces the plain pixels in rect.buf by the coded samples of their residuals; the fourth
// byte of every pixel stays 0.
void code_residuals(CR_BUFFER& rect, const unsigned char* predicted, const Offsets& cal) {
  std::array<const unsigned char*, kChannels> coded;
  for (int c = 0; c < kChannels; ++c) coded[c] = &kCodedSamples[cal[c] - kLowestSum];
  auto code_pixel = [&](unsigned char* pixel, const unsigned char* guess) {
    put_pixel(pixel, coded[0][pixel[0] - guess[0]], coded[1][pixel[1] - guess[1]], coded[2][pixel[2] - guess[2]]);
  };
  const BandCoder band(cal);
  size_t bytes = 4 * pixel_count(rect);
  size_t i = 0;
  for (; i + kLanes <= bytes; i += kLanes)
    if (!band.code(rect.buf + i, predicted + i))
      for (size_t k = i; k < i + kLanes; k += 4) code_pixel(rect.buf + k, predicted + k);
  for (; i < bytes; i += 4) code_pixel(rect.buf + i, predicted + i);
}

// The coding of the file being written; set by cr_write_file_with for the length of its call.
CR_CODING coding = cr_classic_coding();

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

JPEG_SETTINGS settings_for(int quality, int level, std::array<unsigned short, 64>& table) {
  JPEG_SETTINGS s = jpeg_default_settings(quality);
  if (!coding.efficient) return s;
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

// The block of the coded samples in rect.buf: a JPEG stream at `quality`, or a plain block for a
// rectangle too small for JPEG.
Block compress(const CR_BUFFER& rect, int level, int quality) {
  if (stored_plain(rect)) return plain_block(rect);
  std::array<unsigned short, 64> table;
  const JPEG_SETTINGS settings = settings_for(quality, level, table);
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
  if (!r64_internal::seek_to(f->fd, f->write_ofs) || !r64_internal::write_all(f->fd, block.data.get(), size))
    return fail(kR64System);
  f->write_ofs += size;
  change_endian_cr_tbl(&entry);
  if (!r64_internal::seek_to(f->fd, get_tbl_ofs(f, rect.w_ofs, rect.h_ofs, level)) ||
      !r64_internal::write_all(f->fd, &entry, sizeof entry))
    return fail(kR64System);
  return 0;
}

// Decodes the block just coded, as a reader decodes it; a block that does not give back the
// rectangle is a fault of the codec, not of the data, and ends the process.
const unsigned char* decode(const Block& block, const CR_BUFFER& rect) {
  if (block.type != 'j' && block.type != 'n') er_panic("_cr_write(1)");
  CR_MEM_TBL stored{block.data.get(), block.type, {}, static_cast<unsigned int>(block.size)};
  unsigned char* decoded = scratch().decoded;
  if (!cr_internal::decode_stored_block(stored, rect.w_len, rect.h_len, decoded)) er_panic("_cr_write(2)");
  return decoded;
}

// Pixel buffers of rectangles, allocated once and kept for every later rectangle: one per level
// for the path from a root down, on the writer's thread, and as many for each worker.
class RectBuffers {
 public:
  // Allocates the buffer of `slot` unless it has one; on the writer's thread only.
  void prepare(size_t slot) {
    if (slot >= buffers_.size()) buffers_.resize(slot + 1);
    if (!buffers_[slot]) buffers_[slot] = malloc_array<unsigned char>(4 * kMaxRectSize * kMaxRectSize);
  }

  // The buffer of a prepared slot, on any thread; null when memory ran out.
  unsigned char* at(size_t slot) const { return slot < buffers_.size() ? buffers_[slot].get() : nullptr; }

 private:
  std::vector<MallocPtr<unsigned char>> buffers_;
};

RectBuffers& rect_buffers() {
  static RectBuffers buffers;
  return buffers;
}

// The buffer slot of a rectangle of `level` coded by worker task `task` (-1: the writer).
size_t slot_of(int task, int level) { return static_cast<size_t>(kLevels * (task + 1) + level); }

// One rectangle on its way into the file: its pixels (then its coded samples, then, above level
// 0, its rebuilt pixels) in a buffer of rect_buffers(), and its block. Once stored or handed to
// its children, only its place, block and offsets are used: the buffer serves the next rectangle.
struct Coded {
  CR_BUFFER rect;
  int level;
  Block block;
  Offsets cal{};
  double psnr = std::numeric_limits<double>::infinity();  // what a target's block reaches
};

Coded make_coded(CR_FILE* f, int w_ofs, int h_ofs, int level, size_t slot) {
  int side = f->header.rect_size;
  return Coded{CR_BUFFER{w_ofs, h_ofs, std::min(side, f->level_w[level] - w_ofs),
                         std::min(side, f->level_h[level] - h_ofs), rect_buffers().at(slot)},
               level, {}};
}

// Reads the rectangle's pixels from the R64 file: straight from the file when the handle allows it,
// on any thread, otherwise through the tile cache, on the writer's thread. Returns 0 or the code
// of the failure, leaving r64_error to the writer's thread.
int read_rectangle(Coded& c, R64_FILE* r64) {
  if (c.rect.buf == nullptr) return kR64Memory;
  if (cr_internal::reads_in_parallel(r64, c.level))
    return cr_internal::read_r64_rect_direct(c.rect, r64, c.level, scratch().tile_row);
  return cr_internal::read_r64_rect(c.rect, r64, c.level) < 0 ? r64_error : kR64Ok;
}

// The PSNR against `source` that the rectangle's pixels reach when rebuilt from `block`.
double rebuilt_psnr(const Coded& c, const CR_BUFFER* parent, const Block& block, const unsigned char* source) {
  CR_BUFFER trial = c.rect;
  trial.buf = scratch().trial;
  cr_internal::rebuild(trial, parent, decode(block, c.rect), c.cal);
  return cr_internal::rect_psnr(trial, source);
}

// The block with the fewest bytes whose rebuilt pixels reach the target PSNR against `source`:
// the lowest quality that does, found by halving the range of qualities (bytes grow with the
// quality); a plain block, the closest to the source there is, when none does.
void code_to_target(Coded& c, const CR_BUFFER* parent, const unsigned char* source) {
  Block best;
  for (int low = 1, high = stored_plain(c.rect) ? 0 : 100; low <= high;) {
    const int quality = (low + high) / 2;
    Block trial = compress(c.rect, c.level, quality);
    if (!trial.data) return;  // no memory: no block
    const double psnr = rebuilt_psnr(c, parent, trial, source);
    if (psnr < coding.target_psnr) {
      low = quality + 1;
      continue;
    }
    best = std::move(trial);
    c.psnr = psnr;
    high = quality - 1;
  }
  if (!best.data) {
    best = plain_block(c.rect);
    if (!best.data) return;
    c.psnr = rebuilt_psnr(c, parent, best, source);
  }
  c.block = std::move(best);
}

// Codes the rectangle against its parent (plain pixels for a root) into its block; touches
// nothing shared, so rectangles of one generation are coded in parallel. No block: no memory.
void code_rectangle(Coded& c, const CR_BUFFER* parent) {
  const unsigned char* predicted = nullptr;  // a root keeps its plain pixels
  if (parent != nullptr) {
    cr_internal::predict(*parent, c.rect, scratch().predicted);
    predicted = scratch().predicted;
  }
  const bool to_target = coding.target_psnr > 0;
  if (to_target) std::memcpy(scratch().source, c.rect.buf, 4 * pixel_count(c.rect));
  c.cal = channel_offsets(residual_range(c.rect, predicted));
  if (predicted != nullptr) code_residuals(c.rect, predicted, c.cal);
  if (to_target) return code_to_target(c, parent, scratch().source);
  c.block = compress(c.rect, c.level, coding.quality);
}

// Rebuilds the rectangle from its block as a reader will; nothing is predicted from level 0.
void rebuild_rectangle(Coded& c, const CR_BUFFER* parent) {
  if (c.level > 0 && c.block.data) cr_internal::rebuild(c.rect, parent, decode(c.block, c.rect), c.cal);
}

// Rectangles of the file being written whose block could not reach the target, and the lowest
// PSNR a block reached.
CR_TARGET_REPORT target_report{};

// Stores the rectangle's block; progress is counted here, in file order, whoever read it.
int store(CR_FILE* f, const Coded& c) {
  report_progress(c.rect);
  target_report.worst_psnr = std::min(target_report.worst_psnr, c.psnr);
  if (c.psnr < coding.target_psnr) ++target_report.missed;
  if (!c.block.data) return fail(kR64Memory);
  return store_block(f, c.rect, c.level, c.block, c.cal);
}

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

// Subtrees are coded on every thread under the rectangles of this level: big enough to share the
// work evenly among few threads, small enough that the work above it, on one thread, is little.
constexpr int kLevelOfParallelSubtrees = 3;

// The rectangles of one subtree in the order they are written, and the code (and errno, kept by
// the thread that read) of the rectangle that could not be read, where coding stopped.
struct Subtree {
  std::vector<Coded> rects;
  int read_code = kR64Ok;
  int read_errno = 0;
};

// Reads, codes and rebuilds a rectangle and then its subtree depth first into `out`, with the
// buffers of worker task `task`; false when a rectangle cannot be read.
bool code_subtree(Subtree& out, const CR_BUFFER* parent, CR_FILE* f, R64_FILE* r64, int w, int h, int level, int task) {
  Coded c = make_coded(f, w, h, level, slot_of(task, level));
  if ((out.read_code = read_rectangle(c, r64)) != kR64Ok) {
    out.read_errno = errno;
    return false;
  }
  code_rectangle(c, parent);
  rebuild_rectangle(c, parent);
  const CR_BUFFER rebuilt = c.rect;
  out.rects.push_back(std::move(c));
  for (auto [cw, ch] : level > 0 ? children_of(f, rebuilt, level) : std::vector<std::pair<int, int>>{})
    if (!code_subtree(out, &rebuilt, f, r64, cw, ch, level - 1, task)) return false;
  return true;
}

// Whether the subtrees under a rectangle of `level` are coded in parallel: with more than one
// thread, when every finer level can be read on any thread.
bool codes_subtrees_in_parallel(const R64_FILE* r64, int level) {
  if (level != kLevelOfParallelSubtrees || parallel_threads() < 2) return false;
  for (int finer = 0; finer < level; ++finer)
    if (!cr_internal::reads_in_parallel(r64, finer)) return false;
  return true;
}

// Writes the subtrees under a rebuilt rectangle on every thread, one task per child: the tasks
// read, code and rebuild, and the blocks are then stored in the order one thread stores them.
// When a read fails the rectangles before it are still stored, so the file ends as one thread
// leaves it.
int write_subtrees_in_parallel(const CR_BUFFER& parent, CR_FILE* f, R64_FILE* r64, int level) {
  const std::vector<std::pair<int, int>> children = children_of(f, parent, level);
  const int tasks = static_cast<int>(children.size());
  for (int task = 0; task < tasks; ++task)
    for (int finer = 0; finer < level; ++finer) rect_buffers().prepare(slot_of(task, finer));
  std::vector<Subtree> subtrees(children.size());
  parallel_for(tasks, [&](int task) {
    auto [w, h] = children[static_cast<size_t>(task)];
    code_subtree(subtrees[static_cast<size_t>(task)], &parent, f, r64, w, h, level - 1, task);
  });
  for (const Subtree& subtree : subtrees) {
    for (const Coded& c : subtree.rects)
      if (store(f, c) < 0) return -1;
    if (subtree.read_code != kR64Ok) {
      errno = subtree.read_errno;
      return fail(subtree.read_code);
    }
  }
  return 0;
}

}  // namespace

namespace cr_internal {

void set_efficient_parts(const EfficientParts& parts) { efficient_parts = parts; }

// Reads, codes, stores and rebuilds the rectangle, then writes its children: one by one, or their
// whole subtrees at once on every thread.
int _cr_write(CR_BUFFER* parent, CR_FILE* f, R64_FILE* r64, int w_ofs, int h_ofs, int level) {
  if (w_ofs >= f->level_w[level] || h_ofs >= f->level_h[level]) return 0;
  rect_buffers().prepare(slot_of(-1, level));
  Coded c = make_coded(f, w_ofs, h_ofs, level, slot_of(-1, level));
  if (int code = read_rectangle(c, r64); code != kR64Ok) return fail(code);
  code_rectangle(c, parent);
  if (store(f, c) < 0) return -1;
  if (level == 0) return 0;
  rebuild_rectangle(c, parent);
  if (codes_subtrees_in_parallel(r64, level)) return write_subtrees_in_parallel(c.rect, f, r64, level);
  for (auto [w, h] : children_of(f, c.rect, level))
    if (_cr_write(&c.rect, f, r64, w, h, level - 1) < 0) return -1;
  return 0;
}

}  // namespace cr_internal

namespace {

int coarsest_level(const R64_FILE* r64) {
  for (int level = kLevels - 1; level >= 0; --level)
    if (r64->level_ofs[level] != 0) return level;
  return -1;
}

// Every rectangle of the coarsest level roots a tree of its own: an elongated image's coarsest
// level spans several rectangles.
int write_roots(CR_FILE* f, R64_FILE* r64, int level) {
  int side = f->header.rect_size;
  for (int h = 0; h < f->level_h[level]; h += side)
    for (int w = 0; w < f->level_w[level]; w += side)
      if (cr_internal::_cr_write(nullptr, f, r64, w, h, level) < 0) return -1;
  return 0;
}

}  // namespace

CR_CODING cr_classic_coding() { return CR_CODING{kJpegQuality, 0, 0}; }

CR_TARGET_REPORT cr_target_report() { return target_report; }

int cr_write_file(const char* filename, int mode, int rect_size, R64_FILE* r64) {
  const CR_CODING classic = cr_classic_coding();
  return cr_write_file_with(filename, mode, rect_size, r64, &classic);
}

int cr_write_file_with(const char* filename, int mode, int rect_size, R64_FILE* r64, const CR_CODING* chosen) {
  coding = *chosen;
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
  int result = write_roots(f, r64, level);
  int error = r64_error;
  bool closed = cr_close_file(f) == 0;
  std::printf("\n");
  if (result < 0) return fail(error);
  if (!closed) return fail(kR64System);  // the system could not keep what was written
  return 0;
}
