// Decodes the input as a JPEG stream with jpeg_uncompress (no allocation above 256 x 256 pixels
// whatever the frame claims, fourth bytes 0) and with jpeg_uncompress_into at the announced size,
// another size and a size from the first two bytes: it must agree with jpeg_uncompress and never
// write past the caller's buffer. Then compresses the input as a small image and decodes it back.
#include <sanitizer/allocator_interface.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <vector>

#include "fuzz_support.hpp"
#include "jpeg.hpp"

namespace {

constexpr size_t kLargestPixels = 256 * 256;  // the most jpeg_uncompress may allocate an image for
constexpr int kLargestSide = 256;
constexpr int kRoundTripSide = 64;
constexpr int kQuality = 80;
constexpr size_t kGuardBytes = 64;
constexpr uint8_t kGuard = 0xA5;
constexpr int kUniformTolerance = 6;  // a flat colour comes back this close, channel by channel

// The largest single allocation while a decoding runs, seen through the sanitizer's hooks.
struct AllocationWatch {
  bool on = false;
  size_t largest = 0;
};
AllocationWatch watch;

void note_allocation(const volatile void*, size_t size) {
  if (watch.on) watch.largest = std::max(watch.largest, size);
}
void note_release(const volatile void*) {}

// Runs a decoding and checks that nothing it allocated was larger than the largest image.
template <typename Decoding>
auto watched(Decoding decoding) {
  watch = AllocationWatch{true, 0};
  auto result = decoding();
  watch.on = false;
  FUZZ_CHECK(watch.largest <= 4 * kLargestPixels);
  return result;
}

struct Image {
  bool decoded = false;
  int w = 0;
  int h = 0;
  std::vector<uint8_t> pixels;  // 4 bytes each
};

bool same_colours(const Image& a, const Image& b) {
  if (a.w != b.w || a.h != b.h) return false;
  for (size_t i = 0; i < a.pixels.size(); i += 4)
    if (std::memcmp(&a.pixels[i], &b.pixels[i], 3) != 0) return false;
  return true;
}

Image uncompress(std::span<const uint8_t> stream) {
  Image image;
  int w = -1, h = -1;
  unsigned char* pixels =
      watched([&] { return jpeg_uncompress(&w, &h, stream.data(), static_cast<int>(stream.size())); });
  if (pixels == nullptr) return image;
  FUZZ_CHECK(w >= 1 && h >= 1 && static_cast<size_t>(w) * static_cast<size_t>(h) <= kLargestPixels);
  image = Image{true, w, h, std::vector<uint8_t>(pixels, pixels + 4 * static_cast<size_t>(w) * h)};
  std::free(pixels);
  for (size_t i = 3; i < image.pixels.size(); i += 4) FUZZ_CHECK(image.pixels[i] == 0);
  return image;
}

// jpeg_uncompress_into a buffer of exactly w x h pixels followed by guard bytes it must not touch.
Image uncompress_into(std::span<const uint8_t> stream, int w, int h) {
  size_t bytes = 4 * static_cast<size_t>(w) * static_cast<size_t>(h);
  std::vector<uint8_t> buffer(bytes + kGuardBytes, kGuard);
  bool decoded =
      watched([&] { return jpeg_uncompress_into(stream.data(), static_cast<int>(stream.size()), w, h, buffer.data()); });
  FUZZ_CHECK(std::all_of(buffer.begin() + static_cast<long>(bytes), buffer.end(), [](uint8_t b) { return b == kGuard; }));
  buffer.resize(bytes);
  return Image{decoded, w, h, std::move(buffer)};
}

// A stream that decodes into its announced size decodes the same whole.
void check_into_agrees(std::span<const uint8_t> stream, int w, int h) {
  Image into = uncompress_into(stream, w, h);
  if (!into.decoded) return;
  Image whole = uncompress(stream);
  FUZZ_CHECK(whole.decoded && same_colours(into, whole));
}

void check_stream(std::span<const uint8_t> stream) {
  Image whole = uncompress(stream);
  if (whole.decoded && whole.w <= kLargestSide && whole.h <= kLargestSide) {
    Image into = uncompress_into(stream, whole.w, whole.h);
    if (into.decoded) FUZZ_CHECK(same_colours(into, whole));
    // Any other size is refused.
    int other_w = whole.w % kLargestSide + 1;
    FUZZ_CHECK(!uncompress_into(stream, other_w, whole.h).decoded);
  }
}

// The input as a small image, compressed and decoded back: its size, and jpeg_uncompress_into
// agreeing. Fourth bytes are set, which the compressor must ignore.
void check_round_trip(std::span<const uint8_t> input) {
  int w = 1 + input[0] % kRoundTripSide, h = 1 + input[1] % kRoundTripSide;
  std::span<const uint8_t> source = input.subspan(2);
  std::vector<uint8_t> pixels(4 * static_cast<size_t>(w) * h);
  for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = i % 4 == 3 ? 0xFF : source[(i - i / 4) % source.size()];

  int length = 0;
  unsigned char* stream = jpeg_compress(&length, pixels.data(), w, h, kQuality);
  FUZZ_CHECK(stream != nullptr && length > 4);
  std::span<const uint8_t> coded(stream, static_cast<size_t>(length));
  FUZZ_CHECK(coded[0] == 0xFF && coded[1] == 0xD8 && coded[length - 2] == 0xFF && coded[length - 1] == 0xD9);
  Image whole = uncompress(coded);
  FUZZ_CHECK(whole.decoded && whole.w == w && whole.h == h);
  Image into = uncompress_into(coded, w, h);
  FUZZ_CHECK(into.decoded && same_colours(into, whole));
  std::free(stream);
}

// A flat image of the colour of bytes 2 to 4 keeps its colour, each channel in its place.
void check_flat_colour(std::span<const uint8_t> input) {
  constexpr int kSide = 8;
  std::vector<uint8_t> pixels(4 * kSide * kSide);
  for (size_t i = 0; i < pixels.size(); i += 4) {
    std::memcpy(&pixels[i], &input[2], 3);
    pixels[i + 3] = 0;
  }
  int length = 0;
  unsigned char* stream = jpeg_compress(&length, pixels.data(), kSide, kSide, kQuality);
  FUZZ_CHECK(stream != nullptr);
  Image whole = uncompress(std::span<const uint8_t>(stream, static_cast<size_t>(length)));
  std::free(stream);
  FUZZ_CHECK(whole.decoded && whole.w == kSide && whole.h == kSide);
  for (size_t i = 0; i < whole.pixels.size(); i += 4)
    for (int c = 0; c < 3; ++c) FUZZ_CHECK(std::abs(whole.pixels[i + c] - input[2 + c]) <= kUniformTolerance);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz_init();
  __sanitizer_install_malloc_and_free_hooks(note_allocation, note_release);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::span<const uint8_t> input(data, size);
  check_stream(input);
  if (size < 2) return 0;
  // The first two bytes as the size that the rest of the input must announce.
  check_into_agrees(input.subspan(2), 1 + input[0], 1 + input[1]);
  if (size < 5) return 0;
  check_round_trip(input);
  check_flat_colour(input);
  return 0;
}
