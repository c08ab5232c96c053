// Deep Zoom: level k of max_scale + 1 levels is the image at scale 1 / 2^(max_scale - k), cut into
// tiles of the file's rectangle size without overlap, so a tile of a level the file holds is one
// of its rectangles.
#include <string>

#include "protocols.hpp"

namespace crserve {

int parse_count(std::string_view digits) {
  if (digits.empty() || digits.size() > 9) return -1;
  int value = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return -1;
    value = value * 10 + (c - '0');
  }
  return value;
}

Route Route::of_tile(const TileRequest& t) {
  Route route;
  route.status = kOk;
  route.tile = t;
  return route;
}

Route Route::of_image(const ImageRequest& r) {
  Route route;
  route.status = kOk;
  route.render = true;
  route.image = r;
  return route;
}

Route Route::refused(int status, std::string reason) {
  Route route;
  route.status = status;
  route.reason = std::move(reason);
  return route;
}

std::string deep_zoom_descriptor(const Pyramid& p) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
         "<Image xmlns=\"http://schemas.microsoft.com/deepzoom/2008\" Format=\"jpg\" Overlap=\"0\" TileSize=\"" +
         std::to_string(p.tile) + "\">\n  <Size Width=\"" + std::to_string(p.width) + "\" Height=\"" +
         std::to_string(p.height) + "\"/>\n</Image>\n";
}

Route route_deep_zoom(const Pyramid& p, std::string_view path) {
  size_t slash = path.find('/');
  size_t underscore = path.find('_', slash == std::string_view::npos ? 0 : slash);
  size_t dot = path.rfind('.');
  if (slash == std::string_view::npos || underscore == std::string_view::npos || dot == std::string_view::npos ||
      dot < underscore)
    return Route::refused(kBadRequest);
  if (path.substr(dot) != ".jpg") return Route::refused(kNotFound);
  int level = parse_count(path.substr(0, slash));
  int column = parse_count(path.substr(slash + 1, underscore - slash - 1));
  int row = parse_count(path.substr(underscore + 1, dot - underscore - 1));
  if (level < 0 || column < 0 || row < 0) return Route::refused(kBadRequest);
  if (level > p.max_scale) return Route::refused(kNotFound);
  std::optional<TileRequest> tile = tile_at(p, p.max_scale - level, column, row);
  if (!tile) return Route::refused(kNotFound);
  return Route::of_tile(*tile);
}

}  // namespace crserve
