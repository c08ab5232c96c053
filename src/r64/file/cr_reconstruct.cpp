// The reconstruction rule of CR files, shared by the writer and the reader: each parent pixel
// predicts a 2 x 2 block of its child's pixels, and a child pixel is that prediction plus the
// residual its coded sample stands for, clamped to 0..255.
#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#ifdef __SSE2__
#include <emmintrin.h>
#endif
#include <cmath>
#include <cstring>
#include <limits>

#include "cr_internal.hpp"

namespace {

using cr_internal::put_pixel;

size_t pixel_count(const CR_BUFFER& rect) { return static_cast<size_t>(rect.w_len) * static_cast<size_t>(rect.h_len); }

// Every sum of a predicted byte (0..255) and a residual (cr_inv_cal of a sample and an offset),
// clamped to 0..255.
constexpr int kLowestRebuilt = cr_internal::residual_of_sample(0) - 127;
constexpr int kHighestRebuilt = 255 + cr_internal::residual_of_sample(255) + 128;
constexpr auto kClamped = [] {
  std::array<unsigned char, kHighestRebuilt - kLowestRebuilt + 1> table{};
  for (int v = kLowestRebuilt; v <= kHighestRebuilt; ++v) table[v - kLowestRebuilt] = static_cast<unsigned char>(std::clamp(v, 0, 255));
  return table;
}();

// Samples inside the identity band stand for their residual plus the offset, so a rebuilt byte is
// the predicted byte plus the sample less the offset, clamped. Four pixels at a time, when all
// their samples lie in the band, take that path in vector code; the others go through the tables.
#ifdef __SSE2__
class BandGroup {
 public:
  explicit BandGroup(const cr_internal::Offsets& cal)
      : offset_(_mm_setr_epi16(cal[0], cal[1], cal[2], 0, cal[0], cal[1], cal[2], 0)),
        colour_(_mm_set1_epi32(std::endian::native == std::endian::little ? 0x00FFFFFF : static_cast<int>(0xFFFFFF00))) {}

  // Rebuilds four pixels (fourth bytes 0) from the two parent pixels that predict them; false,
  // writing nothing, when a sample lies outside the band.
  bool rebuild(unsigned char* out, const unsigned char* up, const unsigned char* decoded) const {
    const __m128i zero = _mm_setzero_si128();
    __m128i samples = _mm_loadu_si128(reinterpret_cast<const __m128i*>(decoded));
    __m128i above = _mm_subs_epu8(_mm_sub_epi8(samples, _mm_set1_epi8(cr_internal::kBandLow)),
                                  _mm_set1_epi8(static_cast<char>(cr_internal::kBandHigh - cr_internal::kBandLow)));
    if (_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_and_si128(above, colour_), zero)) != 0xFFFF) return false;
    __m128i two = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(up));
    __m128i parent = _mm_unpacklo_epi32(two, two);  // each parent pixel twice
    __m128i low = _mm_sub_epi16(_mm_add_epi16(_mm_unpacklo_epi8(parent, zero), _mm_unpacklo_epi8(samples, zero)), offset_);
    __m128i high = _mm_sub_epi16(_mm_add_epi16(_mm_unpackhi_epi8(parent, zero), _mm_unpackhi_epi8(samples, zero)), offset_);
    __m128i rebuilt = _mm_and_si128(_mm_packus_epi16(low, high), colour_);  // packing clamps to 0..255
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), rebuilt);
    return true;
  }

 private:
  __m128i offset_;
  __m128i colour_;
};
#else
struct BandGroup {
  explicit BandGroup(const cr_internal::Offsets&) {}
  bool rebuild(unsigned char*, const unsigned char*, const unsigned char*) const { return false; }
};
#endif

}  // namespace

