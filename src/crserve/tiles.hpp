// The tile geometry the server offers over a CR file: the image at every power-of-two scale from
// full size down to one pixel, cut into squares of the file's rectangle size. Scales the file holds
// as levels are read from them; coarser ones are shrunk from the file's coarsest level.
#pragma once

#include <optional>
#include <string>

#include "r64_types.hpp"

namespace crserve {

inline constexpr int kTileJpegQuality = 90;  // quality of the tiles sent, above the file's own 80

struct Pyramid {
  int width = 0;  // level 0
  int height = 0;
  int tile = 0;      // the file's rectangle size, the side of every tile
  int coarsest = 0;  // the file's coarsest level
  int max_scale = 0;  // log2 of the scale at which the image is 1 x 1: ceil(log2(max(width, height)))
};

// The geometry of an open CR file; nothing when the file holds no level.
std::optional<Pyramid> pyramid_of(const CR_FILE* f);

// Size of the image at scale 1 / 2^scale: the levels' halving with odd sizes rounded up.
int width_at(const Pyramid& p, int scale);
int height_at(const Pyramid& p, int scale);

// The smallest scale at which the whole image fits in one tile.
int one_tile_scale(const Pyramid& p);

// A tile to make: the region w x h at (x, y) of the file's `level`, wholly inside it, shrunk by the
// power of two `shrink` with a box filter; tiles of the file's own levels have shrink 1 and are
// exactly one of its rectangles.
struct TileRequest {
  int level = 0;
  int x = 0, y = 0;  // top-left pixel in the level
  int w = 0, h = 0;
  int shrink = 1;

  int out_w() const { return (w + shrink - 1) / shrink; }
  int out_h() const { return (h + shrink - 1) / shrink; }
  // Names the tile in caches and entity tags.
  std::string key() const;
  bool operator==(const TileRequest&) const = default;
};

// Tile (column, row) of the image at scale 1 / 2^scale; nothing when it lies outside.
std::optional<TileRequest> tile_at(const Pyramid& p, int scale, int column, int row);

}  // namespace crserve
