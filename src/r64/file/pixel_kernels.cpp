// The pixel loops that have vector versions, each beside its plain version: spreading 3-byte
// pixels to 4 (SSSE3 byte shuffles, where the processor has them), coding residuals into samples,
// predicting a child from its parent and rebuilding it (SSE2, in every x86-64 processor). The vector
// versions take four pixels at a time where all of them lie in the band where coded samples are the
// residual plus the offset, and leave the others to the plain per-pixel code, so both give the same
// bytes.
#include "pixel_kernels.hpp"

#include <algorithm>
#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

#include "cr_internal.hpp"

namespace kernels {

namespace {

using cr_internal::kChannels;

size_t pixel_count(const CR_BUFFER& rect) { return static_cast<size_t>(rect.w_len) * static_cast<size_t>(rect.h_len); }

// ---- Spreading 3-byte pixels ----

// Copies a 3-byte pixel that another byte follows, with one read and one write.
void put_pixel_of_word(unsigned char* out, const unsigned char* in) {
  uint32_t word;
  std::memcpy(&word, in, 4);
  word &= std::endian::native == std::endian::little ? 0x00FFFFFFu : 0xFFFFFF00u;
  std::memcpy(out, &word, 4);
}

// Reads stay inside the row: every read of four bytes is followed by the next pixel, and the last
// pixel goes alone.
void spread_pixels_plain(const unsigned char* in, unsigned char* out, int count) {
  int x = 0;
  for (; x + 1 < count; ++x, in += 3, out += 4) put_pixel_of_word(out, in);
  for (; x < count; ++x, in += 3, out += 4) put_pixel(out, in[0], in[1], in[2]);
}

#if defined(__x86_64__) || defined(__i386__)
// Four pixels per byte shuffle. A read of 16 bytes covers five pixels and a byte of a sixth, so the
// vector loop stops while six pixels remain.
[[gnu::target("ssse3")]] void spread_pixels_shuffled(const unsigned char* in, unsigned char* out, int count) {
  const __m128i spread = _mm_setr_epi8(0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1);
  int x = 0;
  for (; x + 6 <= count; x += 4, in += 12, out += 16)
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out),
                     _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in)), spread));
  spread_pixels_plain(in, out, count - x);
}
#endif

// ---- Coding residuals ----

constexpr int kMaxResidual = 255;  // residuals lie in -255..255

// Coded samples of every sum of a residual (-255..255) and an offset (-128..127).
constexpr int kLowestSum = -kMaxResidual - 128;
constexpr auto kCodedSamples = [] {
  std::array<unsigned char, 2 * kMaxResidual + 256> table{};
  for (int t = kLowestSum; t < kLowestSum + static_cast<int>(table.size()); ++t)
    table[t - kLowestSum] = static_cast<unsigned char>(cr_internal::coded_sample(t) & 0xff);
  return table;
}();

// Pixel bytes are taken in groups of 16 (four pixels).
constexpr size_t kGroup = 16;

// Codes pixels one by one through the tables.
class PixelCoder {
 public:
  explicit PixelCoder(const Offsets& cal) {
    for (int c = 0; c < kChannels; ++c) coded_[c] = &kCodedSamples[cal[c] - kLowestSum];
  }
  void code(unsigned char* pixel, const unsigned char* guess) const {
    put_pixel(pixel, coded_[0][pixel[0] - guess[0]], coded_[1][pixel[1] - guess[1]], coded_[2][pixel[2] - guess[2]]);
  }

 private:
  std::array<const unsigned char*, kChannels> coded_;
};

void code_residuals_plain(CR_BUFFER& rect, const unsigned char* predicted, const Offsets& cal) {
  const PixelCoder coder(cal);
  for (size_t i = 0; i < 4 * pixel_count(rect); i += 4) coder.code(rect.buf + i, predicted + i);
}

// ---- Rebuilding ----

// Every sum of a predicted byte (0..255) and a residual (cr_inv_cal of a sample and an offset),
// clamped to 0..255.
constexpr int kLowestRebuilt = cr_internal::residual_of_sample(0) - 127;
constexpr int kHighestRebuilt = 255 + cr_internal::residual_of_sample(255) + 128;
constexpr auto kClamped = [] {
  std::array<unsigned char, kHighestRebuilt - kLowestRebuilt + 1> table{};
  for (int v = kLowestRebuilt; v <= kHighestRebuilt; ++v) table[v - kLowestRebuilt] = static_cast<unsigned char>(std::clamp(v, 0, 255));
  return table;
}();

// Rebuilds pixels one by one through the tables.
class PixelRebuilder {
 public:
  explicit PixelRebuilder(const Offsets& cal) {
    // Residuals of every sample, shifted so that a sum indexes kClamped directly.
    for (int c = 0; c < kChannels; ++c)
      for (int s = 0; s < 256; ++s) residual_of_[c][s] = cr_inv_cal(s, cal[c]) - kLowestRebuilt;
  }
  void rebuild(unsigned char* out, const unsigned char* up, const unsigned char* in) const {
    put_pixel(out, kClamped[up[0] + residual_of_[0][in[0]]], kClamped[up[1] + residual_of_[1][in[1]]],
              kClamped[up[2] + residual_of_[2][in[2]]]);
  }

 private:
  std::array<std::array<int, 256>, kChannels> residual_of_;
};

// Children start on even columns and rows: child pixel x of a row takes parent pixel x / 2 of the
// parent row that rebuilds child row y.
const unsigned char* parent_row(const CR_BUFFER& parent, const CR_BUFFER& rect, int y) {
  const int row = ((rect.h_ofs + y) >> 1) - parent.h_ofs;
  const int first_column = (rect.w_ofs >> 1) - parent.w_ofs;
  return parent.buf + 4 * (static_cast<size_t>(row) * parent.w_len + first_column);
}

