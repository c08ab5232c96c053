// The PNG row source on any bytes behind a PNG signature: headers, chunks, interlacing and image
// data as libspng decodes them, row by row (see row_source_fuzz.hpp for the checks).
#include "row_source_fuzz.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return row_source_fuzz::run({data, size}, "\x89PNG\r\n\x1a\n");
}
