// JPEG images as a row source through libjpeg-turbo's scanline reads: colour decoded as RGB
// straight into place, grey expanded here. A stream of several scans (progressive) keeps every
// coefficient of the image in memory, so it is decoded only when that stays small, and only up to
// a bound on its scans (scan_limit.hpp). Every warning (corrupt data, a stream cut short) is a
// failure; the library prints nothing.
#include <unistd.h>

#include <algorithm>
#include <csetjmp>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "scan_limit.hpp"
#include "row_source_internal.hpp"

// jpeglib.h needs size_t and FILE declared before it.
#include <jpeglib.h>

namespace row_source_internal {
namespace {

constexpr long kLibraryMemory = 48L << 20;  // the library's own ceiling, beyond what it should need
constexpr long long kCoefficientBytes = 64 * sizeof(JCOEF);  // one 8 x 8 block
constexpr int kRowsAtOnce = 16;  // the tallest row group of a stream: 8 rows sampled twice

struct ErrorManager {
  jpeg_error_mgr pub;
  std::jmp_buf resume;
  char message[JMSG_LENGTH_MAX];  // the first error or warning, as the library words it
};

ErrorManager& manager_of(j_common_ptr cinfo) { return *reinterpret_cast<ErrorManager*>(cinfo->err); }

void keep_message(j_common_ptr cinfo) {
  ErrorManager& err = manager_of(cinfo);
  if (err.message[0] == '\0') (*cinfo->err->format_message)(cinfo, err.message);
}

[[noreturn]] void leave_library(j_common_ptr cinfo) {
  keep_message(cinfo);
  std::longjmp(manager_of(cinfo).resume, 1);
}

// Warnings (level -1) are counted and kept; trace messages are dropped.
void note_message(j_common_ptr cinfo, int level) {
  if (level >= 0) return;
  ++cinfo->err->num_warnings;
  keep_message(cinfo);
}

struct JpegSource : ROW_SOURCE {
  JpegSource() {
    jpeg_std_error(&err.pub);
    err.pub.error_exit = leave_library;
    err.pub.emit_message = note_message;
    err.message[0] = '\0';
    cinfo.err = &err.pub;
  }
  ~JpegSource() {
    if (created) jpeg_destroy_decompress(&cinfo);
    if (file != nullptr) std::fclose(file);
  }

  int failed() {
    if (file != nullptr && std::ferror(file)) return source_failure("cannot read it: %s", std::strerror(errno));
    if (scans.exceeded) return source_failure("%s", err.message);
    return source_failure("the JPEG data are damaged: %s", err.message[0] ? err.message : "unknown error");
  }

  int read(unsigned char* rgb, int rows);

