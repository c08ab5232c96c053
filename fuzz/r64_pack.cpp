// Builds a small R64 file from the input, its levels as "-l" or "-lh" builds them, packs it into a
// CR file with a coding the input chooses (classic, a quality, the efficient blocks, a PSNR target)
// and reads that back. Level 0 must read back as set, box-filtered levels must be the floor of the
// mean of their 2 x 2 source pixels, every rectangle must be stored and rebuild, the coarsest level
// (plain pixels) must rebuild exactly, and a target must be met by every rectangle but those the
// writer reports.
#include <fcntl.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <span>
#include <vector>

#include "fuzz_support.hpp"

namespace {

constexpr int kSmallestSide = 3;
constexpr int kLargestSide = 80;
constexpr int kMinJpegSide = 16;  // narrower rectangles are stored uncompressed
constexpr std::array<int, 3> kRectSizes = {64, 128, 256};
constexpr std::array<char, 3> kTypes = {'P', 'G', 'B'};

// What the first four input bytes choose; the rest are the pixels, repeated as needed.
struct Choice {
  int w;
  int h;
  char type;
  bool fft;  // "-lh" levels instead of the 2 x 2 box filter
  int rect_size;
  CR_CODING coding;
};

// The coding the head chooses, its quality and target from bytes the sizes use too.
CR_CODING coding_of(std::span<const uint8_t> head) {
  CR_CODING coding = cr_classic_coding();
  const int kind = head[3] / static_cast<int>(kRectSizes.size()) % 4;  // classic, a quality, efficient, a target
  if (kind == 0) return coding;
  coding.quality = 1 + (head[0] * 7 + head[1]) % 100;
  coding.efficient = kind >= 2 && (head[2] & 0x40) == 0;
  if (kind == 3) coding.target_psnr = 20 + head[1] % 41;
  return coding;
}

Choice choose(std::span<const uint8_t> head) {
  return Choice{kSmallestSide + head[0] % (kLargestSide - kSmallestSide + 1),
                kSmallestSide + head[1] % (kLargestSide - kSmallestSide + 1), kTypes[head[2] % kTypes.size()],
                (head[2] & 0x80) != 0, kRectSizes[head[3] % kRectSizes.size()], coding_of(head)};
}

int channels(char type) { return type == 'P' ? 3 : 1; }

// One level's pixels as r64_red gives them: `channels` bytes each, bits as 0 or 255.
struct Pixels {
  int w;
  int h;
  int channels;
  std::vector<uint8_t> bytes;

