// Feeds request paths to the tile server's protocol parsers on images of odd and extreme sizes;
// the first byte picks the image and the protocol. Whatever the path, a route must be a refusal
// (with its one-line reason for IIIF), a tile wholly inside an existing level, at most one tile's
// worth of pixels once shrunk, or an image of a region inside the image within the limits.
#include <fcntl.h>

#include <string_view>
#include <vector>

#include "crserve/protocols.hpp"
#include "fuzz_support.hpp"

namespace {

struct Shape {
  int width, height, rect;
};

constexpr Shape kShapes[] = {{600, 400, 64}, {257, 3, 256}, {3, 3, 64}, {16384, 16384, 256}, {32767, 5, 128}, {40, 30, 64}};

// The geometry of each shape, from an empty CR file of that size made in memory.
std::vector<crserve::Pyramid> make_pyramids() {
  std::vector<crserve::Pyramid> pyramids;
  MemFile file("crserve_routes");
  for (Shape s : kShapes) {
    file.truncate();
    CR_FILE* f = cr_open_file(file.path(), O_RDWR | O_CREAT | O_TRUNC, 0644, s.rect, s.width, s.height);
    FUZZ_CHECK(f != nullptr);
    std::optional<crserve::Pyramid> p = crserve::pyramid_of(f);
    FUZZ_CHECK(p.has_value());
    pyramids.push_back(*p);
    cr_close_file(f);
  }
  return pyramids;
}

void check_tile(const crserve::Pyramid& p, const crserve::TileRequest& t) {
  FUZZ_CHECK(t.level >= 0 && t.level <= p.coarsest);
  FUZZ_CHECK(t.shrink >= 1 && (t.shrink & (t.shrink - 1)) == 0);
  FUZZ_CHECK(t.shrink == 1 || t.level == p.coarsest);
  FUZZ_CHECK(t.x >= 0 && t.y >= 0 && t.w >= 1 && t.h >= 1);
  FUZZ_CHECK(t.x + t.w <= crserve::width_at(p, t.level) && t.y + t.h <= crserve::height_at(p, t.level));
  FUZZ_CHECK(t.out_w() <= p.tile && t.out_h() <= p.tile);
}

// Limits small enough for paths to reach them.
constexpr crserve::ImageLimits kLimits{1 << 16, 1000, 300};

void check_image(const crserve::Pyramid& p, const crserve::ImageRequest& r) {
  FUZZ_CHECK(r.x >= 0 && r.y >= 0 && r.w >= 1 && r.h >= 1 && r.x + r.w <= p.width && r.y + r.h <= p.height);
  FUZZ_CHECK(r.out_w >= 1 && r.out_h >= 1 && r.out_w <= kLimits.max_width && r.out_h <= kLimits.max_height);
  FUZZ_CHECK(static_cast<long>(r.out_w) * r.out_h <= kLimits.max_area);
  FUZZ_CHECK(r.rotation == 0 || r.rotation == 90 || r.rotation == 180 || r.rotation == 270);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::vector<crserve::Pyramid> pyramids = (fuzz_init(), make_pyramids());
  if (size < 1) return 0;
  const crserve::Pyramid& p = pyramids[data[0] % pyramids.size()];
  std::string_view path(reinterpret_cast<const char*>(data + 1), size - 1);
  bool iiif = data[0] & 0x80;
  crserve::Route route = iiif ? crserve::route_iiif(p, kLimits, path) : crserve::route_deep_zoom(p, path);
  FUZZ_CHECK(route.status == crserve::kOk || route.status == crserve::kBadRequest ||
             route.status == crserve::kNotFound || (iiif && route.status == crserve::kNotImplemented));
  FUZZ_CHECK(!iiif || route.status == crserve::kOk || (!route.reason.empty() && route.reason.find('\n') == std::string::npos));
  if (route.status == crserve::kOk && !route.render) check_tile(p, route.tile);
  if (route.status == crserve::kOk && route.render) check_image(p, route.image);
  return 0;
}