  jpeg_decompress_struct cinfo{};
  ErrorManager err{};
  ScanLimit scans{};
  bool created = false;
  FILE* file = nullptr;
  std::vector<unsigned char> grey;  // one row of a grey image
};

// Decodes `rows` rows; the library may leave by longjmp, so this frame holds nothing to destroy.
// Colour rows are asked for several at a time, straight into place, which spares the library a
// copy when it upsamples two rows at once; grey rows come one at a time and are spread to RGB.
bool decode_rows(JpegSource& s, unsigned char* rgb, int rows) {
  if (setjmp(s.err.resume)) return false;
  const size_t pixel_row = static_cast<size_t>(s.width) * 3;
  const bool grey = s.cinfo.out_color_components == 1;
  for (int y = 0; y < rows;) {
    JSAMPROW targets[kRowsAtOnce];
    const int asked = grey ? 1 : std::min(kRowsAtOnce, rows - y);
    for (int k = 0; k < asked; ++k) targets[k] = grey ? s.grey.data() : rgb + static_cast<size_t>(y + k) * pixel_row;
    const int got = static_cast<int>(jpeg_read_scanlines(&s.cinfo, targets, static_cast<JDIMENSION>(asked)));
    if (got < 1 || s.err.pub.num_warnings != 0) return false;
    if (grey) {
      unsigned char* out = rgb + static_cast<size_t>(y) * pixel_row;
      for (int x = 0; x < s.width; ++x) std::memset(out + 3 * static_cast<size_t>(x), s.grey[static_cast<size_t>(x)], 3);
    }
    y += got;
  }
  return true;
}

int JpegSource::read(unsigned char* rgb, int rows) { return decode_rows(*this, rgb, rows) ? 0 : failed(); }

// The bytes of the coefficients a multi-scan stream keeps for the whole image.
long long coefficient_bytes(const jpeg_decompress_struct& cinfo) {
  long long bytes = 0;
  for (int c = 0; c < cinfo.num_components; ++c) {
    const jpeg_component_info& comp = cinfo.comp_info[c];
    long long columns = (static_cast<long long>(cinfo.image_width) * comp.h_samp_factor + 8 * cinfo.max_h_samp_factor - 1) /
                        (8 * cinfo.max_h_samp_factor);
    long long lines = (static_cast<long long>(cinfo.image_height) * comp.v_samp_factor + 8 * cinfo.max_v_samp_factor - 1) /
                      (8 * cinfo.max_v_samp_factor);
    bytes += columns * lines * kCoefficientBytes;
  }
  return bytes;
}

// Reads the header; false on a library error (the reason in the manager).
bool read_header(JpegSource& s) {
  if (setjmp(s.err.resume)) return false;
  jpeg_create_decompress(&s.cinfo);
  s.created = true;
  s.cinfo.mem->max_memory_to_use = kLibraryMemory;
  jpeg_stdio_src(&s.cinfo, s.file);
  jpeg_read_header(&s.cinfo, TRUE);
  jpeg_limit_scans(&s.cinfo, &s.scans);
  return s.err.pub.num_warnings == 0;
}

bool start_decompress(JpegSource& s) {
  if (setjmp(s.err.resume)) return false;
  jpeg_start_decompress(&s.cinfo);
  return s.err.pub.num_warnings == 0;
}

// Checks what the header says and starts the decoding; -1 with the reason.
int start(JpegSource& s) {
  if (!read_header(s)) return s.failed();
  jpeg_decompress_struct& cinfo = s.cinfo;
  if (!size_fits(cinfo.image_width, cinfo.image_height)) return -1;
  switch (cinfo.jpeg_color_space) {
    case JCS_GRAYSCALE: cinfo.out_color_space = JCS_GRAYSCALE; break;
    case JCS_RGB:
    case JCS_YCbCr: cinfo.out_color_space = JCS_RGB; break;
    case JCS_CMYK:
    case JCS_YCCK: return source_failure("CMYK JPEG images are not supported");
    default: return source_failure("JPEG images of %d colour components are not supported", cinfo.num_components);
  }
  if (jpeg_has_multiple_scans(&cinfo)) {
    long long bytes = coefficient_bytes(cinfo);
    if (bytes > kRowSourceBufferLimit)
      return source_failure(
          "progressive JPEG images are decoded whole, not row by row, and this one needs %lld MiB (at most %lld)",
          bytes >> 20, kRowSourceBufferLimit >> 20);
  }
  s.width = static_cast<int>(cinfo.image_width);
  s.height = static_cast<int>(cinfo.image_height);
  s.channels = cinfo.num_components;
  s.bits = cinfo.data_precision;
  if (!start_decompress(s)) return s.failed();
  if (cinfo.output_width != cinfo.image_width || cinfo.output_height != cinfo.image_height)
    return source_failure("the JPEG image decodes to another size");
  if (cinfo.out_color_components == 1) s.grey.resize(cinfo.output_width);
  return 0;
}

}  // namespace

ROW_SOURCE* open_jpeg_source(int fd) {
  return open_streamed<JpegSource>(fd, "jpeg", start);
}

}  // namespace row_source_internal
