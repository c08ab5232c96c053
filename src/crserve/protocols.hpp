// The two tile protocols as pure functions: a request path (already percent-decoded, without the
// protocol's prefix) becomes a tile to make, an image to render or a refusal, and the descriptors
// are plain text. Nothing here touches the file or a socket.
#pragma once

#include <string>
#include <string_view>

#include "tiles.hpp"

namespace crserve {

inline constexpr int kOk = 200;
inline constexpr int kBadRequest = 400;  // malformed, outside the image, or above the limits
inline constexpr int kNotFound = 404;
inline constexpr int kNotImplemented = 501;  // a valid request of a feature not offered

// The largest output an image request may ask for.
struct ImageLimits {
  long max_area = 4096L * 4096;
  int max_width = kMaxSide;
  int max_height = kMaxSide;
};

enum class Quality { kDefault, kColor, kGray, kBitonal };
enum class Format { kJpg, kPng };

// An image to render: a region of the full image scaled to out_w x out_h, mirrored and rotated
// clockwise, in a quality and a format.
struct ImageRequest {
  int x = 0, y = 0, w = 0, h = 0;  // the region, inside the image
  int out_w = 0, out_h = 0;        // after scaling, before rotating
  bool mirror = false;
  int rotation = 0;  // 0, 90, 180 or 270
  Quality quality = Quality::kDefault;
  Format format = Format::kJpg;

  bool turned() const { return rotation == 90 || rotation == 270; }
  int final_w() const { return turned() ? out_h : out_w; }
  int final_h() const { return turned() ? out_w : out_h; }
  // Names the output in caches and entity tags: two requests with the same name show the same.
  std::string key() const;
  bool operator==(const ImageRequest&) const = default;
};

struct Route {
  int status = kNotFound;
  TileRequest tile;  // when status is kOk and render is false
  bool render = false;
  ImageRequest image;  // when status is kOk and render is true
  std::string reason;  // one line, for a refusal

  static Route of_tile(const TileRequest& t);
  static Route of_image(const ImageRequest& r);
  static Route refused(int status, std::string reason = {});
};

// Deep Zoom: the descriptor served as "NAME.dzi", and "{level}/{column}_{row}.jpg" of the folder
// "NAME_files/". Level max_scale is the full image; levels and tiles outside give 404.
std::string deep_zoom_descriptor(const Pyramid& p);
Route route_deep_zoom(const Pyramid& p, std::string_view path);

// IIIF Image API 3.0 at level 2: the description "info.json" of the service whose URL is `id`, and
// "{region}/{size}/{rotation}/{quality}.{format}". A request of exactly a tile or size the
// description lists (at rotation 0, default or color, jpg) is that tile; any other valid one within
// the limits is an image to render.
std::string iiif_info(const Pyramid& p, const ImageLimits& limits, std::string_view id);
Route route_iiif(const Pyramid& p, const ImageLimits& limits, std::string_view path);

// A decimal number of at most 9 digits and nothing else; -1 otherwise.
int parse_count(std::string_view digits);

}  // namespace crserve
