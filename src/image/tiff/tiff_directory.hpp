// The first directory of a TIFF file, counted before libtiff reads it: libtiff keeps every tag's
// values and the offsets and byte counts of every strip or tile, each allocation bounded but not
// their sum, so a small file could make it hold hundreds of MiB.
#pragma once

#include <cstdint>

namespace row_source_internal {

// A directory of more entries is refused: files hold some tens.
inline constexpr uint64_t kMostTiffTags = 1024;
// The values of the tags libtiff keeps (the strip and tile tables apart), counted at their size in
// the file and IFD offsets at the 8 bytes libtiff holds them in. With the largest row of tiles or
// interlaced image, the bands and the tile cache, 6 MiB more keeps "-ir" within 64 MiB; ICC
// profiles, XMP and Photoshop's resources of usual files take far less.
inline constexpr uint64_t kMostTiffTagBytes = 6u << 20;
// libtiff holds the offset and the byte count of every strip or tile in 8 bytes each. 4 MiB of
// them are 262144 tiles: 64 x 64 tiles of the largest image, 16 x 16 tiles up to 8192 x 8192.
inline constexpr uint64_t kTiffStrileBytes = 16;
inline constexpr uint64_t kMostTiffStrileTableBytes = 4u << 20;
// The side of a tile is a multiple of this (libtiff only warns about others).
inline constexpr uint64_t kTiffTileSideMultiple = 16;

// Reads the entries of the file's first directory (classic or BigTIFF, either byte order) and
// refuses, with the reason, one whose tags or tables exceed the bounds above, whose tiles are not
// multiples of 16 a side, or whose count of strips or tiles is not the one its geometry makes:
// -1. 0 when the directory is within them, or cannot be read (libtiff then says why).
int check_tiff_directory(int fd);

}  // namespace row_source_internal
