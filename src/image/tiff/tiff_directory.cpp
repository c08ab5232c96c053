// Counts the first directory of a TIFF file before libtiff reads it: its entries, the bytes of
// their values, the sides of its tiles, and its tables of strips or tiles against the image's
// geometry. Only the entries are read; a directory that cannot be read is left to libtiff.
#include "tiff_directory.hpp"

#include <endian.h>
#include <tiff.h>

#include <algorithm>
#include <cinttypes>
#include <cstring>
#include <limits>
#include <optional>
#include <vector>

#include "fd_io.hpp"
#include "row_source_internal.hpp"

namespace row_source_internal {
namespace {

constexpr uint16_t kClassicMagic = 42, kBigTiffMagic = 43;
constexpr size_t kClassicHeaderBytes = 8, kBigTiffHeaderBytes = 16;
constexpr uint64_t kSaturated = std::numeric_limits<uint64_t>::max();
constexpr uint64_t kWidestValue = 8;  // the widest value libtiff holds: a double, a 64-bit offset
constexpr int kMiB = 20;

uint64_t times(uint64_t a, uint64_t b) {
  uint64_t product;
  return __builtin_mul_overflow(a, b, &product) ? kSaturated : product;
}

uint64_t plus(uint64_t a, uint64_t b) {
  uint64_t sum;
  return __builtin_add_overflow(a, b, &sum) ? kSaturated : sum;
}

uint64_t ceil_div(uint64_t a, uint64_t b) { return a / b + (a % b != 0); }

// The file's byte order and variant: what an entry looks like and how its integers read.
struct Layout {
  bool big_endian = false;
  bool bigtiff = false;

  size_t offset_bytes() const { return bigtiff ? 8 : 4; }  // an offset, a count of values, a value field
  size_t count_bytes() const { return bigtiff ? 8 : 2; }   // the count of entries of a directory
  size_t entry_bytes() const { return 4 + 2 * offset_bytes(); }

  uint64_t integer(const unsigned char* at, size_t bytes) const {
    uint16_t v16;
    uint32_t v32;
    uint64_t v64;
    switch (bytes) {
      case 1: return at[0];
      case 2: std::memcpy(&v16, at, sizeof v16); return big_endian ? be16toh(v16) : le16toh(v16);
      case 4: std::memcpy(&v32, at, sizeof v32); return big_endian ? be32toh(v32) : le32toh(v32);
      default: std::memcpy(&v64, at, sizeof v64); return big_endian ? be64toh(v64) : le64toh(v64);
    }
  }
};

struct Entry {
  uint16_t tag;
  uint16_t type;
  uint64_t count;
  const unsigned char* field;  // the value or the offset of the values
};

// The entry whose bytes start at `at`: tag, type, count, value field.
Entry entry_at(const Layout& layout, const unsigned char* at) {
  return {static_cast<uint16_t>(layout.integer(at, 2)), static_cast<uint16_t>(layout.integer(at + 2, 2)),
          layout.integer(at + 4, layout.offset_bytes()), at + 4 + layout.offset_bytes()};
}

// The bytes of one value of each type as libtiff holds it; unknown types at the widest.
uint64_t value_bytes(uint16_t type) {
  switch (type) {
    case TIFF_BYTE: case TIFF_ASCII: case TIFF_SBYTE: case TIFF_UNDEFINED: return 1;
    case TIFF_SHORT: case TIFF_SSHORT: return 2;
    case TIFF_LONG: case TIFF_SLONG: case TIFF_FLOAT: return 4;
    case TIFF_RATIONAL: case TIFF_SRATIONAL: case TIFF_DOUBLE: return 8;
    case TIFF_IFD: case TIFF_LONG8: case TIFF_SLONG8: case TIFF_IFD8: return 8;  // offsets held in 64 bits
    default: return kWidestValue;
  }
}

// The one integer an entry holds in its value field, as libtiff reads a size or a count.
std::optional<uint64_t> integer_of(const Layout& layout, const Entry& e) {
  if (e.count != 1) return std::nullopt;
  switch (e.type) {
    case TIFF_BYTE: case TIFF_SBYTE: return layout.integer(e.field, 1);
    case TIFF_SHORT: case TIFF_SSHORT: return layout.integer(e.field, 2);
    case TIFF_LONG: case TIFF_SLONG: return layout.integer(e.field, 4);
    case TIFF_LONG8: case TIFF_SLONG8:
      if (layout.bigtiff) return layout.integer(e.field, 8);
      return std::nullopt;
    default: return std::nullopt;
  }
}

// What makes the count of strips or tiles; unset fields are libtiff's defaults.
struct Geometry {
  std::optional<uint64_t> width, height;
  std::optional<uint64_t> tile_width, tile_height;
  uint64_t rows_per_strip = kSaturated;  // one strip
  uint64_t depth = 1, tile_depth = 1;
  uint64_t samples = 1;
  bool planes_apart = false;

