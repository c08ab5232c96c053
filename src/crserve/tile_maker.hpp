// Makes the JPEG of a tile from a CR file: rebuilt by the reconstruction rule, shrunk for the scales
// coarser than the file's levels, encoded at kTileJpegQuality. Rebuilt rectangles come from one
// cache that every worker shares, whatever the image; a handle on a file reads blocks for one
// thread at a time, so the maker keeps a pool of them, bounded in number whatever the images.
#pragma once

#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "cr_rect_cache.hpp"
#include "images.hpp"
#include "tile_cache.hpp"
#include "tiles.hpp"

namespace crserve {

// Handles open at once on the served files, at most, however many images there are: the least
// recently used idle one is closed first. Each thread making a tile holds one.
inline constexpr int kMaxOpenHandles = 64;

class TileMaker;

// A handle on one image's file, borrowed from the maker's pool for one thread, given back when it
// goes; file() is null when the file has changed since the version was found.
class Borrowed {
 public:
  Borrowed(TileMaker& maker, const ImageFile& image);
  ~Borrowed();
  Borrowed(const Borrowed&) = delete;
  Borrowed& operator=(const Borrowed&) = delete;
  CR_FILE* file() const { return file_; }

 private:
  TileMaker& maker_;
  const ImageFile& image_;
  CR_FILE* file_;
};

class TileMaker {
 public:
  // A maker of the tiles of `images`, sharing a cache of at most about `rect_bytes` of rebuilt
  // rectangles; null when memory runs out.
  static std::unique_ptr<TileMaker> open(Images& images, size_t rect_bytes);
  ~TileMaker();

  // The tile, which must lie inside its level, as a JPEG stream; null with `failure` saying why
  // when a rectangle on its way is damaged or cannot be read.
  Bytes make(const ImageFile& image, const TileRequest& t, std::string* failure);
  CR_RECT_CACHE* rects() const { return rects_; }
  // Lets go of what is kept of a version of an image that is gone.
  void forget(unsigned long serial);

 private:
  friend class Borrowed;
  explicit TileMaker(Images& images) : images_(images) {}
  CR_FILE* borrow(const ImageFile& image);
  void give_back(const ImageFile& image, CR_FILE* f);

  Images& images_;
  CR_RECT_CACHE* rects_ = nullptr;
  std::mutex mutex_;
  std::list<std::pair<unsigned long, CR_FILE*>> idle_;  // by serial, most recently used first
  int open_ = 0;                                        // handles open, idle or not
};

// The message of a rebuild that failed at the rectangle `at`, from r64_error and errno.
std::string rebuild_failure(const CR_RECT_REF& at);

// Shrinks w x h pixels of 3 bytes by `factor` with a box filter into pixels of 4 bytes: each output
// pixel is the rounded mean of the pixels of its factor x factor box that lie inside the input.
void shrink_box(unsigned char* out, const unsigned char* rgb, int w, int h, int factor);

}  // namespace crserve