  uint8_t at(int x, int y, int c) const {
    x = std::clamp(x, 0, w - 1);  // beyond an odd edge, the nearest edge pixel
    y = std::clamp(y, 0, h - 1);
    return bytes[(static_cast<size_t>(y) * w + x) * channels + c];
  }
};

Pixels level_zero(const Choice& choice, std::span<const uint8_t> source) {
  Pixels level{choice.w, choice.h, channels(choice.type), {}};
  level.bytes.resize(static_cast<size_t>(level.w) * level.h * level.channels);
  for (size_t i = 0; i < level.bytes.size(); ++i) {
    uint8_t value = source.empty() ? 0 : source[i % source.size()];
    level.bytes[i] = choice.type == 'B' ? (value != 0 ? 255 : 0) : value;
  }
  return level;
}

Pixels box_filtered(const Pixels& from) {
  Pixels level{from.w / 2 + from.w % 2, from.h / 2 + from.h % 2, from.channels, {}};
  level.bytes.resize(static_cast<size_t>(level.w) * level.h * level.channels);
  for (int y = 0; y < level.h; ++y)
    for (int x = 0; x < level.w; ++x)
      for (int c = 0; c < level.channels; ++c) {
        int sum = from.at(2 * x, 2 * y, c) + from.at(2 * x + 1, 2 * y, c) + from.at(2 * x, 2 * y + 1, c) +
                  from.at(2 * x + 1, 2 * y + 1, c);
        level.bytes[(static_cast<size_t>(y) * level.w + x) * level.channels + c] = static_cast<uint8_t>(sum / 4);
      }
  return level;
}

Pixels read_level(R64_FILE* f, int k) {
  Pixels level{f->level_w[k], f->level_h[k], channels(f->header.type), {}};
  level.bytes.resize(static_cast<size_t>(level.w) * level.h * level.channels);
  for (int y = 0; y < level.h; ++y)
    for (int x = 0; x < level.w; ++x) {
      unsigned char pixel[3];
      FUZZ_CHECK(r64_red(pixel, f, x, y, k) == 0);
      std::copy_n(pixel, level.channels, &level.bytes[(static_cast<size_t>(y) * level.w + x) * level.channels]);
    }
  return level;
}

int laid_out_levels(const R64_FILE* f) {
  int levels = 0;
  while (levels < kLevels && f->level_ofs[levels] != 0) ++levels;
  return levels;
}

// Level 0 from the input, then every coarser level the file lays out, as the driver builds them.
void build_r64(const MemFile& file, const Choice& choice, std::span<const uint8_t> source) {
  file.truncate();
  R64_FILE* f = r64_open_file(file.path(), O_RDWR, 0644, choice.type, choice.w, choice.h);
  FUZZ_CHECK(f != nullptr);
  Pixels expected = level_zero(choice, source);
  for (int y = 0; y < choice.h; ++y)
    for (int x = 0; x < choice.w; ++x) {
      unsigned char pixel[3] = {};
      for (int c = 0; c < expected.channels; ++c) pixel[c] = expected.at(x, y, c);
      FUZZ_CHECK(r64_set(f, x, y, 0, pixel) == 0);
    }

  auto reduce = choice.fft ? r64_new_level_hifi_with : r64_new_level_with;
  int levels = laid_out_levels(f);
  int lev = 0;
  for (;; ++lev) {
    FUZZ_CHECK(r64_flush(f) == 0);
    if (reduce(f, lev, kFuzzThreads) != 0) break;
  }
  // The walk ends at the coarsest level or one past it, for want of a level to build.
  FUZZ_CHECK(r64_error == kR64NoLevel && lev >= levels - 1 && lev <= levels);
  FUZZ_CHECK(r64_flush(f) == 0);

  for (int k = 0; k < levels; ++k) {
    FUZZ_CHECK(r64_check_level(f, k) == 1);
    Pixels stored = read_level(f, k);
    // Bit levels and filtered ones have no exact rule to check here beyond level 0.
    if (k == 0 || (!choice.fft && choice.type != 'B')) FUZZ_CHECK(stored.bytes == expected.bytes);
    if (k + 1 < levels) expected = box_filtered(k == 0 ? expected : stored);
  }
  FUZZ_CHECK(r64_close_file(f) == 0);
}

// The pixels of a rebuilt region in the layout of an R64 level's pixels.
Pixels as_level_pixels(const std::vector<uint8_t>& rgb, int w, int h, int level_channels) {
  Pixels region{w, h, level_channels, {}};
  for (size_t i = 0; i < rgb.size(); i += 3) {
    if (level_channels == 1) FUZZ_CHECK(rgb[i] == rgb[i + 1] && rgb[i] == rgb[i + 2]);
    region.bytes.insert(region.bytes.end(), rgb.begin() + static_cast<long>(i),
                        rgb.begin() + static_cast<long>(i) + level_channels);
  }
  return region;
}

// Every rectangle of every level is in the table, stored as its size calls for, and rebuilds; the
// roots, stored as plain pixels, rebuild to the R64 pixels exactly.
void check_cr(const MemFile& file, const Choice& choice, R64_FILE* r64) {
  CR_FILE* cr = cr_open_file(file.path(), O_RDONLY, 0644, 0, 0, 0);
  FUZZ_CHECK(cr != nullptr);
  FUZZ_CHECK(cr->header.rect_size == choice.rect_size && cr->header.h.width == choice.w &&
             cr->header.h.height == choice.h);
  int levels = laid_out_levels(r64);
  for (int k = 0; k < kLevels; ++k) FUZZ_CHECK(cr_check_level(cr, k) == (k < levels ? 1 : 0));

  CR_REBUILDER* rb = cr_rebuild_open_with(cr, kFuzzThreads);
  FUZZ_CHECK(rb != nullptr);
  int side = choice.rect_size;
  for (int k = levels - 1; k >= 0; --k) {
    FUZZ_CHECK(cr->level_w[k] == r64->level_w[k] && cr->level_h[k] == r64->level_h[k]);
    Pixels original = read_level(r64, k);
    int columns = (cr->level_w[k] + side - 1) / side;
    for (int y = 0; y < cr->level_h[k]; y += side)
      for (int x = 0; x < cr->level_w[k]; x += side) {
        int w = std::min(side, cr->level_w[k] - x), h = std::min(side, cr->level_h[k] - y);
        CR_TBL entry;
        unsigned int index = static_cast<unsigned int>(cr->level_entry[k] + (y / side) * columns + x / side);
        FUZZ_CHECK(cr_read_tbl(&entry, cr, index, 1) == 0);
        FUZZ_CHECK(entry.ofs != 0 && entry.size != 0);
        const bool plain_allowed = choice.coding.target_psnr > 0;  // beyond what JPEG reaches
        FUZZ_CHECK(entry.type == (w < kMinJpegSide || h < kMinJpegSide ? 'n' : 'j') || (plain_allowed && entry.type == 'n'));

        std::vector<uint8_t> rgb(3 * static_cast<size_t>(w) * h);
        FUZZ_CHECK(cr_rebuild_region(rgb.data(), rb, x, y, w, h, k) == 0);
        if (k != levels - 1) continue;
        Pixels rebuilt = as_level_pixels(rgb, w, h, original.channels);
        for (int ry = 0; ry < h; ++ry)
          for (int rx = 0; rx < w; ++rx)
            for (int c = 0; c < original.channels; ++c) FUZZ_CHECK(rebuilt.at(rx, ry, c) == original.at(x + rx, y + ry, c));
      }
    CR_QUALITY quality;
    FUZZ_CHECK(cr_rebuild_quality(&quality, rb, r64, k) == 0);
    if (k == levels - 1) FUZZ_CHECK(std::isinf(quality.psnr));
    const CR_TARGET_REPORT report = cr_target_report();
    if (choice.coding.target_psnr > 0 && report.missed == 0) FUZZ_CHECK(quality.worst_psnr >= choice.coding.target_psnr);
    if (choice.coding.target_psnr > 0) FUZZ_CHECK(quality.worst_psnr >= report.worst_psnr);
  }
  cr_rebuild_close(rb);
  FUZZ_CHECK(cr_close_file(cr) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz_init();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const MemFile r64_file("r64_pack.r64");
  static const MemFile cr_file("r64_pack.cr");
  if (size < 4) return 0;
  std::span<const uint8_t> input(data, size);
  Choice choice = choose(input.first(4));
  build_r64(r64_file, choice, input.subspan(4));

  // Packed from a read-only handle, as "-cr" does.
  R64_FILE* r64 = r64_open_file(r64_file.path(), O_RDONLY, 0644, 'P', 0, 0);
  FUZZ_CHECK(r64 != nullptr);
  FUZZ_CHECK(cr_write_file_with(cr_file.path(), 0644, choice.rect_size, r64, &choice.coding, kFuzzThreads) == 0);
  check_cr(cr_file, choice, r64);
  FUZZ_CHECK(r64_close_file(r64) == 0);
  return 0;
}
