// Makes an image request's output a band of its rows at a time. A band of the final image is a
// block of the scaled image (rows, or columns when turned by 90 or 270 degrees), resampled from
// the source level's rectangles through the shared cache, then placed by the mirroring and the
// rotation, reduced to the quality asked for, and handed to the encoder.
#include "render.hpp"

#include <algorithm>
#include <cstring>
#include <vector>

namespace crserve {

namespace {

constexpr size_t kPartBytes = 64 << 10;  // a part worth sending

struct Point {
  int x, y;
};

// Where final pixel (fx, fy) comes from in the scaled image, before mirroring and rotating.
Point scaled_of(const ImageRequest& r, int fx, int fy) {
  Point m{fx, fy};
  if (r.rotation == 90) m = Point{fy, r.out_h - 1 - fx};
  if (r.rotation == 180) m = Point{r.out_w - 1 - fx, r.out_h - 1 - fy};
  if (r.rotation == 270) m = Point{r.out_w - 1 - fy, fx};
  if (r.mirror) m.x = r.out_w - 1 - m.x;
  return m;
}

struct Block {
  int x, y, w, h;
};

// The block of the scaled image that final rows first .. last - 1 show: the corners' bounds.
Block block_of(const ImageRequest& r, int first, int last) {
  Point a = scaled_of(r, 0, first), b = scaled_of(r, r.final_w() - 1, last - 1);
  int x0 = std::min(a.x, b.x), y0 = std::min(a.y, b.y);
  return Block{x0, y0, std::max(a.x, b.x) - x0 + 1, std::max(a.y, b.y) - y0 + 1};
}

int channels_of(Quality q) { return q == Quality::kGray || q == Quality::kBitonal ? 1 : 3; }

// Places the block's pixels in the final rows and reduces them to the quality's channels.
void place(const ImageRequest& r, const Block& block, const unsigned char* rgb, int first, int last, unsigned char* out) {
  int channels = channels_of(r.quality);
  for (int fy = first; fy < last; ++fy)
    for (int fx = 0; fx < r.final_w(); ++fx) {
      Point s = scaled_of(r, fx, fy);
      const unsigned char* in = rgb + 3 * (static_cast<size_t>(s.y - block.y) * block.w + (s.x - block.x));
      if (channels == 3) {
        std::memcpy(out, in, 3);
      } else {
        unsigned char y = luma(in);
        *out = r.quality == Quality::kGray ? y : (y >= 128 ? 255 : 0);
      }
      out += channels;
    }
}

}  // namespace

Span level_span(int x, int w, int full, int level_size, int level) {
  double f = 1 << level;
  return Span{x / f, (x + w == full ? level_size : (x + w) / f) - x / f};
}

int source_level(const Pyramid& p, const ImageRequest& r) {
  auto large_enough = [&](int level) {
    return level_span(r.x, r.w, p.width, width_at(p, level), level).length >= r.out_w &&
           level_span(r.y, r.h, p.height, height_at(p, level), level).length >= r.out_h;
  };
  int level = 0;
  while (level < p.coarsest && large_enough(level + 1)) ++level;
  return level;
}

unsigned char luma(const unsigned char* rgb) {
  return static_cast<unsigned char>((299 * rgb[0] + 587 * rgb[1] + 114 * rgb[2] + 500) / 1000);
}

ImageStream::ImageStream(TileMaker& maker, std::shared_ptr<const ImageFile> image, const ImageRequest& request)
    : maker_(maker), image_(std::move(image)), request_(request) {}

bool ImageStream::start(std::string* out, std::string* failure) {
  const Pyramid& p = image_->pyramid;
  const ImageRequest& r = request_;
  level_ = source_level(p, r);
  Span across = level_span(r.x, r.w, p.width, width_at(p, level_), level_);
  Span down = level_span(r.y, r.h, p.height, height_at(p, level_), level_);
  xs_ = axis_weights(across.start, across.length, width_at(p, level_), r.out_w);
  ys_ = axis_weights(down.start, down.length, height_at(p, level_), r.out_h);
  encoder_ = start_encoder(r.format, r.final_w(), r.final_h(), channels_of(r.quality), out);
  if (!encoder_) *failure = "cannot encode an image of " + std::to_string(r.final_w()) + " x " + std::to_string(r.final_h());
  return encoder_ != nullptr;
}

// Copies rows y .. y + rows - 1, columns x0 .. x1 - 1 of the source level from its rectangles.
bool ImageStream::fetch(CR_FILE* f, int y, int rows, int x0, int x1, unsigned char* pixels) {
  int side = image_->pyramid.tile;
  size_t stride = 4 * static_cast<size_t>(x1 - x0);
  for (int top = y - y % side; top < y + rows; top += side)
    for (int left = x0 - x0 % side; left < x1; left += side) {
      CR_RECT_REF ref;
      if (cr_rect_cache_get(&ref, maker_.rects(), f, image_->serial, left, top, level_) < 0) {
        failed_at_ = ref;
        return false;
      }
      const CR_BUFFER& rect = ref.rect;
      int c0 = std::max(x0, rect.w_ofs), c1 = std::min(x1, rect.w_ofs + rect.w_len);
      for (int row = std::max(y, rect.h_ofs); row < std::min(y + rows, rect.h_ofs + rect.h_len); ++row)
        std::memcpy(pixels + (row - y) * stride + 4 * static_cast<size_t>(c0 - x0),
                    rect.buf + 4 * (static_cast<size_t>(row - rect.h_ofs) * rect.w_len + (c0 - rect.w_ofs)),
                    4 * static_cast<size_t>(c1 - c0));
      cr_rect_cache_release(maker_.rects(), &ref);
    }
  return true;
}

bool ImageStream::band(CR_FILE* f, std::string* out, std::string* failure) {
  const ImageRequest& r = request_;
  int rows = std::clamp(kBandPixels / r.final_w(), 1, r.final_h() - next_row_);
  int last = next_row_ + rows;
  Block block = block_of(r, next_row_, last);
  std::vector<unsigned char> rgb(3 * static_cast<size_t>(block.w) * block.h);
  SourceRows source = [&](int y, int n, int x0, int x1, unsigned char* pixels) { return fetch(f, y, n, x0, x1, pixels); };
  if (!resample_block(xs_, ys_, block.x, block.y, block.w, block.h, source, rgb.data())) {
    *failure = rebuild_failure(failed_at_);
    return false;
  }
  std::vector<unsigned char> final_rows(static_cast<size_t>(channels_of(r.quality)) * r.final_w() * rows);
  place(r, block, rgb.data(), next_row_, last, final_rows.data());
  next_row_ = last;
  if (encoder_->write(final_rows.data(), rows, out)) return true;
  *failure = "cannot encode the image";
  return false;
}

BodyStream::Step ImageStream::next(std::string* out, std::string* failure) {
  if (!encoder_ && !start(out, failure)) return Step::kFailed;
  Borrowed handle(maker_, *image_);
  if (handle.file() == nullptr) {
    *failure = "the file changed while it was read";
    return Step::kFailed;
  }
  size_t had = out->size();
  while (next_row_ < request_.final_h() && out->size() - had < kPartBytes)
    if (!band(handle.file(), out, failure)) return Step::kFailed;
  if (next_row_ < request_.final_h()) return Step::kMore;
  if (!encoder_->finish(out)) {
    *failure = "cannot encode the image";
    return Step::kFailed;
  }
  return Step::kDone;
}

}  // namespace crserve
