// The TIFF row source on any bytes behind a little-endian TIFF signature (a BigTIFF or big-endian
// one stays as the input gives it): directories, strips, tiles and codecs as libtiff reads them,
// row by row (see row_source_fuzz.hpp for the checks).
#include "row_source_fuzz.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const bool tiff = bytes.starts_with("II") || bytes.starts_with("MM");
  return row_source_fuzz::run({data, size}, tiff ? std::string_view(bytes.substr(0, 2)) : std::string_view("II*\0", 4));
}
