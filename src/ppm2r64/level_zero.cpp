// Level 0 of a new R64 file of type 'P' from bands of 64 rows, whatever reads them: each band is an
// item of an ordered run, read (on a thread of its own, up to three bands ahead, when the reader can
// and there are threads) and then stored by the R64 layer straight into its row of tiles. The file
// is written beside its target, put in its place when complete and kept open as the target of the
// commands that follow.
#include <fcntl.h>

#include <algorithm>
#include <cstdio>
#include <span>
#include <vector>

#include "parallel.hpp"
#include "ppm2r64.hpp"
#include "r64.hpp"
#include "u_math.hpp"

namespace {

TOOL_STATUS writing_failure(const char* to) { return r64_failure(CodeLine::kConversion, step_on("write", to), to); }

constexpr int kBandsAhead = 3;

// The bands in order: each read into a slot, then reported and stored on the caller's thread. A
// reader that overlaps reads on a helper, bands ahead of the storing; any other reads each band on
// the caller's thread before storing it. A failed read or store stops both, and is reported once
// the reading has stopped.
TOOL_STATUS store_bands(R64_FILE* f, const char* to, int width, int height, BandReader& bands, int threads) {
  const int count = ceil_div(height, kTileSide);
  const int ahead = bands.overlaps() && threads_or_cores(threads) > 1 ? kBandsAhead : 1;
  std::vector<std::vector<unsigned char>> slots(static_cast<size_t>(std::min(ahead, count)));
  for (auto& slot : slots) slot.resize(static_cast<size_t>(kTileSide) * width * kPixelBytes);
  std::vector<char> read(slots.size());  // per slot: whether its band was read
  auto rows_of = [height](int band) { return std::min(kTileSide, height - band * kTileSide); };
  int failed_read = -1;
  bool store_failed = false;
  run_ordered({.threads = ahead > 1 ? 2 : 1,
               .items = count,
               .ahead = ahead,
               .one_at_a_time = true,
               .work = [&](int band, int) {
                 const size_t slot = static_cast<size_t>(band % ahead);
                 read[slot] = bands.read(slots[slot], band * kTileSide, rows_of(band));
                 return read[slot] ? 0 : -1;
               },
               .commit = [&](int band) {
                 const size_t slot = static_cast<size_t>(band % ahead);
                 if (!read[slot]) {
                   failed_read = band;
                   return -1;
                 }
                 bands.report(band * kTileSide, rows_of(band));
                 store_failed = r64_write_tile_row(f, 0, band * kTileSide, slots[slot].data()) < 0;
                 return store_failed ? -1 : 0;
               }});
  if (failed_read >= 0) return bands.failure(failed_read * kTileSide);
  if (store_failed) return writing_failure(to);
  return {};
}

}  // namespace

TOOL_STATUS write_level_zero(const char* from, const char* to, int width, int height, BandReader& bands,
                             int threads) {
  ReplacingFile out;
  if (TOOL_STATUS opened = open_output(out, from, to, CodeLine::kConversion, to); opened.failed()) return opened;
  R64Handle f(r64_open_file(out.path(), O_RDWR, 0644, 'P', width, height));
  if (f == nullptr) return writing_failure(to);
  r64_ctl(f.get(), 0, 1);  // reads beyond an edge answer with the nearest edge pixel
  if (TOOL_STATUS stored = store_bands(f.get(), to, width, height, bands, threads); stored.failed()) return stored;
  std::printf("\nEND\n");
  std::fflush(stdout);
  if (r64_close_file(f.release()) != 0) return writing_failure(to);
  int written = out.commit_keeping();
  if (written < 0) {
    r64_error = kR64System;
    return writing_failure(to);
  }
  set_written_target(to, written);
  return {};
}
