// Maps tiles of the image at a power-of-two scale onto the file's levels: scale s is level s while
// the file has it; beyond the coarsest level the tile is a region of that level shrunk by the rest.
#include "tiles.hpp"

#include <algorithm>

#include "r64.hpp"
#include "u_math.hpp"

namespace crserve {

std::optional<Pyramid> pyramid_of(const CR_FILE* f) {
  if (f->level_entry[0] < 0) return std::nullopt;
  Pyramid p;
  p.width = f->level_w[0];
  p.height = f->level_h[0];
  p.tile = f->header.rect_size;
  while (p.coarsest + 1 < kLevels && f->level_entry[p.coarsest + 1] >= 0) ++p.coarsest;
  while ((1 << p.max_scale) < std::max(p.width, p.height)) ++p.max_scale;
  return p;
}

int width_at(const Pyramid& p, int scale) { return ceil_div(p.width, 1 << scale); }
int height_at(const Pyramid& p, int scale) { return ceil_div(p.height, 1 << scale); }

int one_tile_scale(const Pyramid& p) {
  int scale = 0;
  while (width_at(p, scale) > p.tile || height_at(p, scale) > p.tile) ++scale;
  return scale;
}

std::string TileRequest::key() const {
  return std::to_string(level) + "/" + std::to_string(x) + "_" + std::to_string(y) + "_" + std::to_string(w) + "_" +
         std::to_string(h) + "/" + std::to_string(shrink);
}

std::optional<TileRequest> tile_at(const Pyramid& p, int scale, int column, int row) {
  if (scale < 0 || scale > p.max_scale || column < 0 || row < 0) return std::nullopt;
  if (column >= ceil_div(width_at(p, scale), p.tile) || row >= ceil_div(height_at(p, scale), p.tile))
    return std::nullopt;
  TileRequest t;
  t.level = std::min(scale, p.coarsest);
  t.shrink = 1 << (scale - t.level);
  int side = p.tile * t.shrink;  // of the tile in the level read
  t.x = column * side;
  t.y = row * side;
  t.w = std::min(side, width_at(p, t.level) - t.x);
  t.h = std::min(side, height_at(p, t.level) - t.y);
  return t;
}

}  // namespace crserve