// Calls row_kernel(out, up, in, x) for each row, x the first pixel it left to the per-pixel code.
template <typename RowKernel>
void rebuild_rows(CR_BUFFER& rect, const CR_BUFFER& parent, const unsigned char* decoded, const Offsets& cal,
                  RowKernel row_kernel) {
  const PixelRebuilder rebuilder(cal);
  for (int y = 0; y < rect.h_len; ++y) {
    const unsigned char* up = parent_row(parent, rect, y);
    const size_t row = 4 * static_cast<size_t>(y) * rect.w_len;
    unsigned char* out = rect.buf + row;
    const unsigned char* in = decoded + row;
    for (int x = row_kernel(out, up, in, rebuilder); x < rect.w_len; ++x)
      rebuilder.rebuild(out + 4 * x, up + 4 * (x / 2), in + 4 * x);
  }
}

void rebuild_child_plain(CR_BUFFER& rect, const CR_BUFFER& parent, const unsigned char* decoded, const Offsets& cal) {
  rebuild_rows(rect, parent, decoded, cal, [](unsigned char*, const unsigned char*, const unsigned char*, const PixelRebuilder&) { return 0; });
}

// ---- Predicting ----

// Odd rows repeat the row above: both take the same parent row. Calls double_row(out, in, count)
// for each even row.
template <typename DoubleRow>
void predict_rows(const CR_BUFFER& parent, const CR_BUFFER& rect, unsigned char* predicted, DoubleRow double_row) {
  const size_t row_bytes = 4 * static_cast<size_t>(rect.w_len);
  for (int y = 0; y < rect.h_len; ++y) {
    unsigned char* out = predicted + y * row_bytes;
    if (y % 2 == 1)
      std::memcpy(out, out - row_bytes, row_bytes);
    else
      double_row(out, parent_row(parent, rect, y), rect.w_len);
  }
}

// Child pixels x .. count - 1 of a row from parent pixels x / 2 on.
void double_pixels(unsigned char* out, const unsigned char* in, int x, int count) {
  for (; x < count; x += 2, in += 4) {
    std::memcpy(out + 4 * x, in, 4);
    if (x + 1 < count) std::memcpy(out + 4 * x + 4, in, 4);
  }
}

void predict_plain(const CR_BUFFER& parent, const CR_BUFFER& rect, unsigned char* predicted) {
  predict_rows(parent, rect, predicted, [](unsigned char* out, const unsigned char* in, int count) { double_pixels(out, in, 0, count); });
}

#ifdef __SSE2__
// Coded samples inside the identity band are the residual plus the offset: four pixels whose sums
// all lie in the band are coded at once.
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

void code_residuals_sse2(CR_BUFFER& rect, const unsigned char* predicted, const Offsets& cal) {
  const PixelCoder coder(cal);
  const BandCoder band(cal);
  const size_t bytes = 4 * pixel_count(rect);
  size_t i = 0;
  for (; i + kGroup <= bytes; i += kGroup)
    if (!band.code(rect.buf + i, predicted + i))
      for (size_t k = i; k < i + kGroup; k += 4) coder.code(rect.buf + k, predicted + k);
  for (; i < bytes; i += 4) coder.code(rect.buf + i, predicted + i);
}

// A rebuilt byte inside the identity band is the predicted byte plus the sample less the offset,
// clamped: four pixels whose samples all lie in the band are rebuilt at once.
class BandGroup {
 public:
  explicit BandGroup(const Offsets& cal)
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

void rebuild_child_sse2(CR_BUFFER& rect, const CR_BUFFER& parent, const unsigned char* decoded, const Offsets& cal) {
  const BandGroup band(cal);
  const int w = rect.w_len;
  rebuild_rows(rect, parent, decoded, cal,
               [&](unsigned char* out, const unsigned char* up, const unsigned char* in, const PixelRebuilder& rebuilder) {
                 int x = 0;
                 for (; x + 4 <= w; x += 4)
                   if (!band.rebuild(out + 4 * x, up + 2 * x, in + 4 * x))
                     for (int k = x; k < x + 4; ++k) rebuilder.rebuild(out + 4 * k, up + 4 * (k / 2), in + 4 * k);
                 return x;
               });
}

void predict_sse2(const CR_BUFFER& parent, const CR_BUFFER& rect, unsigned char* predicted) {
  predict_rows(parent, rect, predicted, [](unsigned char* out, const unsigned char* in, int count) {
    int x = 0;
    for (; x + 4 <= count; x += 4, in += 8) {  // two parent pixels, each twice
      __m128i two = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(in));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 4 * x), _mm_unpacklo_epi32(two, two));
    }
    double_pixels(out, in, x, count);
  });
}
#endif

PixelKernels choose() {
  PixelKernels k{spread_pixels_plain, code_residuals_plain, predict_plain, rebuild_child_plain};
#ifdef __SSE2__
  k.code_residuals = code_residuals_sse2;
  k.predict = predict_sse2;
  k.rebuild_child = rebuild_child_sse2;
#endif
#if defined(__x86_64__) || defined(__i386__)
  if (__builtin_cpu_supports("ssse3")) k.spread_pixels = spread_pixels_shuffled;
#endif
  return k;
}

}  // namespace

const PixelKernels& pixel_kernels() {
  static const PixelKernels chosen = choose();
  return chosen;
}

}  // namespace kernels
