// Writes a photo-like P6 test image of any size: a mosaic of 512 x 512 cells, each a real photo
// scaled to the cell (nearest pixel), streamed row by row so memory stays small.
//   make_mosaic OUT.ppm SIDE PHOTO.ppm [PHOTO.ppm ...]
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "ppmlib_types.hpp"

namespace {

constexpr int kCell = 512;

struct Photo {
  int width = 0;
  int height = 0;
  std::vector<unsigned char> rgb;  // 3 bytes a pixel
};

bool load_photo(const char* path, Photo* photo) {
  PPM_INFO info{};
  info.pi_fd = open(path, O_RDONLY);
  if (info.pi_fd < 0 || read_header(&info) != 0 || info.pi_max != 255) return false;
  int channels = std::string(info.pi_type) == "P5" ? 1 : 3;
  photo->width = static_cast<int>(info.pi_width);
  photo->height = static_cast<int>(info.pi_height);
  std::vector<unsigned char> raw(static_cast<size_t>(photo->width) * photo->height * channels);
  bool complete = read(info.pi_fd, raw.data(), raw.size()) == static_cast<ssize_t>(raw.size());
  close(info.pi_fd);
  photo->rgb.resize(static_cast<size_t>(photo->width) * photo->height * 3);
  for (size_t i = 0; i < photo->rgb.size(); ++i) photo->rgb[i] = raw[channels == 3 ? i : i / 3];
  return complete;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: make_mosaic OUT.ppm SIDE PHOTO.ppm [PHOTO.ppm ...]\n");
    return 1;
  }
  int side = std::atoi(argv[2]);
  std::vector<Photo> photos(static_cast<size_t>(argc - 3));
  for (int i = 3; i < argc; ++i)
    if (!load_photo(argv[i], &photos[static_cast<size_t>(i - 3)])) {
      std::fprintf(stderr, "cannot read the photo \"%s\"\n", argv[i]);
      return 1;
    }
  FILE* out = std::fopen(argv[1], "wb");
  if (out == nullptr) return 1;
  std::fprintf(out, "P6\n%d %d\n255\n", side, side);
  std::vector<unsigned char> row(static_cast<size_t>(side) * 3);
  for (int y = 0; y < side; ++y) {
    for (int x = 0; x < side; ++x) {
      int cx = x / kCell, cy = y / kCell;
      const Photo& photo = photos[static_cast<size_t>(cx * 7 + cy * 3) % photos.size()];
      bool mirrored = (cx + cy) % 2 == 1;  // varies the cells that share a photo
      int px = (x % kCell) * photo.width / kCell;
      int py = (y % kCell) * photo.height / kCell;
      if (mirrored) px = photo.width - 1 - px;
      const unsigned char* src = &photo.rgb[(static_cast<size_t>(py) * photo.width + px) * 3];
      row[static_cast<size_t>(x) * 3 + 0] = src[0];
      row[static_cast<size_t>(x) * 3 + 1] = src[1];
      row[static_cast<size_t>(x) * 3 + 2] = src[2];
    }
    if (std::fwrite(row.data(), 1, row.size(), out) != row.size()) return 1;
  }
  return std::fclose(out) == 0 ? 0 : 1;
}
