// Opens the input bytes as an R64 file, read-only, and reads a bounded sample of pixels of every
// level it lays out. Each is checked against the tile layout worked out here: a pixel of a tile
// wholly in the file is its byte, a tile cut short or beyond the end is refused, a read beyond the
// level's edge gives the nearest edge pixel, and r64_plane hands out the tile's bytes.
#include <fcntl.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <span>
#include <utility>
#include <vector>

#include "fuzz_support.hpp"

namespace {

// Where one level lies in the file, in 64 bits whatever the library uses.
struct Level {
  uint64_t offset;
  int w;
  int h;
};

// Where a pixel lies: its tile's first byte and length, the pixel's byte and, for 'B', its bit.
struct Place {
  uint64_t tile_start;
  uint64_t tile_bytes;
  uint64_t byte;
  uint8_t mask;
};

int bytes_per_pixel(char type) { return type == 'P' ? 3 : 1; }

// Levels follow level 0, each half the one before (odd sizes rounded up), while both sides are at
// least 3; each reserves w * h pixels of its type ('B' one byte a pixel).
std::vector<Level> layout(char type, int w, int h) {
  std::vector<Level> levels;
  uint64_t offset = sizeof(R64_HEADER);
  while (static_cast<int>(levels.size()) < kLevels && w >= 3 && h >= 3) {
    levels.push_back(Level{offset, w, h});
    offset += static_cast<uint64_t>(bytes_per_pixel(type)) * static_cast<uint64_t>(w) * static_cast<uint64_t>(h);
    w = w / 2 + w % 2;
    h = h / 2 + h % 2;
  }
  return levels;
}

// A level is stored in bands of 64 rows, each band tile after tile, each tile row after row.
Place place_of(char type, const Level& level, int x, int y) {
  int tx = x - x % kTileSide, ty = y - y % kTileSide;
  int tw = std::min(kTileSide, level.w - tx), th = std::min(kTileSide, level.h - ty);
  if (type == 'B') {
    uint64_t row_bytes = static_cast<uint64_t>(level.w + 7) / 8;
    uint64_t stride = static_cast<uint64_t>(tw + 7) / 8;
    uint64_t start = level.offset + ty * row_bytes + static_cast<uint64_t>(tx / kTileSide) * th * (kTileSide / 8);
    return Place{start, stride * th, start + (y - ty) * stride + (x - tx) / 8, static_cast<uint8_t>(0x80 >> (x % 8))};
  }
  uint64_t bpp = static_cast<uint64_t>(bytes_per_pixel(type));
  uint64_t start = level.offset + bpp * (static_cast<uint64_t>(ty) * level.w + static_cast<uint64_t>(tx) * th);
  return Place{start, bpp * tw * th, start + bpp * (static_cast<uint64_t>(y - ty) * tw + (x - tx)), 0};
}

class Checker {
 public:
  Checker(R64_FILE* f, std::span<const uint8_t> input, std::vector<Level> levels)
      : f_(f), input_(input), type_(f->header.type), levels_(std::move(levels)) {}

  void check_level(int k) {
    const Level& level = levels_[static_cast<size_t>(k)];
    FUZZ_CHECK(f_->level_ofs[k] == level.offset && f_->level_w[k] == level.w && f_->level_h[k] == level.h);
    // A level is there once the file reaches the end of its last tile; bit tiles fill ceil(w / 8)
    // bytes a row of the w reserved.
    uint64_t row_bytes = type_ == 'B' ? (static_cast<uint64_t>(level.w) + 7) / 8
                                      : static_cast<uint64_t>(bytes_per_pixel(type_)) * level.w;
    uint64_t end = level.offset + row_bytes * level.h;
    FUZZ_CHECK(r64_check_level(f_, k) == (end <= input_.size() ? 1 : 0));

    std::vector<int> xs = positions(level.w), ys = positions(level.h);
    for (int y : ys)
      for (int x : xs) check_pixel(k, x, y);
    // Beyond each edge, and beyond a corner.
    for (int y : {-1, level.h, level.h + 1000})
      for (int x : {xs.front(), xs.back()}) check_pixel(k, x, y);
    for (int x : {-1, -1000, level.w})
      for (int y : {ys.front(), ys.back()}) check_pixel(k, x, y);
    for (int x : {xs.front(), xs.back()})
      for (int y : {ys.front(), ys.back()}) check_plane(k, x, y);
  }

