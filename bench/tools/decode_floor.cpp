// The floor of rebuilding a CR file: every block of every level decoded once through the codec
// call the reader uses, into one buffer. Blocks are read into memory beforehand and not timed.
//   decode_floor FILE.cr
#include <fcntl.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "change_endian.hpp"
#include "jpeg.hpp"
#include "r64.hpp"
#include "u_math.hpp"

namespace {

struct Block {
  std::vector<unsigned char> bytes;
  int w = 0;
  int h = 0;
};

// Every 'j' block of the file with its rectangle's size.
std::vector<Block> load_blocks(CR_FILE* f) {
  std::vector<Block> blocks;
  int side = f->header.rect_size;
  for (int level = 0; cr_check_level(f, level); ++level)
    for (int y = 0; y < f->level_h[level]; y += side)
      for (int x = 0; x < f->level_w[level]; x += side) {
        CR_MEM_TBL b{};
        if (cr_read(&b, f, x, y, level) < 0) continue;
        if (b.type == 'j')
          blocks.push_back(Block{std::vector<unsigned char>(b.buf, b.buf + b.size), std::min(side, f->level_w[level] - x),
                                 std::min(side, f->level_h[level] - y)});
        free_cr_mem_tbl(&b);
      }
  return blocks;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: decode_floor FILE.cr\n");
    return 2;
  }
  check_endian();
  r64_init();
  CR_FILE* f = cr_open_file(argv[1], O_RDONLY, 0, 0, 0, 0);
  if (f == nullptr) {
    std::fprintf(stderr, "cannot open %s\n", argv[1]);
    return 1;
  }
  std::vector<Block> blocks = load_blocks(f);
  cr_close_file(f);
  std::vector<unsigned char> pixels(4 * 256 * 256);
  auto start = std::chrono::steady_clock::now();
  int failed = 0;
  for (const Block& b : blocks)
    failed += !jpeg_uncompress_into(b.bytes.data(), static_cast<int>(b.bytes.size()), b.w, b.h, pixels.data());
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("blocks %zu\nfailed %d\nseconds %.3f\n", blocks.size(), failed, seconds);
  return failed == 0 ? 0 : 1;
}
