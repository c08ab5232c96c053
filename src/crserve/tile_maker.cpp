// Rebuilds and encodes tiles with a pool of readers: a request borrows an idle reader, waiting for
// one when all are busy, and gives it back when its tile is made, failed or not. The rectangles
// come from the cache the readers share, so a tile's ancestors are decoded once for all of them.
#include "crserve/tile_maker.hpp"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "jpeg.hpp"
#include "malloc_ptr.hpp"

namespace crserve {

namespace {

std::string open_failure(const std::string& path) {
  if (r64_error == kR64System) return "cannot open the CR file \"" + path + "\": " + std::strerror(errno);
  if (r64_error == kR64Short) return "\"" + path + "\" is cut short: its header or table is incomplete";
  return "\"" + path + "\" is not a CR file";
}

std::string rebuild_failure(int level, int x, int y) {
  std::string where = "rectangle (" + std::to_string(x) + ", " + std::to_string(y) + ") of level " +
                      std::to_string(level);
  switch (r64_error) {
    case kR64System:
      return "cannot read " + where + ": " + std::strerror(errno);
    case kR64Memory:
      return "out of memory rebuilding " + where;
    case kR64Short:
      return where + " is missing or cut short";
    default:
      return where + " is damaged";
  }
}

Bytes encode(const unsigned char* pixels, int w, int h, std::string* failure) {
  int length = 0;
  MallocPtr<unsigned char> jpeg(jpeg_compress(&length, pixels, w, h, kTileJpegQuality));
  if (!jpeg) {
    *failure = "cannot encode a tile of " + std::to_string(w) + " x " + std::to_string(h);
    return nullptr;
  }
  return std::make_shared<const std::string>(reinterpret_cast<const char*>(jpeg.get()), static_cast<size_t>(length));
}

std::string rebuild_failure(const CR_RECT_REF& at) { return rebuild_failure(at.level, at.rect.w_ofs, at.rect.h_ofs); }

// A tile of the file's own levels: exactly one rebuilt rectangle, encoded where it lies.
Bytes make_rectangle(CR_RECT_CACHE* rects, Reader& reader, const TileRequest& t, std::string* failure) {
  CR_RECT_REF ref;
  if (cr_rect_cache_get(&ref, rects, reader.file, 0, t.x, t.y, t.level) < 0) {
    *failure = rebuild_failure(ref);
    return nullptr;
  }
  Bytes tile = encode(ref.rect.buf, ref.rect.w_len, ref.rect.h_len, failure);
  cr_rect_cache_release(rects, &ref);
  return tile;
}

// A tile coarser than the file's levels: a region of the coarsest level, shrunk.
Bytes make_shrunk(CR_RECT_CACHE* rects, Reader& reader, const TileRequest& t, std::string* failure) {
  std::vector<unsigned char> rgb(3 * static_cast<size_t>(t.w) * t.h);
  CR_RECT_REF at;
  if (cr_rect_cache_region(rgb.data(), rects, reader.file, 0, t.x, t.y, t.w, t.h, t.level, &at) < 0) {
    *failure = rebuild_failure(at);
    return nullptr;
  }
  std::vector<unsigned char> out(4 * static_cast<size_t>(t.out_w()) * t.out_h());
  shrink_box(out.data(), rgb.data(), t.w, t.h, t.shrink);
  return encode(out.data(), t.out_w(), t.out_h(), failure);
}

}  // namespace

Reader::~Reader() {
  if (file != nullptr) cr_close_file(file);
}

TileMaker::~TileMaker() {
  if (rects_ != nullptr) cr_rect_cache_close(rects_);
}

std::unique_ptr<TileMaker> TileMaker::open(const std::string& path, int readers, size_t rect_bytes,
                                           std::string* message) {
  auto maker = std::make_unique<TileMaker>();
  maker->rects_ = cr_rect_cache_open(rect_bytes);
  if (maker->rects_ == nullptr) {
    *message = "out of memory opening \"" + path + "\"";
    return nullptr;
  }
  for (int i = 0; i < readers; ++i) {
    auto reader = std::make_unique<Reader>();
    reader->file = cr_open_file(path.c_str(), O_RDONLY, 0, 0, 0, 0);
    if (reader->file == nullptr) {
      *message = open_failure(path);
      return nullptr;
    }
    maker->idle_.push_back(reader.get());
    maker->readers_.push_back(std::move(reader));
  }
  std::optional<Pyramid> pyramid = pyramid_of(maker->readers_.front()->file);
  if (!pyramid) {
    *message = "\"" + path + "\" holds no level: its image is too small";
    return nullptr;
  }
  maker->pyramid_ = *pyramid;
  return maker;
}

Bytes TileMaker::make(const TileRequest& t, std::string* failure) {
  Reader* reader = borrow();
  Bytes tile = t.shrink == 1 ? make_rectangle(rects_, *reader, t, failure) : make_shrunk(rects_, *reader, t, failure);
  give_back(reader);
  return tile;
}

Reader* TileMaker::borrow() {
  std::unique_lock lock(mutex_);
  returned_.wait(lock, [this] { return !idle_.empty(); });
  Reader* reader = idle_.back();
  idle_.pop_back();
  return reader;
}

void TileMaker::give_back(Reader* reader) {
  {
    std::lock_guard lock(mutex_);
    idle_.push_back(reader);
  }
  returned_.notify_one();
}

void shrink_box(unsigned char* out, const unsigned char* rgb, int w, int h, int factor) {
  for (int oy = 0; oy * factor < h; ++oy) {
    int y1 = std::min(h, (oy + 1) * factor);
    for (int ox = 0; ox * factor < w; ++ox, out += 4) {
      int x1 = std::min(w, (ox + 1) * factor);
      unsigned sum[3] = {0, 0, 0};
      for (int y = oy * factor; y < y1; ++y)
        for (int x = ox * factor; x < x1; ++x)
          for (int c = 0; c < 3; ++c) sum[c] += rgb[3 * (static_cast<size_t>(y) * w + x) + c];
      unsigned count = static_cast<unsigned>((y1 - oy * factor) * (x1 - ox * factor));
      for (int c = 0; c < 3; ++c) out[c] = static_cast<unsigned char>((sum[c] + count / 2) / count);
      out[3] = 0;
    }
  }
}

}  // namespace crserve
