// Rebuilds and encodes tiles with a pool of handles: a request borrows an idle handle on its image's
// file, or opens one, and gives it back when its tile is made, failed or not. The rectangles come
// from the cache every handle shares, so a tile's ancestors are decoded once for all of them.
#include "tile_maker.hpp"

#include <algorithm>
#include <cstdlib>

#include "jpeg.hpp"
#include "malloc_ptr.hpp"
#include "tool_status.hpp"

namespace crserve {

std::string rebuild_failure(const CR_RECT_REF& at) {
  return describe_rebuild_failure_at(at.level, at.rect.w_ofs, at.rect.h_ofs, nullptr);
}

namespace {

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
Bytes make_rectangle(CR_RECT_CACHE* rects, CR_FILE* f, unsigned long image, const TileRequest& t, std::string* failure) {
  CR_RECT_REF ref;
  if (cr_rect_cache_get(&ref, rects, f, image, t.x, t.y, t.level) < 0) {
    *failure = rebuild_failure(ref);
    return nullptr;
  }
  Bytes tile = encode(ref.rect.buf, ref.rect.w_len, ref.rect.h_len, failure);
  cr_rect_cache_release(rects, &ref);
  return tile;
}

// A tile coarser than the file's levels: a region of the coarsest level, shrunk.
Bytes make_shrunk(CR_RECT_CACHE* rects, CR_FILE* f, unsigned long image, const TileRequest& t, std::string* failure) {
  std::vector<unsigned char> rgb(3 * static_cast<size_t>(t.w) * t.h);
  CR_RECT_REF at;
  if (cr_rect_cache_region(rgb.data(), rects, f, image, t.x, t.y, t.w, t.h, t.level, &at) < 0) {
    *failure = rebuild_failure(at);
    return nullptr;
  }
  std::vector<unsigned char> out(4 * static_cast<size_t>(t.out_w()) * t.out_h());
  shrink_box(out.data(), rgb.data(), t.w, t.h, t.shrink);
  return encode(out.data(), t.out_w(), t.out_h(), failure);
}

}  // namespace

Borrowed::Borrowed(TileMaker& maker, const ImageFile& image)
    : maker_(maker), image_(image), file_(maker.borrow(image)) {}

Borrowed::~Borrowed() {
  if (file_ != nullptr) maker_.give_back(image_, file_);
}

std::unique_ptr<TileMaker> TileMaker::open(Images& images, size_t rect_bytes) {
  std::unique_ptr<TileMaker> maker(new TileMaker(images));
  maker->rects_ = cr_rect_cache_open(rect_bytes);
  if (maker->rects_ == nullptr) return nullptr;
  return maker;
}

TileMaker::~TileMaker() {
  for (auto& [serial, f] : idle_) cr_close_file(f);
  if (rects_ != nullptr) cr_rect_cache_close(rects_);
}

Bytes TileMaker::make(const ImageFile& image, const TileRequest& t, std::string* failure) {
  Borrowed handle(*this, image);
  if (handle.file() == nullptr) {
    *failure = "the file changed while it was read";
    return nullptr;
  }
  return t.shrink == 1 ? make_rectangle(rects_, handle.file(), image.serial, t, failure)
                       : make_shrunk(rects_, handle.file(), image.serial, t, failure);
}

// An idle handle on this version of the image, or a new one; beyond kMaxOpenHandles the least
// recently used idle handle is closed first.
CR_FILE* TileMaker::borrow(const ImageFile& image) {
  CR_FILE* spare = nullptr;
  {
    std::lock_guard lock(mutex_);
    for (auto it = idle_.begin(); it != idle_.end(); ++it)
      if (it->first == image.serial) {
        CR_FILE* f = it->second;
        idle_.erase(it);
        return f;
      }
    if (open_ >= kMaxOpenHandles && !idle_.empty()) {
      spare = idle_.back().second;
      idle_.pop_back();
      --open_;
    }
    ++open_;
  }
  if (spare != nullptr) cr_close_file(spare);
  CR_FILE* f = images_.open_handle(image);
  if (f == nullptr) {
    std::lock_guard lock(mutex_);
    --open_;
  }
  return f;
}

void TileMaker::give_back(const ImageFile& image, CR_FILE* f) {
  std::lock_guard lock(mutex_);
  idle_.emplace_front(image.serial, f);
}

void TileMaker::forget(unsigned long serial) {
  std::vector<CR_FILE*> closing;
  {
    std::lock_guard lock(mutex_);
    for (auto it = idle_.begin(); it != idle_.end();) {
      if (it->first != serial) {
        ++it;
        continue;
      }
      closing.push_back(it->second);
      it = idle_.erase(it);
      --open_;
    }
  }
  for (CR_FILE* f : closing) cr_close_file(f);
  cr_rect_cache_forget(rects_, serial);
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
