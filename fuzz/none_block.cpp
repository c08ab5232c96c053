// none_uncompress on the input: a block is refused exactly when it is shorter than its header's
// size calls for, and otherwise gives its pixels with fourth bytes 0. Then none_compress of the
// input as an image, and back: the same red, green and blue, whatever the fourth bytes held.
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "fuzz_support.hpp"

namespace {

constexpr size_t kHeader = 2;  // width - 1 and height - 1

void check_decode(std::span<const uint8_t> block) {
  int w = -1, h = -1;
  unsigned char* pixels = none_uncompress(&w, &h, block.data(), static_cast<int>(block.size()));
  if (block.size() < kHeader) {
    FUZZ_CHECK(pixels == nullptr);
    return;
  }
  size_t count = static_cast<size_t>(block[0] + 1) * static_cast<size_t>(block[1] + 1);
  if (block.size() < kHeader + 3 * count) {
    FUZZ_CHECK(pixels == nullptr);
    return;
  }
  FUZZ_CHECK(pixels != nullptr && w == block[0] + 1 && h == block[1] + 1);
  for (size_t i = 0; i < count; ++i)
    for (int c = 0; c < 4; ++c) FUZZ_CHECK(pixels[4 * i + c] == (c < 3 ? block[kHeader + 3 * i + c] : 0));
  std::free(pixels);
}

// The image's sides come from the first two bytes, its pixels from the input over and over.
void check_round_trip(std::span<const uint8_t> input) {
  int w = input[0] + 1, h = input[1] + 1;
  std::vector<uint8_t> image(4 * static_cast<size_t>(w) * h);
  for (size_t i = 0; i < image.size(); ++i) image[i] = input[i % input.size()];

  int size = 0;
  unsigned char* block = none_compress(&size, image.data(), w, h);
  FUZZ_CHECK(block != nullptr && static_cast<size_t>(size) == kHeader + 3 * static_cast<size_t>(w) * h);
  int back_w = -1, back_h = -1;
  unsigned char* back = none_uncompress(&back_w, &back_h, block, size);
  FUZZ_CHECK(back != nullptr && back_w == w && back_h == h);
  for (size_t i = 0; i < image.size(); ++i) FUZZ_CHECK(back[i] == (i % 4 == 3 ? 0 : image[i]));
  std::free(back);
  std::free(block);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz_init();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::span<const uint8_t> input(data, size);
  check_decode(input);
  if (size >= kHeader) check_round_trip(input);
  return 0;
}
