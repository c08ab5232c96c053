// Rebuilds and encodes tiles with a pool of readers: a request borrows an idle reader, waiting for
// one when all are busy, and gives it back when its tile is made, failed or not.
#include "crserve/tile_maker.hpp"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "jpeg.hpp"
#include "malloc_ptr.hpp"
#include "tool_status.hpp"

namespace crserve {

namespace {

std::string open_failure(const std::string& path) {
  if (r64_error == kR64System) return "cannot open the CR file \"" + path + "\": " + std::strerror(errno);
  if (r64_error == kR64Short) return "\"" + path + "\" is cut short: its header or table is incomplete";
  return "\"" + path + "\" is not a CR file";
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

// A tile of the file's own levels: exactly one rebuilt rectangle, encoded where it lies.
Bytes make_rectangle(Reader& reader, const TileRequest& t, std::string* failure) {
  CR_BUFFER rect;
  if (cr_rebuild_rect(&rect, reader.rebuilder, t.x, t.y, t.level) < 0) {
    *failure = describe_rebuild_failure(reader.rebuilder, nullptr);
    return nullptr;
  }
  return encode(rect.buf, rect.w_len, rect.h_len, failure);
}

// A tile coarser than the file's levels: a region of the coarsest level, shrunk.
Bytes make_shrunk(Reader& reader, const TileRequest& t, std::string* failure) {
  std::vector<unsigned char> rgb(3 * static_cast<size_t>(t.w) * t.h);
  if (cr_rebuild_region(rgb.data(), reader.rebuilder, t.x, t.y, t.w, t.h, t.level) < 0) {
    *failure = describe_rebuild_failure(reader.rebuilder, nullptr);
    return nullptr;
  }
  std::vector<unsigned char> out(4 * static_cast<size_t>(t.out_w()) * t.out_h());
  shrink_box(out.data(), rgb.data(), t.w, t.h, t.shrink);
  return encode(out.data(), t.out_w(), t.out_h(), failure);
}

}  // namespace

Reader::~Reader() {
  if (rebuilder != nullptr) cr_rebuild_close(rebuilder);
  if (file != nullptr) cr_close_file(file);
}

std::unique_ptr<TileMaker> TileMaker::open(const std::string& path, int readers, std::string* message) {
  auto maker = std::make_unique<TileMaker>();
  for (int i = 0; i < readers; ++i) {
    auto reader = std::make_unique<Reader>();
    reader->file = cr_open_file(path.c_str(), O_RDONLY, 0, 0, 0, 0);
    if (reader->file == nullptr) {
      *message = open_failure(path);
      return nullptr;
    }
    reader->rebuilder = cr_rebuild_open(reader->file);
    if (reader->rebuilder == nullptr) {
      *message = "out of memory opening \"" + path + "\"";
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
  if (++reader->tiles > kTilesPerRebuilder) {
    CR_REBUILDER* fresh = cr_rebuild_open(reader->file);
    if (fresh != nullptr) {  // short of memory, the old one goes on
      cr_rebuild_close(reader->rebuilder);
      reader->rebuilder = fresh;
      reader->tiles = 1;
    }
  }
  Bytes tile = t.shrink == 1 ? make_rectangle(*reader, t, failure) : make_shrunk(*reader, t, failure);
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
