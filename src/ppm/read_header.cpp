// Parses the header of a raw PPM image: the magic, the width, the height and, except for "P4",
// the maximum sample value. Tokens are separated by runs of whitespace and '#' comments; exactly
// one whitespace byte ends the last number, and the pixel data start right behind it.
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "fd_io.hpp"
#include "ppmlib_types.hpp"

namespace {

constexpr int kTextLimit = kPpmHeaderText - 1;  // header bytes that fit beside the terminating NUL
constexpr size_t kMagicLimit = sizeof(PPM_INFO::pi_type) - 1;
constexpr long kLargestMax = 65535;  // two bytes per sample at most

// Whitespace is exactly TAB, LF, CR and space.
bool is_space(int c) { return c == '\t' || c == '\n' || c == '\r' || c == ' '; }

bool ends_token(int c) { return is_space(c) || c == '#'; }

// Every byte of the header read so far; reading fails once the buffer is full, so no header,
// however long, is written past it.
struct HeaderText {
  int fd;
  char bytes[kPpmHeaderText];
  int length = 0;
};

// Reads one byte into the text and returns it; -1 at the end of the file, on a read error, or
// when the text would not fit.
int read_byte(HeaderText& text) {
  if (text.length >= kTextLimit) return -1;
  char c;
  if (fd_io::read_upto(text.fd, &c, 1) != 1) return -1;
  text.bytes[text.length++] = c;
  return static_cast<unsigned char>(c);
}

// Reads the rest of a comment, up to and including the byte that ends its line; -1 if the file
// ends first.
int skip_comment(HeaderText& text) {
  int c;
  do c = read_byte(text);
  while (c >= 0 && c != '\n' && c != '\r');
  return c < 0 ? -1 : 0;
}

// Skips whitespace and comments and returns the first byte of the next token, or -1.
int read_space(HeaderText& text) {
  for (;;) {
    int c = read_byte(text);
    if (c < 0) return -1;
    if (c == '#') {
      if (skip_comment(text) < 0) return -1;
    } else if (!is_space(c)) {
      return c;
    }
  }
}

// Reads the rest of a token whose first byte has been read; returns the whitespace byte or '#'
// that ends it, or -1.
int read_char(HeaderText& text) {
  for (;;) {
    int c = read_byte(text);
    if (c < 0 || ends_token(c)) return c;
  }
}

// Reads the next token after the one that `terminator` ended, and returns the byte that ends it,
// or -1. The token is left in `token`.
int read_token(HeaderText& text, int terminator, std::string_view* token) {
  if (terminator == '#' && skip_comment(text) < 0) return -1;
  if (read_space(text) < 0) return -1;
  int start = text.length - 1;
  int end_byte = read_char(text);
  if (end_byte < 0) return -1;
  *token = std::string_view(text.bytes + start, static_cast<size_t>(text.length - 1 - start));
  return end_byte;
}

// Converts a whole token the way "%i" reads a number: optional sign, then hexadecimal (0x),
// octal (leading 0) or decimal. Trailing characters or an overflow make it no number.
bool to_number(std::string_view token, long* value) {
  char digits[kPpmHeaderText];
  std::memcpy(digits, token.data(), token.size());
  digits[token.size()] = '\0';
  char* end = nullptr;
  errno = 0;
  *value = std::strtol(digits, &end, 0);
  return errno == 0 && end == digits + token.size() && end != digits;
}

bool to_size(std::string_view token, unsigned int* size) {
  long value;
  if (!to_number(token, &value) || value < 0 || value > INT_MAX) return false;
  *size = static_cast<unsigned int>(value);
  return true;
}

bool to_max(std::string_view token, int* max) {
  long value;
  if (!to_number(token, &value) || value < 1 || value > kLargestMax) return false;
  *max = static_cast<int>(value);
  return true;
}

// The line buffers of an earlier use of the handle are released, so that re-reading a header
// leaks nothing; a new handle is zero-filled and has none.
void empty_line_cache(PPM_INFO* pi) {
  for (PPM_CACHE& slot : pi->pi_cache) {
    std::free(slot.pc_line);
    slot.pc_line = nullptr;
    slot.pc_h = 0;
  }
  std::free(pi->pi_write);
  pi->pi_write = nullptr;
  pi->pi_write_offset = 0;
}

}  // namespace

int read_header(PPM_INFO* pi) {
  if (::lseek(pi->pi_fd, 0, SEEK_SET) != 0) return -1;
  HeaderText text{pi->pi_fd, {}};

  // The magic starts at the first byte of the file.
  int terminator = read_byte(text);
  if (terminator < 0 || ends_token(terminator)) return -1;
  terminator = read_char(text);
  if (terminator < 0) return -1;
  std::string_view magic(text.bytes, static_cast<size_t>(text.length - 1));
  if (magic.size() > kMagicLimit) return -1;
  bool has_max = magic.substr(0, 2) != "P4";  // P45 and the like have no maximum either

  std::string_view width_token, height_token, max_token;
  terminator = read_token(text, terminator, &width_token);
  if (terminator >= 0) terminator = read_token(text, terminator, &height_token);
  if (terminator >= 0 && has_max) terminator = read_token(text, terminator, &max_token);
  // Exactly one whitespace byte follows the last number.
  if (!is_space(terminator)) return -1;

  unsigned int width, height;
  int max = 1;
  if (!to_size(width_token, &width) || !to_size(height_token, &height)) return -1;
  if (has_max && !to_max(max_token, &max)) return -1;

  pi->pi_offset = static_cast<unsigned int>(text.length);
  std::memcpy(pi->pi_type, magic.data(), magic.size());
  pi->pi_type[magic.size()] = '\0';
  pi->pi_width = width;
  pi->pi_height = height;
  pi->pi_max = max;
  empty_line_cache(pi);
  return 0;
}

int ppm_sample_bytes(const PPM_INFO* pi) { return pi->pi_max > 255 ? 2 : 1; }
