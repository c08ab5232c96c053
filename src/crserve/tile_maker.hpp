// Makes the JPEG of a tile from a CR file: rebuilt by the reconstruction rule, shrunk for the scales
// coarser than the file's levels, encoded at kTileJpegQuality. Rebuilt rectangles come from one
// cache that every worker shares; a handle on the file reads blocks for one thread at a time, so
// the maker keeps a small pool of them, one per worker.
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "crserve/tile_cache.hpp"
#include "cr_rect_cache.hpp"
#include "crserve/tiles.hpp"
#include "r64.hpp"

namespace crserve {

// One open handle on the file.
struct Reader {
  CR_FILE* file = nullptr;
  Reader() = default;
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;
  ~Reader();
};

class TileMaker {
 public:
  // Opens `readers` handles on the CR file at `path`, sharing a cache of at most about
  // `rect_bytes` of rebuilt rectangles; null with a message when it cannot be read or holds no
  // level.
  static std::unique_ptr<TileMaker> open(const std::string& path, int readers, size_t rect_bytes,
                                         std::string* message);
  ~TileMaker();

  const Pyramid& pyramid() const { return pyramid_; }
  // The tile, which must lie inside its level, as a JPEG stream; null with `failure` saying why
  // when a rectangle on its way is damaged or cannot be read.
  Bytes make(const TileRequest& t, std::string* failure);

 private:
  Reader* borrow();
  void give_back(Reader* reader);

  Pyramid pyramid_;
  CR_RECT_CACHE* rects_ = nullptr;
  std::vector<std::unique_ptr<Reader>> readers_;
  std::vector<Reader*> idle_;
  std::mutex mutex_;
  std::condition_variable returned_;
};

// Shrinks w x h pixels of 3 bytes by `factor` with a box filter into pixels of 4 bytes: each output
// pixel is the rounded mean of the pixels of its factor x factor box that lie inside the input.
void shrink_box(unsigned char* out, const unsigned char* rgb, int w, int h, int factor);

}  // namespace crserve
