// PPM and PGM images ("P6", "P5") as a row source: the header through the PPM library, then one
// row per read; samples scale from the header's maximum as "-pr" scales them.
#include <unistd.h>

#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

#include "fd_io.hpp"
#include "row_source_internal.hpp"
#include "ppmlib_types.hpp"

namespace row_source_internal {
namespace {

struct PpmSource : ROW_SOURCE {
  PpmSource(const PPM_INFO& info, const SampleLayout& layout) : info(info), converter(layout) {}
  ~PpmSource() { close_ppm(&info); }

  int read(unsigned char* rgb, int rows) {
    size_t pixel_row = static_cast<size_t>(width) * 3;
    for (int y = 0; y < rows; ++y, rgb += pixel_row) {
      unsigned char* into = converter.passes_through() ? rgb : raw.data();
      size_t want = converter.row_bytes(width);
      ssize_t got = fd_io::read_upto(info.pi_fd, into, want);
      if (got < 0) return source_failure("cannot read it: %s", std::strerror(errno));
      if (static_cast<size_t>(got) < want) return source_failure("the PPM data end before its last pixel");
      if (!converter.passes_through()) converter.convert(raw.data(), rgb, width);
    }
    return 0;
  }

  PPM_INFO info;
  RowConverter converter;
  std::vector<unsigned char> raw;
};

}  // namespace

ROW_SOURCE* open_ppm_source(int fd) {
  PPM_INFO info{};
  info.pi_fd = fd;
  if (read_header(&info) != 0) {
    ::close(fd);
    source_failure("its PPM header cannot be read");
    return nullptr;
  }
  std::string_view magic = info.pi_type;
  if (magic != "P5" && magic != "P6") {
    close_ppm(&info);
    source_failure("PPM images of type %s are not supported", info.pi_type);
    return nullptr;
  }
  if (!size_fits(info.pi_width, info.pi_height)) {
    close_ppm(&info);
    return nullptr;
  }
  SampleLayout layout;
  layout.stride = layout.colours = magic == "P5" ? 1 : 3;
  layout.bits = ppm_sample_bytes(&info) * 8;
  layout.max = static_cast<unsigned>(info.pi_max);
  layout.big_endian = true;
  auto source = std::make_unique<PpmSource>(info, layout);
  source->format = "ppm";
  source->width = static_cast<int>(info.pi_width);
  source->height = static_cast<int>(info.pi_height);
  source->channels = layout.colours;
  source->bits = layout.bits;
  if (!source->converter.passes_through()) source->raw.resize(source->converter.row_bytes(source->width));
  return hooked(std::move(source));
}

}  // namespace row_source_internal
