// Encoders that take an image a band of rows at a time and give back the bytes of the stream made
// so far, so that a large image is sent while it is made: JPEG by libjpeg-turbo, PNG by libspng.
#pragma once

#include <memory>
#include <string>

#include "protocols.hpp"

namespace crserve {

class StreamEncoder {
 public:
  virtual ~StreamEncoder() = default;
  // Encodes `count` rows of the image (width x channels bytes each), appending to `out` what the
  // stream has gained; false when the library fails.
  virtual bool write(const unsigned char* rows, int count, std::string* out) = 0;
  // After the last row: appends the rest of the stream.
  virtual bool finish(std::string* out) = 0;
};

// An encoder of a width x height image of `channels` bytes a pixel (3: red, green, blue; 1: grey),
// its stream's first bytes appended to `out`; null when the library refuses.
std::unique_ptr<StreamEncoder> start_encoder(Format format, int width, int height, int channels, std::string* out);

}  // namespace crserve
