// Opens an image file as a row source: the first bytes of the file name its format, never its
// name. The reason of a failure is kept per thread for row_source_error().
#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "fd_io.hpp"
#include "row_source_internal.hpp"
#include "r64_types.hpp"

namespace row_source_internal {
namespace {

thread_local char reason[kRowSourceReasonBytes];

enum class Format { kPpm, kPng, kTiff, kJpeg, kUnknown };

constexpr size_t kMagicBytes = 8;
constexpr size_t kStreamBuffer = 1u << 16;

Format format_of(std::string_view magic) {
  using namespace std::string_view_literals;
  if (magic.starts_with("\x89PNG\r\n\x1a\n"sv)) return Format::kPng;
  for (std::string_view tiff : {"II*\0"sv, "MM\0*"sv, "II+\0"sv, "MM\0+"sv})
    if (magic.starts_with(tiff)) return Format::kTiff;
  if (magic.starts_with("\xFF\xD8\xFF"sv)) return Format::kJpeg;
  if (magic.size() >= 2 && magic[0] == 'P' && magic[1] >= '1' && magic[1] <= '7') return Format::kPpm;
  return Format::kUnknown;
}

}  // namespace

int source_failure(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vsnprintf(reason, sizeof reason, format, args);
  va_end(args);
  return -1;
}

bool size_fits(long long width, long long height) {
  if (width >= 1 && height >= 1 && width <= kMaxSide && height <= kMaxSide) return true;
  source_failure("its size %lld x %lld is outside 1 .. %d a side", width, height, kMaxSide);
  return false;
}

FILE* open_stream(int fd) {
  FILE* file = ::fdopen(fd, "rb");
  if (file == nullptr) {
    source_failure("cannot read it: %s", std::strerror(errno));
    ::close(fd);
    return nullptr;
  }
  std::setvbuf(file, nullptr, _IOFBF, kStreamBuffer);
  return file;
}

}  // namespace row_source_internal

using namespace row_source_internal;

ROW_SOURCE* row_source_open(const char* path) {
  int fd = fd_io::open_retrying(path, O_RDONLY | O_CLOEXEC, 0);
  if (fd < 0) {
    source_failure("cannot open it: %s", std::strerror(errno));
    return nullptr;
  }
  std::array<char, kMagicBytes> magic{};
  ssize_t got = fd_io::read_upto(fd, magic.data(), magic.size());
  if (got < 0 || ::lseek(fd, 0, SEEK_SET) != 0) {
    source_failure("cannot read it: %s", std::strerror(errno));
    ::close(fd);
    return nullptr;
  }
  switch (format_of(std::string_view(magic.data(), static_cast<size_t>(got)))) {
    case Format::kPpm: return open_ppm_source(fd);
    case Format::kPng: return open_png_source(fd);
    case Format::kTiff: return open_tiff_source(fd);
    case Format::kJpeg: return open_jpeg_source(fd);
    case Format::kUnknown: break;
  }
  ::close(fd);
  source_failure("it is no PNG, TIFF, JPEG or PPM image");
  return nullptr;
}

const char* row_source_error(void) { return reason; }
