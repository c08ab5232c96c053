// IIIF Image API 3.0 at compliance level 2. The service lists tiles of the file's rectangle size at
// the power-of-two scale factors down to the one where the image fits a tile, and the whole image
// at the sizes that fit one tile; those requests are tiles, whatever size form the client writes.
// Every other request of a region, size, rotation, quality and format is checked against the
// grammar and the limits and becomes an image to render; nothing is touched before that.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "protocols.hpp"

namespace crserve {

namespace {

struct Region {
  int x, y, w, h;  // of the full image, clipped to it
};

// A size before the limits.
struct Size {
  enum Form { kMax, kWidthHeight, kConfined, kPercent } form = kMax;  // kWidthHeight: a side may be 0
  bool upscale = false;  // "^": larger than the region allowed
  int64_t w = 0, h = 0;
  double percent = 0;
};

Route refused(int status, std::string reason) { return Route::refused(status, std::move(reason)); }

// A part of a request that is well formed.
Route accepted() { return Route::refused(kOk); }

std::vector<std::string_view> split(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  for (size_t start = 0;;) {
    size_t end = text.find(separator, start);
    parts.push_back(text.substr(start, end - start));
    if (end == std::string_view::npos) return parts;
    start = end + 1;
  }
}

// A decimal number with an optional fraction ("12", "12.5"), at most 9 digits on each side; -1
// otherwise.
double parse_decimal(std::string_view text) {
  size_t dot = text.find('.');
  int whole = parse_count(text.substr(0, dot));
  if (whole < 0) return -1;
  if (dot == std::string_view::npos) return whole;
  std::string_view fraction = text.substr(dot + 1);
  int digits = parse_count(fraction);
  if (digits < 0) return -1;
  return whole + digits / std::pow(10.0, static_cast<double>(fraction.size()));
}

int64_t rounded(double v) { return static_cast<int64_t>(std::llround(v)); }

// "full", "square", "x,y,w,h" or "pct:x,y,w,h", clipped to the image; an empty region or one wholly
// outside is refused.
Route parse_region(const Pyramid& p, std::string_view text, Region* region) {
  if (text == "full") {
    *region = Region{0, 0, p.width, p.height};
    return accepted();
  }
  if (text == "square") {
    int side = std::min(p.width, p.height);
    *region = Region{(p.width - side) / 2, (p.height - side) / 2, side, side};
    return accepted();
  }
  bool pct = text.starts_with("pct:");
  std::vector<std::string_view> parts = split(pct ? text.substr(4) : text, ',');
  if (parts.size() != 4) return refused(kBadRequest, "the region is not full, square, x,y,w,h or pct:x,y,w,h");
  double n[4];
  for (int i = 0; i < 4; ++i) {
    std::string_view part = parts[static_cast<size_t>(i)];
    n[i] = pct ? parse_decimal(part) : parse_count(part);
    if (n[i] < 0) return refused(kBadRequest, "the region's numbers are not whole decimal numbers");
  }
  int64_t left = pct ? rounded(n[0] * p.width / 100) : static_cast<int64_t>(n[0]);
  int64_t top = pct ? rounded(n[1] * p.height / 100) : static_cast<int64_t>(n[1]);
  int64_t right = pct ? rounded((n[0] + n[2]) * p.width / 100) : left + static_cast<int64_t>(n[2]);
  int64_t bottom = pct ? rounded((n[1] + n[3]) * p.height / 100) : top + static_cast<int64_t>(n[3]);
  right = std::min<int64_t>(right, p.width);
  bottom = std::min<int64_t>(bottom, p.height);
  if (n[2] == 0 || n[3] == 0 || right <= left || bottom <= top)
    return refused(kBadRequest, "the region is empty or outside the image");
  *region = Region{static_cast<int>(left), static_cast<int>(top), static_cast<int>(right - left),
                   static_cast<int>(bottom - top)};
  return accepted();
}

// "max", "w,", ",h", "pct:n", "w,h" or "!w,h", each with an optional leading "^".
Route parse_size(std::string_view text, Size* size) {
  size->upscale = text.starts_with("^");
  if (size->upscale) text.remove_prefix(1);
  const Route malformed = refused(kBadRequest, "the size is not max, w,, ,h, pct:n, w,h or !w,h");
  if (text == "max") {
    size->form = Size::kMax;
    return accepted();
  }
  if (text.starts_with("pct:")) {
    size->form = Size::kPercent;
    size->percent = parse_decimal(text.substr(4));
    if (size->percent < 0) return malformed;
    if (size->percent == 0) return refused(kBadRequest, "the size is zero");
    return accepted();
  }
  bool confined = text.starts_with("!");
  if (confined) text.remove_prefix(1);
  size->form = confined ? Size::kConfined : Size::kWidthHeight;
  size_t comma = text.find(',');
  if (comma == std::string_view::npos) return malformed;
  std::string_view ws = text.substr(0, comma), hs = text.substr(comma + 1);
  if ((ws.empty() && hs.empty()) || (confined && (ws.empty() || hs.empty()))) return malformed;
  size->w = ws.empty() ? 0 : parse_count(ws);
  size->h = hs.empty() ? 0 : parse_count(hs);
  if (size->w < 0 || size->h < 0) return malformed;
  if ((!ws.empty() && size->w == 0) || (!hs.empty() && size->h == 0)) return refused(kBadRequest, "the size is zero");
  return accepted();
}

int64_t at_least_one(int64_t v) { return std::max<int64_t>(1, v); }

// The largest size of the region's shape within the limits, no larger than the region unless
// upscaling is allowed.
void largest_within(const Region& r, const ImageLimits& limits, bool upscale, int64_t* w, int64_t* h) {
  double scale = std::min({static_cast<double>(limits.max_width) / r.w, static_cast<double>(limits.max_height) / r.h,
                           std::sqrt(static_cast<double>(limits.max_area) / (static_cast<double>(r.w) * r.h))});
  if (!upscale) scale = std::min(scale, 1.0);
  *w = at_least_one(static_cast<int64_t>(std::floor(r.w * scale + 1e-9)));
  *h = at_least_one(static_cast<int64_t>(std::floor(r.h * scale + 1e-9)));
  while (*w * *h > limits.max_area) (*w >= *h ? *w : *h) -= 1;
}

// The output size the size asks of the region, before the limits.
void scaled_size(const Region& r, const Size& s, int64_t* w, int64_t* h) {
  if (s.form == Size::kPercent) {
    *w = at_least_one(rounded(r.w * s.percent / 100));
    *h = at_least_one(rounded(r.h * s.percent / 100));
  } else if (s.form == Size::kConfined) {
    int64_t bw = s.w, bh = s.h;
    bool by_width = bw * r.h <= bh * r.w;
    *w = by_width ? bw : at_least_one(rounded(static_cast<double>(r.w) * bh / r.h));
    *h = by_width ? at_least_one(rounded(static_cast<double>(r.h) * bw / r.w)) : bh;
    if (!s.upscale && (*w > r.w || *h > r.h)) *w = r.w, *h = r.h;
  } else {
    *w = s.w > 0 ? s.w : at_least_one(rounded(static_cast<double>(r.w) * s.h / r.h));
    *h = s.h > 0 ? s.h : at_least_one(rounded(static_cast<double>(r.h) * s.w / r.w));
  }
}

Route apply_size(const Region& r, const Size& s, const ImageLimits& limits, ImageRequest* image) {
  int64_t w = 0, h = 0;
  if (s.form == Size::kMax) {
    largest_within(r, limits, s.upscale, &w, &h);
  } else {
    scaled_size(r, s, &w, &h);
    if (!s.upscale && (w > r.w || h > r.h)) return refused(kBadRequest, "a size larger than the region needs ^");
    if (w > limits.max_width || h > limits.max_height || w * h > limits.max_area)
      return refused(kBadRequest, "the size is above the limits: at most " + std::to_string(limits.max_area) +
                                      " pixels, " + std::to_string(limits.max_width) + " x " +
                                      std::to_string(limits.max_height));
  }
  image->x = r.x, image->y = r.y, image->w = r.w, image->h = r.h;
  image->out_w = static_cast<int>(w);
  image->out_h = static_cast<int>(h);
  return accepted();
}

// "0", "90", "180", "270", each with an optional leading "!"; any other angle is valid but not
// offered.
Route parse_rotation(std::string_view text, ImageRequest* image) {
  image->mirror = text.starts_with("!");
  if (image->mirror) text.remove_prefix(1);
  for (int angle : {0, 90, 180, 270})
    if (text == std::to_string(angle)) {
      image->rotation = angle;
      return accepted();
    }
  double angle = parse_decimal(text);
  if (angle < 0 || angle > 360) return refused(kBadRequest, "the rotation is not an angle from 0 to 360");
  return refused(kNotImplemented, "rotations other than 0, 90, 180 and 270 are not offered");
}

Route parse_quality_format(std::string_view text, ImageRequest* image) {
  size_t dot = text.rfind('.');
  if (dot == std::string_view::npos) return refused(kBadRequest, "the quality has no format");
  std::string_view quality = text.substr(0, dot), format = text.substr(dot + 1);
  const std::pair<std::string_view, Quality> qualities[] = {
      {"default", Quality::kDefault}, {"color", Quality::kColor}, {"gray", Quality::kGray}, {"bitonal", Quality::kBitonal}};
  auto q = std::find_if(std::begin(qualities), std::end(qualities), [&](const auto& e) { return e.first == quality; });
  if (q == std::end(qualities)) return refused(kBadRequest, "the quality is not default, color, gray or bitonal");
  image->quality = q->second;
  if (format == "jpg" || format == "png") {
    image->format = format == "jpg" ? Format::kJpg : Format::kPng;
    return accepted();
  }
  for (std::string_view known : {"tif", "gif", "jp2", "pdf", "webp"})
    if (format == known) return refused(kNotImplemented, "the formats offered are jpg and png");
  return refused(kBadRequest, "the format is not a known one");
}

// The tile the region and size name at scale 1 / 2^scale, if they name one.
std::optional<TileRequest> tile_for(const Pyramid& p, const Region& r, const Size& s, int scale) {
  int factor = 1 << scale;
  bool max = s.form == Size::kMax;
  if (s.upscale || (max && scale != 0) || (!max && s.form != Size::kWidthHeight)) return std::nullopt;
  if (!max && s.w > 0 && s.w != (r.w + factor - 1) / factor) return std::nullopt;
  if (!max && s.h > 0 && s.h != (r.h + factor - 1) / factor) return std::nullopt;
  long span = static_cast<long>(p.tile) * factor;
  if (r.x % span != 0 || r.y % span != 0) return std::nullopt;
  std::optional<TileRequest> tile = tile_at(p, scale, static_cast<int>(r.x / span), static_cast<int>(r.y / span));
  if (!tile) return std::nullopt;
  // The region must be the tile's whole extent, clipped to the image.
  if (r.w != std::min<long>(span, p.width - r.x) || r.h != std::min<long>(span, p.height - r.y)) return std::nullopt;
  return tile;
}

bool plain_tile_form(const ImageRequest& image) {
  return !image.mirror && image.rotation == 0 && image.format == Format::kJpg &&
         (image.quality == Quality::kDefault || image.quality == Quality::kColor);
}

std::string size_entry(int w, int h) {
  return "{\"width\":" + std::to_string(w) + ",\"height\":" + std::to_string(h) + "}";
}

}  // namespace

std::string ImageRequest::key() const {
  const char* qualities[] = {"color", "color", "gray", "bitonal"};
  return std::to_string(x) + "," + std::to_string(y) + "," + std::to_string(w) + "," + std::to_string(h) + "/" +
         std::to_string(out_w) + "," + std::to_string(out_h) + "/" + (mirror ? "!" : "") + std::to_string(rotation) +
         "/" + qualities[static_cast<int>(quality)] + (format == Format::kJpg ? ".jpg" : ".png");
}

std::string iiif_info(const Pyramid& p, const ImageLimits& limits, std::string_view id) {
  std::string factors, sizes;
  // Appended piece by piece: g++ 12 misreads "literal" + std::string as an overflow.
  for (int scale = 0; scale <= one_tile_scale(p); ++scale)
    factors.append(scale > 0 ? "," : "").append(std::to_string(1 << scale));
  for (int scale = p.max_scale; scale >= one_tile_scale(p); --scale)
    sizes.append(scale < p.max_scale ? "," : "").append(size_entry(width_at(p, scale), height_at(p, scale)));
  return "{\"@context\":\"http://iiif.io/api/image/3/context.json\",\"id\":\"" + std::string(id) +
         "\",\"type\":\"ImageService3\",\"protocol\":\"http://iiif.io/api/image\",\"profile\":\"level2\",\"width\":" +
         std::to_string(p.width) + ",\"height\":" + std::to_string(p.height) +
         ",\"maxArea\":" + std::to_string(limits.max_area) + ",\"maxWidth\":" + std::to_string(limits.max_width) +
         ",\"maxHeight\":" + std::to_string(limits.max_height) + ",\"tiles\":[{\"width\":" + std::to_string(p.tile) +
         ",\"height\":" + std::to_string(p.tile) + ",\"scaleFactors\":[" + factors + "]}],\"sizes\":[" + sizes +
         "],\"extraQualities\":[\"color\",\"gray\",\"bitonal\"],\"extraFeatures\":[\"mirroring\",\"sizeUpscaling\"]}\n";
}

Route route_iiif(const Pyramid& p, const ImageLimits& limits, std::string_view path) {
  std::vector<std::string_view> parts = split(path, '/');
  if (parts.size() != 4) return refused(kNotFound, "not found");
  Region region;
  Size size;
  ImageRequest image;
  for (Route step : {parse_region(p, parts[0], &region), parse_size(parts[1], &size),
                     parse_rotation(parts[2], &image), parse_quality_format(parts[3], &image)})
    if (step.status != kOk) return step;
  if (plain_tile_form(image))
    for (int scale = 0; scale <= p.max_scale; ++scale)
      if (std::optional<TileRequest> tile = tile_for(p, region, size, scale)) return Route::of_tile(*tile);
  Route sized = apply_size(region, size, limits, &image);
  return sized.status == kOk ? Route::of_image(image) : sized;
}

}  // namespace crserve
