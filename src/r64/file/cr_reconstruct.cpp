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
#include <cstring>

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
constexpr size_t kGroupBytes = 16;

#ifdef __SSE2__
class BandGroup {
 public:
  explicit BandGroup(const cr_internal::Offsets& cal)
      : offset_(_mm_setr_epi16(cal[0], cal[1], cal[2], 0, cal[0], cal[1], cal[2], 0)),
        colour_(_mm_set1_epi32(std::endian::native == std::endian::little ? 0x00FFFFFF : static_cast<int>(0xFFFFFF00))) {}

  // Rebuilds 16 bytes (four pixels, fourth bytes 0); false, writing nothing, when a sample lies
  // outside the band.
  bool rebuild(unsigned char* out, const unsigned char* predicted, const unsigned char* decoded) const {
    const __m128i zero = _mm_setzero_si128();
    __m128i samples = _mm_loadu_si128(reinterpret_cast<const __m128i*>(decoded));
    __m128i above = _mm_subs_epu8(_mm_sub_epi8(samples, _mm_set1_epi8(cr_internal::kBandLow)),
                                  _mm_set1_epi8(static_cast<char>(cr_internal::kBandHigh - cr_internal::kBandLow)));
    if (_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_and_si128(above, colour_), zero)) != 0xFFFF) return false;
    __m128i parent = _mm_loadu_si128(reinterpret_cast<const __m128i*>(predicted));
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
    for (int x = 0; x < rect.w_len; x += 2, in += 4) {
      std::memcpy(out + 4 * x, in, 4);
      if (x + 1 < rect.w_len) std::memcpy(out + 4 * x + 4, in, 4);
    }
  }
}

// Rebuilds the rectangle's pixels from its decoded samples, as a reader does: the predicted
// pixel plus the residual, clamped to 0..255, or the decoded pixel itself for a root.
void rebuild(CR_BUFFER& rect, const unsigned char* predicted, const unsigned char* decoded, const Offsets& cal) {
  size_t pixels = pixel_count(rect);
  if (predicted == nullptr) {
    if (decoded != rect.buf) std::copy(decoded, decoded + 4 * pixels, rect.buf);
    return;
  }
  // Residuals of every sample, shifted so that a sum indexes kClamped directly.
  std::array<std::array<int, 256>, kChannels> residual_of;
  for (int c = 0; c < kChannels; ++c)
    for (int s = 0; s < 256; ++s) residual_of[c][s] = cr_inv_cal(s, cal[c]) - kLowestRebuilt;
  auto rebuild_pixel = [&](size_t i) {
    put_pixel(rect.buf + i, kClamped[predicted[i] + residual_of[0][decoded[i]]],
              kClamped[predicted[i + 1] + residual_of[1][decoded[i + 1]]],
              kClamped[predicted[i + 2] + residual_of[2][decoded[i + 2]]]);
  };
  const BandGroup band(cal);
  size_t i = 0;
  for (; i + kGroupBytes <= 4 * pixels; i += kGroupBytes)
    if (!band.rebuild(rect.buf + i, predicted + i, decoded + i))
      for (size_t k = i; k < i + kGroupBytes; k += 4) rebuild_pixel(k);
  for (; i < 4 * pixels; i += 4) rebuild_pixel(i);
}

}  // namespace cr_internal