namespace cr_internal {

// The parent's prediction of every pixel of a child rectangle, laid out as the child's own
// pixels: each parent pixel predicts a 2 x 2 block of child pixels. Children start on even
// columns and rows, so child pixel x of a row takes parent pixel x / 2 of the matching row.
void predict(const CR_BUFFER& parent, const CR_BUFFER& rect, unsigned char* predicted) {
  int first_column = (rect.w_ofs >> 1) - parent.w_ofs;
  size_t row_bytes = 4 * static_cast<size_t>(rect.w_len);
  for (int y = 0; y < rect.h_len; ++y) {
    unsigned char* out = predicted + y * row_bytes;
    if (y % 2 == 1) {  // odd rows repeat the row above: both take the same parent row
      std::memcpy(out, out - row_bytes, row_bytes);
      continue;
    }
    int parent_row = ((rect.h_ofs + y) >> 1) - parent.h_ofs;
    const unsigned char* in = parent.buf + 4 * (static_cast<size_t>(parent_row) * parent.w_len + first_column);
    int x = 0;
#ifdef __SSE2__
    for (; x + 4 <= rect.w_len; x += 4, in += 8) {  // two parent pixels, each twice
      __m128i two = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(in));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 4 * x), _mm_unpacklo_epi32(two, two));
    }
#endif
    for (; x < rect.w_len; x += 2, in += 4) {
      std::memcpy(out + 4 * x, in, 4);
      if (x + 1 < rect.w_len) std::memcpy(out + 4 * x + 4, in, 4);
    }
  }
}

void rebuild(CR_BUFFER& rect, const CR_BUFFER* parent, const unsigned char* decoded, const Offsets& cal) {
  if (parent == nullptr) {
    for (size_t i = 0; i < 4 * pixel_count(rect); i += 4) put_pixel(rect.buf + i, decoded[i], decoded[i + 1], decoded[i + 2]);
    return;
  }
  // Residuals of every sample, shifted so that a sum indexes kClamped directly.
  std::array<std::array<int, 256>, kChannels> residual_of;
  for (int c = 0; c < kChannels; ++c)
    for (int s = 0; s < 256; ++s) residual_of[c][s] = cr_inv_cal(s, cal[c]) - kLowestRebuilt;
  auto rebuild_pixel = [&](unsigned char* out, const unsigned char* up, const unsigned char* in) {
    put_pixel(out, kClamped[up[0] + residual_of[0][in[0]]], kClamped[up[1] + residual_of[1][in[1]]],
              kClamped[up[2] + residual_of[2][in[2]]]);
  };
  const BandGroup band(cal);
  const int first_column = (rect.w_ofs >> 1) - parent->w_ofs;
  for (int y = 0; y < rect.h_len; ++y) {
    // Children start on even columns and rows: child pixel x takes parent pixel x / 2 of the row.
    const int parent_row = ((rect.h_ofs + y) >> 1) - parent->h_ofs;
    const unsigned char* up = parent->buf + 4 * (static_cast<size_t>(parent_row) * parent->w_len + first_column);
    const size_t row = 4 * static_cast<size_t>(y) * rect.w_len;
    unsigned char* out = rect.buf + row;
    const unsigned char* in = decoded + row;
    int x = 0;
    for (; x + 4 <= rect.w_len; x += 4)
      if (!band.rebuild(out + 4 * x, up + 2 * x, in + 4 * x))
        for (int k = x; k < x + 4; ++k) rebuild_pixel(out + 4 * k, up + 4 * (k / 2), in + 4 * k);
    for (; x < rect.w_len; ++x) rebuild_pixel(out + 4 * x, up + 4 * (x / 2), in + 4 * x);
  }
}

}  // namespace cr_internal

namespace cr_internal {

double psnr_of(double squared_error, double samples) {
  if (squared_error == 0) return std::numeric_limits<double>::infinity();
  return 10 * std::log10(255.0 * 255.0 * samples / squared_error);
}

uint64_t squared_error(const CR_BUFFER& rebuilt, const unsigned char* source) {
  uint64_t sum = 0;
  size_t bytes = 4 * pixel_count(rebuilt);
  for (size_t i = 0; i < bytes; ++i) {
    int d = rebuilt.buf[i] - source[i];
    sum += static_cast<uint64_t>(d * d);  // the fourth bytes are 0 on both sides
  }
  return sum;
}

double rect_psnr(const CR_BUFFER& rebuilt, const unsigned char* source) {
  return psnr_of(static_cast<double>(squared_error(rebuilt, source)), 3.0 * static_cast<double>(pixel_count(rebuilt)));
}

}  // namespace cr_internal
