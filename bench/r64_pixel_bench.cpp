// The per-pixel hit path: r64_set and r64_red of pixels in the most recently used tile, and a
// walk over a whole band of tiles, the way the level builder and the CR writer touch pixels.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "change_endian.hpp"
#include "r64.hpp"

namespace {

struct ScratchFile {
  ScratchFile() {
    char templ[] = "/tmp/r64-bench-XXXXXX";
    int fd = mkstemp(templ);
    close(fd);
    path = templ;
  }
  ~ScratchFile() { unlink(path.c_str()); }
  std::string path;
};

R64_FILE* create(const ScratchFile& file, int w, int h) {
  check_endian();
  r64_init();
  return r64_open_file(file.path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644, 'P', w, h);
}

void BM_SetInNewestTile(benchmark::State& state) {
  ScratchFile file;
  R64_FILE* f = create(file, 64, 64);
  unsigned char row[64 * 3];
  for (int i = 0; i < 64 * 3; ++i) row[i] = static_cast<unsigned char>(i);
  for (auto _ : state) {
    for (int y = 0; y < 64; ++y)
      for (int x = 0; x < 64; ++x) r64_set(f, x, y, 0, row + 3 * x);
  }
  state.SetItemsProcessed(state.iterations() * 64 * 64);
  r64_close_file(f);
}
BENCHMARK(BM_SetInNewestTile);

void BM_ReadInNewestTile(benchmark::State& state) {
  ScratchFile file;
  R64_FILE* f = create(file, 64, 64);
  unsigned char px[3];
  unsigned sum = 0;
  for (auto _ : state) {
    for (int y = 0; y < 64; ++y)
      for (int x = 0; x < 64; ++x) {
        r64_red(px, f, x, y, 0);
        sum += px[0];
      }
  }
  benchmark::DoNotOptimize(sum);
  state.SetItemsProcessed(state.iterations() * 64 * 64);
  r64_close_file(f);
}
BENCHMARK(BM_ReadInNewestTile);

// Row by row across a band of 256 tiles: every 64 pixels the walk goes to the ring's far end.
void BM_SetRowsAcrossWideBand(benchmark::State& state) {
  ScratchFile file;
  const int width = 16384;
  R64_FILE* f = create(file, width, 64);
  unsigned char px[3] = {1, 2, 3};
  for (auto _ : state) {
    for (int y = 0; y < 64; ++y)
      for (int x = 0; x < width; ++x) r64_set(f, x, y, 0, px);
  }
  state.SetItemsProcessed(state.iterations() * width * 64);
  r64_close_file(f);
}
BENCHMARK(BM_SetRowsAcrossWideBand);

}  // namespace

BENCHMARK_MAIN();
