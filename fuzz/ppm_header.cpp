// read_header on a file made of the input bytes. An accepted header must agree with a plain reading
// of its own text (magic, numbers, comments, one whitespace byte before the pixels), leave the
// descriptor at pi_offset, read the same again, and give the file's bytes through read_pixel.
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.hpp"
#include "ppmlib_types.hpp"

namespace {

constexpr unsigned int kLargestReadWidth = 4096;  // widest image whose pixels are read back
constexpr unsigned int kRowsRead = 6;

bool is_space(uint8_t c) { return c == '\t' || c == '\n' || c == '\r' || c == ' '; }

// The header text read token by token, independently of the library.
class HeaderText {
 public:
  explicit HeaderText(std::span<const uint8_t> bytes) : bytes_(bytes) {}

  std::string next_token() {
    skip_space_and_comments();
    std::string token;
    while (at_ < bytes_.size() && !is_space(bytes_[at_]) && bytes_[at_] != '#') token += static_cast<char>(bytes_[at_++]);
    return token;
  }
  size_t position() const { return at_; }

 private:
  void skip_space_and_comments() {
    while (at_ < bytes_.size()) {
      if (is_space(bytes_[at_])) {
        ++at_;
      } else if (bytes_[at_] == '#') {
        while (at_ < bytes_.size() && bytes_[at_] != '\n' && bytes_[at_] != '\r') ++at_;
        ++at_;  // the byte that ends the comment
      } else {
        return;
      }
    }
  }

  std::span<const uint8_t> bytes_;
  size_t at_ = 0;
};

long number_of(const std::string& token) { return std::strtol(token.c_str(), nullptr, 0); }

// The fields the library found against those of a plain reading of the input.
void check_fields(const PPM_INFO& pi, std::span<const uint8_t> input) {
  FUZZ_CHECK(pi.pi_offset >= 1 && pi.pi_offset <= input.size() && pi.pi_offset < kPpmHeaderText);
  FUZZ_CHECK(::lseek(pi.pi_fd, 0, SEEK_CUR) == static_cast<off_t>(pi.pi_offset));

  HeaderText text(input.first(pi.pi_offset));
  std::string magic = text.next_token();
  FUZZ_CHECK(!magic.empty() && magic.size() < sizeof pi.pi_type);
  FUZZ_CHECK(std::memcmp(pi.pi_type, magic.data(), magic.size()) == 0 && pi.pi_type[magic.size()] == '\0');
  bool has_max = std::string_view(magic).substr(0, 2) != "P4";
  FUZZ_CHECK(number_of(text.next_token()) == static_cast<long>(pi.pi_width));
  FUZZ_CHECK(number_of(text.next_token()) == static_cast<long>(pi.pi_height));
  if (has_max) FUZZ_CHECK(number_of(text.next_token()) == pi.pi_max);
  // Exactly one whitespace byte separates the last number from the pixels.
  FUZZ_CHECK(text.position() + 1 == pi.pi_offset && is_space(input[text.position()]));

  FUZZ_CHECK(pi.pi_width <= INT_MAX && pi.pi_height <= INT_MAX);
  FUZZ_CHECK(has_max ? pi.pi_max >= 1 && pi.pi_max <= 65535 : pi.pi_max == 1);
  FUZZ_CHECK(ppm_sample_bytes(&pi) == (pi.pi_max > 255 ? 2 : 1));
}

// A pixel byte is the file's byte at its place, or 0 where the file ends first.
uint8_t expected_byte(const PPM_INFO& pi, std::span<const uint8_t> input, unsigned int x, unsigned int y, int k) {
  uint64_t at = pi.pi_offset + (static_cast<uint64_t>(y) * pi.pi_width + x) * 3 + static_cast<uint64_t>(k);
  return at < input.size() ? input[at] : 0;
}

void check_pixels(PPM_INFO* pi, std::span<const uint8_t> input) {
  if (std::string_view(pi->pi_type) != "P6" || pi->pi_max > 255) return;
  if (pi->pi_width == 0 || pi->pi_width > kLargestReadWidth || pi->pi_height == 0) return;
  unsigned int w = pi->pi_width;
  std::vector<unsigned int> rows;
  for (unsigned int y = 0; y < std::min(pi->pi_height, kRowsRead); ++y) rows.push_back(y);
  // The row where the file ends, and the one after it.
  uint64_t last = (input.size() - pi->pi_offset) / (3ull * w);
  for (uint64_t y = last; y < last + 2 && y < pi->pi_height; ++y) rows.push_back(static_cast<unsigned int>(y));
  for (unsigned int y : rows) {
    for (unsigned int x : {0u, 1u, w / 2, w - 1}) {
      if (x >= w) continue;
      unsigned char c[3];
      read_pixel(pi, x, y, c);
      for (int k = 0; k < 3; ++k) FUZZ_CHECK(c[k] == expected_byte(*pi, input, x, y, k));
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz_init();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const MemFile file("ppm_header");
  std::span<const uint8_t> input(data, size);
  file.assign(input);

  PPM_INFO pi{};
  pi.pi_fd = ::dup(file.fd());  // close_ppm closes it
  FUZZ_CHECK(pi.pi_fd >= 0);
  if (read_header(&pi) < 0) {
    ::close(pi.pi_fd);
    return 0;
  }
  check_fields(pi, input);
  check_pixels(&pi, input);

  // Reading the header again, wherever the pixel reads left the descriptor, gives the same fields,
  // and the pixels read the same through the emptied row cache.
  PPM_INFO first = pi;
  FUZZ_CHECK(read_header(&pi) == 0);
  FUZZ_CHECK(pi.pi_offset == first.pi_offset && pi.pi_width == first.pi_width && pi.pi_height == first.pi_height &&
             pi.pi_max == first.pi_max && std::strcmp(pi.pi_type, first.pi_type) == 0);
  check_fields(pi, input);
  check_pixels(&pi, input);
  close_ppm(&pi);
  return 0;
}