 private:
  // A bounded sample: the edges, both sides of the first tile boundary and the middle.
  static std::vector<int> positions(int n) {
    std::vector<int> at;
    for (int p : {0, 1, kTileSide - 1, kTileSide, kTileSide + 1, n / 2, n - 2, n - 1})
      if (p >= 0 && p < n && std::find(at.begin(), at.end(), p) == at.end()) at.push_back(p);
    return at;
  }

  // The r64_error a read of a tile gives: 0 when the file holds all of it.
  int tile_verdict(const Place& place) const {
    if (place.tile_start + place.tile_bytes <= input_.size()) return kR64Ok;
    return place.tile_start < input_.size() ? kR64Short : kR64ReadOnly;
  }

  void check_pixel(int k, int x, int y) {
    const Level& level = levels_[static_cast<size_t>(k)];
    // The handle's default out-of-range mode answers with the nearest edge pixel.
    Place place = place_of(type_, level, std::clamp(x, 0, level.w - 1), std::clamp(y, 0, level.h - 1));
    int verdict = tile_verdict(place);
    unsigned char pixel[3] = {};
    int result = r64_red(pixel, f_, x, y, k);
    FUZZ_CHECK(result == (verdict == kR64Ok ? 0 : -1));
    if (result < 0) {
      FUZZ_CHECK(r64_error == verdict);
      return;
    }
    if (type_ == 'B') {
      FUZZ_CHECK(pixel[0] == ((input_[place.byte] & place.mask) ? 255 : 0));
      return;
    }
    for (int c = 0; c < bytes_per_pixel(type_); ++c) FUZZ_CHECK(pixel[c] == input_[place.byte + c]);
  }

  void check_plane(int k, int x, int y) {
    Place place = place_of(type_, levels_[static_cast<size_t>(k)], x, y);
    unsigned char* data = nullptr;
    int w = 0, h = 0, size = 0;
    int result = r64_plane(&data, &w, &h, &size, f_, x, y, k);
    if (tile_verdict(place) != kR64Ok) {
      FUZZ_CHECK(result == -1);
      return;
    }
    FUZZ_CHECK(result == 0 && data != nullptr);
    FUZZ_CHECK(w >= 1 && w <= kTileSide && h >= 1 && h <= kTileSide);
    FUZZ_CHECK(static_cast<uint64_t>(size) == place.tile_bytes);
    FUZZ_CHECK(std::memcmp(data, input_.data() + place.tile_start, place.tile_bytes) == 0);
  }

  R64_FILE* f_;
  std::span<const uint8_t> input_;
  char type_;
  std::vector<Level> levels_;
};

int16_t big_endian_16(const uint8_t* p) { return static_cast<int16_t>(p[0] << 8 | p[1]); }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz_init();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const MemFile file("r64_file");
  std::span<const uint8_t> input(data, size);
  file.assign(input);

  bool valid = size >= sizeof(R64_HEADER) && std::memcmp(data, "R64", 3) == 0 &&
               (data[3] == 'B' || data[3] == 'G' || data[3] == 'P') && big_endian_16(data + 4) != 0 &&
               big_endian_16(data + 6) != 0;
  R64_FILE* f = r64_open_file(file.path(), O_RDONLY, 0644, 'P', 0, 0);
  FUZZ_CHECK((f != nullptr) == valid);
  if (f == nullptr) return 0;
  FUZZ_CHECK(f->header.type == static_cast<char>(data[3]));
  FUZZ_CHECK(f->header.width == big_endian_16(data + 4) && f->header.height == big_endian_16(data + 6));

  std::vector<Level> levels = layout(f->header.type, f->header.width, f->header.height);
  for (int k = static_cast<int>(levels.size()); k < kLevels; ++k) FUZZ_CHECK(f->level_ofs[k] == 0);
  Checker checker(f, input, levels);
  for (int k = 0; k < static_cast<int>(levels.size()); ++k) checker.check_level(k);

  FUZZ_CHECK(r64_close_file(f) == 0);
  // A read-only handle writes nothing.
  FUZZ_CHECK(file.bytes() == std::vector<uint8_t>(input.begin(), input.end()));
  return 0;
}
