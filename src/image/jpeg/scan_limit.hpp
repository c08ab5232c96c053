// The bound on the scans of a JPEG stream, for every decoder of untrusted streams (the row source
// of "-ir", the blocks of CR files). The decoder makes a pass over all the image's coefficients for
// each scan, so a small file repeating one valid scan thousands of times would take minutes;
// djpeg's -maxscans and TurboJPEG's scan limit stop such streams the same way.
#pragma once

#include <cstddef>
#include <cstdio>

#include <jpeglib.h>

// libjpeg's progressive script sends 10 scans for colour and 6 for grey, and encoders that search
// for the smallest script a few dozen; 100 a component leaves a wide margin, while a flood stops
// after 100 passes over the coefficients (a second or two for the largest progressive image).
inline constexpr int kMostScansPerComponent = 100;

// A progress monitor that leaves the library through the error manager's error_exit once the
// stream reaches a scan beyond kMostScansPerComponent times its components.
struct ScanLimit {
  jpeg_progress_mgr pub;
  int most_scans;
  bool exceeded;  // the decoding stopped here
};

// Installs `limit` on `cinfo`, whose header has been read. The message of the stop, "the JPEG
// image comes in more than N scans (at most 100 a component)", is added to the error manager's.
void jpeg_limit_scans(j_decompress_ptr cinfo, ScanLimit* limit);
