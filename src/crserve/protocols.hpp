// The two tile protocols as pure functions: a request path (already percent-decoded, without the
// protocol's prefix) becomes a tile to make or a refusal, and the descriptors are plain text.
// Nothing here touches the file or a socket.
#pragma once

#include <string>
#include <string_view>

#include "crserve/tiles.hpp"

namespace crserve {

inline constexpr int kOk = 200;
inline constexpr int kBadRequest = 400;  // malformed, outside the image, or not a tile offered
inline constexpr int kNotFound = 404;

struct Route {
  int status = kNotFound;
  TileRequest tile;  // when status is kOk
};

// Deep Zoom: the descriptor served as "/image.dzi", and "{level}/{column}_{row}.jpg" of the folder
// "/image_files/". Level max_scale is the full image; levels and tiles outside give 404.
std::string deep_zoom_descriptor(const Pyramid& p);
Route route_deep_zoom(const Pyramid& p, std::string_view path);

// IIIF Image API 3.0 at level 0: the description "info.json" of the service at base_url, and
// "{region}/{size}/0/default.jpg" for exactly the tiles and whole-image sizes it lists.
std::string iiif_info(const Pyramid& p, std::string_view base_url);
Route route_iiif(const Pyramid& p, std::string_view path);

// A decimal number of at most 9 digits and nothing else; -1 otherwise.
int parse_count(std::string_view digits);

}  // namespace crserve
