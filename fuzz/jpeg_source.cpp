// The JPEG row source on any bytes behind a start-of-image marker: markers, frames of one or
// several scans and entropy-coded data as libjpeg-turbo decodes them, row by row (see
// row_source_fuzz.hpp for the checks).
#include "row_source_fuzz.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return row_source_fuzz::run({data, size}, "\xFF\xD8\xFF");
}
