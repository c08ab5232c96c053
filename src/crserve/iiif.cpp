// IIIF Image API 3.0 at compliance level 0: the service lists tiles of the file's rectangle size at
// the power-of-two scale factors down to the one where the image fits a tile, and the whole image
// at the sizes that fit one tile; exactly those requests are answered, whatever size form the
// client writes. Anything else is refused before any pixel is touched.
#include <algorithm>
#include <string>
#include <vector>

#include "crserve/protocols.hpp"

namespace crserve {

namespace {

struct Region {
  int x, y, w, h;  // of the full image, clipped to it
};

std::vector<std::string_view> split(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  for (size_t start = 0;;) {
    size_t end = text.find(separator, start);
    parts.push_back(text.substr(start, end - start));
    if (end == std::string_view::npos) return parts;
    start = end + 1;
  }
}

// "full" or "x,y,w,h"; 400 for any other form, an empty region or one wholly outside the image.
int parse_region(const Pyramid& p, std::string_view text, Region* region) {
  if (text == "full") {
    *region = Region{0, 0, p.width, p.height};
    return kOk;
  }
  std::vector<std::string_view> parts = split(text, ',');
  if (parts.size() != 4) return kBadRequest;
  int n[4];
  for (int i = 0; i < 4; ++i)
    if ((n[i] = parse_count(parts[static_cast<size_t>(i)])) < 0) return kBadRequest;
  if (n[2] == 0 || n[3] == 0 || n[0] >= p.width || n[1] >= p.height) return kBadRequest;
  *region = Region{n[0], n[1], std::min(n[2], p.width - n[0]), std::min(n[3], p.height - n[1])};
  return kOk;
}

// "max", "w,", ",h" or "w,h"; a missing side is 0. Upscaling ("^"), "!w,h" and "pct:" are not offered.
bool parse_size(std::string_view text, int* w, int* h) {
  if (text == "max") {
    *w = *h = -1;
    return true;
  }
  size_t comma = text.find(',');
  if (comma == std::string_view::npos) return false;
  std::string_view ws = text.substr(0, comma), hs = text.substr(comma + 1);
  if (ws.empty() && hs.empty()) return false;
  *w = ws.empty() ? 0 : parse_count(ws);
  *h = hs.empty() ? 0 : parse_count(hs);
  return *w >= 0 && *h >= 0 && !(ws.size() > 0 && *w == 0) && !(hs.size() > 0 && *h == 0);
}

// The tile the region and size name at scale 1 / 2^scale, if they name one.
std::optional<TileRequest> tile_for(const Pyramid& p, const Region& r, int w, int h, int scale) {
  int factor = 1 << scale;
  bool max = w < 0;
  if (max && scale != 0) return std::nullopt;
  if (!max && w > 0 && w != (r.w + factor - 1) / factor) return std::nullopt;
  if (!max && h > 0 && h != (r.h + factor - 1) / factor) return std::nullopt;
  long span = static_cast<long>(p.tile) * factor;
  if (r.x % span != 0 || r.y % span != 0) return std::nullopt;
  std::optional<TileRequest> tile = tile_at(p, scale, static_cast<int>(r.x / span), static_cast<int>(r.y / span));
  if (!tile) return std::nullopt;
  // The region must be the tile's whole extent, clipped to the image.
  if (r.w != std::min<long>(span, p.width - r.x) || r.h != std::min<long>(span, p.height - r.y)) return std::nullopt;
  return tile;
}

std::string size_entry(int w, int h) {
  return "{\"width\":" + std::to_string(w) + ",\"height\":" + std::to_string(h) + "}";
}

}  // namespace

std::string iiif_info(const Pyramid& p, std::string_view base_url) {
  std::string factors, sizes;
  for (int scale = 0; scale <= one_tile_scale(p); ++scale)
    factors += (scale > 0 ? "," : "") + std::to_string(1 << scale);
  for (int scale = p.max_scale; scale >= one_tile_scale(p); --scale)
    sizes += (scale < p.max_scale ? "," : "") + size_entry(width_at(p, scale), height_at(p, scale));
  return "{\"@context\":\"http://iiif.io/api/image/3/context.json\",\"id\":\"" + std::string(base_url) +
         "\",\"type\":\"ImageService3\",\"protocol\":\"http://iiif.io/api/image\",\"profile\":\"level0\",\"width\":" +
         std::to_string(p.width) + ",\"height\":" + std::to_string(p.height) + ",\"tiles\":[{\"width\":" +
         std::to_string(p.tile) + ",\"height\":" + std::to_string(p.tile) + ",\"scaleFactors\":[" + factors +
         "]}],\"sizes\":[" + sizes + "]}\n";
}

Route route_iiif(const Pyramid& p, std::string_view path) {
  std::vector<std::string_view> parts = split(path, '/');
  if (parts.size() != 4) return Route{kNotFound, {}};
  Region region;
  int w = 0, h = 0;
  if (parse_region(p, parts[0], &region) != kOk || !parse_size(parts[1], &w, &h) || parts[2] != "0" ||
      parts[3] != "default.jpg")
    return Route{kBadRequest, {}};
  for (int scale = 0; scale <= p.max_scale; ++scale)
    if (std::optional<TileRequest> tile = tile_for(p, region, w, h, scale)) return Route{kOk, *tile};
  return Route{kBadRequest, {}};
}

}  // namespace crserve