  bool tiled() const { return tile_width.has_value() || tile_height.has_value(); }
};

void note_geometry(const Layout& layout, const Entry& e, Geometry* g) {
  const std::optional<uint64_t> value = integer_of(layout, e);
  if (!value) return;
  switch (e.tag) {
    case TIFFTAG_IMAGEWIDTH: g->width = value; break;
    case TIFFTAG_IMAGELENGTH: g->height = value; break;
    case TIFFTAG_TILEWIDTH: g->tile_width = value; break;
    case TIFFTAG_TILELENGTH: g->tile_height = value; break;
    // 0 is libtiff's to refuse: counted as the default meanwhile.
    case TIFFTAG_ROWSPERSTRIP: if (*value > 0) g->rows_per_strip = *value; break;
    case TIFFTAG_IMAGEDEPTH: if (*value > 0) g->depth = *value; break;
    case TIFFTAG_TILEDEPTH: if (*value > 0) g->tile_depth = *value; break;
    case TIFFTAG_SAMPLESPERPIXEL: g->samples = *value; break;
    case TIFFTAG_PLANARCONFIG: g->planes_apart = *value == PLANARCONFIG_SEPARATE; break;
    default: break;
  }
}

bool is_strile_table(uint16_t tag) {
  return tag == TIFFTAG_STRIPOFFSETS || tag == TIFFTAG_STRIPBYTECOUNTS || tag == TIFFTAG_TILEOFFSETS ||
         tag == TIFFTAG_TILEBYTECOUNTS;
}

// The strips or tiles of the image, as libtiff counts them.
uint64_t striles_of(const Geometry& g) {
  const uint64_t planes = g.planes_apart ? g.samples : 1;
  if (!g.tiled()) return times(ceil_div(*g.height, std::min(g.rows_per_strip, *g.height)), planes);
  const uint64_t across = ceil_div(*g.width, *g.tile_width), down = ceil_div(*g.height, *g.tile_height);
  return times(times(times(across, down), ceil_div(g.depth, g.tile_depth)), planes);
}

bool tile_side_fits(const std::optional<uint64_t>& side) {
  return side.has_value() && *side > 0 && *side % kTiffTileSideMultiple == 0;
}

// The size, and the sides of the tiles: what the count of strips or tiles follows from.
int check_geometry(const Geometry& g) {
  constexpr uint64_t kMostSide = std::numeric_limits<long long>::max();
  if (!size_fits(static_cast<long long>(std::min(*g.width, kMostSide)), static_cast<long long>(std::min(*g.height, kMostSide))))
    return -1;
  if (g.tiled() && !(tile_side_fits(g.tile_width) && tile_side_fits(g.tile_height)))
    return source_failure("TIFF tiles of %" PRIu64 " x %" PRIu64
                          " are not supported (their sides must be multiples of %" PRIu64 ")",
                          g.tile_width.value_or(0), g.tile_height.value_or(0), kTiffTileSideMultiple);
  return 0;
}

// The strip or tile tables: within their bound, each as long as the geometry makes it.
int check_tables(const Geometry& g, const std::vector<Entry>& tables) {
  const uint64_t striles = striles_of(g);
  const uint64_t table_bytes = times(striles, kTiffStrileBytes);
  if (table_bytes > kMostTiffStrileTableBytes)
    return source_failure(
        "the TIFF image has %" PRIu64 " %s, whose offsets and byte counts take %" PRIu64 " MiB (at most %" PRIu64 ")",
        striles, g.tiled() ? "tiles" : "strips", table_bytes >> kMiB, kMostTiffStrileTableBytes >> kMiB);
  for (const Entry& table : tables) {
    if (table.count == striles) continue;
    const bool offsets = table.tag == TIFFTAG_STRIPOFFSETS || table.tag == TIFFTAG_TILEOFFSETS;
    return source_failure("the TIFF table of %s %s holds %" PRIu64 " entries where the image's geometry makes %" PRIu64,
                          g.tiled() ? "tile" : "strip", offsets ? "offsets" : "byte counts", table.count, striles);
  }
  return 0;
}

// The tags' values, the tables apart, against their bound; then the geometry and the tables.
int check_entries(const Layout& layout, const std::vector<Entry>& entries) {
  uint64_t tag_bytes = 0;
  Geometry geometry;
  std::vector<Entry> tables;
  for (const Entry& e : entries) {
    if (is_strile_table(e.tag)) {
      tables.push_back(e);
      continue;
    }
    note_geometry(layout, e, &geometry);
    tag_bytes = plus(tag_bytes, times(e.count, value_bytes(e.type)));
  }
  if (tag_bytes > kMostTiffTagBytes)
    return source_failure("the TIFF tags hold %" PRIu64 " MiB of values (at most %" PRIu64 ")", tag_bytes >> kMiB,
                          kMostTiffTagBytes >> kMiB);
  if (!geometry.width || !geometry.height) return 0;  // libtiff names what is missing
  if (check_geometry(geometry) != 0) return -1;
  return check_tables(geometry, tables);
}

// Reads `bytes` at `offset`; false when the file ends first or cannot be read.
bool read_exactly_at(int fd, unsigned char* data, size_t bytes, uint64_t offset) {
  if (offset > static_cast<uint64_t>(std::numeric_limits<off_t>::max())) return false;
  return fd_io::read_at(fd, data, bytes, static_cast<off_t>(offset)) == static_cast<ssize_t>(bytes);
}

// The header's byte order, variant and offset of the first directory; false when it is none.
bool read_header(int fd, Layout* layout, uint64_t* directory) {
  unsigned char header[kBigTiffHeaderBytes] = {};
  const ssize_t got = fd_io::read_at(fd, header, sizeof header, 0);
  layout->big_endian = header[0] == 'M';
  const uint64_t magic = layout->integer(header + 2, 2);
  layout->bigtiff = magic == kBigTiffMagic;
  if (magic != kClassicMagic && magic != kBigTiffMagic) return false;
  if (got < static_cast<ssize_t>(layout->bigtiff ? kBigTiffHeaderBytes : kClassicHeaderBytes)) return false;
  *directory = layout->integer(header + (layout->bigtiff ? 8 : 4), layout->offset_bytes());
  return true;
}

}  // namespace

int check_tiff_directory(int fd) {
  Layout layout;
  uint64_t directory = 0;
  unsigned char count_field[8];
  if (!read_header(fd, &layout, &directory) ||
      !read_exactly_at(fd, count_field, layout.count_bytes(), directory))
    return 0;
  const uint64_t count = layout.integer(count_field, layout.count_bytes());
  if (count > kMostTiffTags)
    return source_failure("the TIFF directory holds %" PRIu64 " tags (at most %" PRIu64 ")", count, kMostTiffTags);
  std::vector<unsigned char> bytes(count * layout.entry_bytes());
  if (!read_exactly_at(fd, bytes.data(), bytes.size(), plus(directory, layout.count_bytes()))) return 0;
  std::vector<Entry> entries;
  for (size_t at = 0; at < bytes.size(); at += layout.entry_bytes()) entries.push_back(entry_at(layout, &bytes[at]));
  return check_entries(layout, entries);
}

}  // namespace row_source_internal
