// A reply as the server makes it, apart from HTTP's framing: a status, a body whole or made a part
// at a time (of a length known or not), and its headers.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "tile_cache.hpp"

namespace crserve {

// The rest of a reply's body, made a part at a time.
class BodyStream {
 public:
  enum class Step { kMore, kDone, kFailed };
  virtual ~BodyStream() = default;
  // Appends the next part to `out`; kFailed with `failure` saying why.
  virtual Step next(std::string* out, std::string* failure) = 0;
  // What a failure is said of on standard error.
  virtual const char* subject() const { return "an image being sent"; }
};

struct Reply {
  int status = 404;
  std::string content_type = "text/plain; charset=utf-8";
  Bytes body;  // the whole body, or with `rest` its first part
  std::shared_ptr<BodyStream> rest;  // the parts still to make
  long long length = -1;  // with `rest`, the whole body's length when known (sent with Content-Length, not chunked)
  bool byte_ranges = false;  // the body is a file's bytes, whose ranges are answered
  std::vector<std::pair<std::string, std::string>> headers;
};

}  // namespace crserve
