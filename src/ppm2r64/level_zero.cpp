// Level 0 of a new R64 file of type 'P' from bands of 64 rows, whatever reads them: each band is
// written straight into its row of tiles with one gathering write, while a reader that can decodes
// the bands ahead on a thread of its own. The file is written beside its target, put in its place
// when complete and kept open as the target of the commands that follow.
#include <fcntl.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <span>
#include <vector>

#include "parallel.hpp"
#include "ppm2r64.hpp"
#include "r64.hpp"
#include "r64/file/r64_io.hpp"
#include "u_math.hpp"

namespace {

bool fits_r64(unsigned int side) { return side >= 3 && side <= static_cast<unsigned int>(kMaxSide); }

// Writes a band straight into its place in the file. The tiles of a row of tiles lie side by side,
// each one row after row, so the band goes out as its rows' pieces in that order, gathered by the
// system from the band itself: nothing is copied and the tile cache stays out of the way.
int store_band(R64_FILE* f, const unsigned char* band, int width, int top, int rows) {
  std::vector<iovec> pieces;
  pieces.reserve(static_cast<size_t>(ceil_div(width, kTileSide)) * static_cast<size_t>(rows));
  for (int left = 0; left < width; left += kTileSide) {
    size_t bytes = static_cast<size_t>(std::min(kTileSide, width - left)) * kPixelBytes;
    for (int y = 0; y < rows; ++y) {
      const unsigned char* piece = band + (static_cast<size_t>(y) * width + left) * kPixelBytes;
      pieces.push_back(iovec{const_cast<unsigned char*>(piece), bytes});  // only read by the system
    }
  }
  off_t offset = f->level_ofs[0] + static_cast<off_t>(top) * width * kPixelBytes;
  if (!r64_internal::write_pieces_at(f->fd, pieces, offset)) {
    r64_error = kR64System;
    return -1;
  }
  return 0;
}

TOOL_STATUS writing_failure(const char* to) { return r64_failure(CodeLine::kConversion, step_on("write", to), to); }

// Band after band on one thread: read, then store.
TOOL_STATUS store_in_turn(R64_FILE* f, const char* to, int width, int height, BandReader& bands) {
  std::vector<unsigned char> band(static_cast<size_t>(kTileSide) * width * kPixelBytes);
  for (int top = 0; top < height; top += kTileSide) {
    const int rows = std::min(kTileSide, height - top);
    if (!bands.read(band, top, rows)) return bands.failure(top);
    bands.report(top, rows);
    if (store_band(f, band.data(), width, top, rows) != 0) return writing_failure(to);
  }
  return {};
}

// The bands between a reading thread and the storing one: a few slots, filled in turn by the
// reader and emptied in turn by the storer, so that the reader may run ahead by up to all of them.
class BandRing {
 public:
  BandRing(int slots, size_t band_bytes) : bands_(static_cast<size_t>(slots)), ok_(static_cast<size_t>(slots)) {
    for (auto& band : bands_) band.resize(band_bytes);
  }
  std::span<unsigned char> slot(int band) { return bands_[index(band)]; }

  // The reader: waits until band `band` has a free slot; false once the storer has stopped.
  bool wait_free(int band) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return stopped_ || band - stored_ < static_cast<int>(bands_.size()); });
    return !stopped_;
  }
  void filled(int band, bool ok) {
    std::lock_guard lock(mutex_);
    ok_[index(band)] = ok;
    read_ = band + 1;
    changed_.notify_all();
  }
  // The storer: waits until band `band` is read; false when its read failed.
  bool wait_filled(int band) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return read_ > band; });
    return ok_[index(band)];
  }
  void emptied(int band) {
    std::lock_guard lock(mutex_);
    stored_ = band + 1;
    changed_.notify_all();
  }
  void stop() {
    std::lock_guard lock(mutex_);
    stopped_ = true;
    changed_.notify_all();
  }

 private:
  size_t index(int band) const { return static_cast<size_t>(band) % bands_.size(); }
  std::vector<std::vector<unsigned char>> bands_;
  std::vector<bool> ok_;
  std::mutex mutex_;
  std::condition_variable changed_;
  int read_ = 0;    // bands read so far
  int stored_ = 0;  // bands stored so far
  bool stopped_ = false;
};

constexpr int kBandsAhead = 3;

// Band after band with the reading on a thread of its own, up to kBandsAhead bands ahead; false,
// having done nothing, when no second thread can run. The storer prints each band's progress; a
// failure on either side stops both, and becomes *status once both have returned.
bool store_overlapped(R64_FILE* f, const char* to, int width, int height, BandReader& bands, TOOL_STATUS* status) {
  const int count = (height + kTileSide - 1) / kTileSide;
  auto rows_of = [height](int band) { return std::min(kTileSide, height - band * kTileSide); };
  BandRing ring(kBandsAhead, static_cast<size_t>(kTileSide) * width * kPixelBytes);
  int failed_read = -1;
  bool store_failed = false;
  auto store = [&] {
    for (int band = 0; band < count; ++band) {
      if (!ring.wait_filled(band)) {
        failed_read = band;
        break;
      }
      bands.report(band * kTileSide, rows_of(band));
      store_failed = store_band(f, ring.slot(band).data(), width, band * kTileSide, rows_of(band)) != 0;
      if (store_failed) break;
      ring.emptied(band);
    }
    ring.stop();
  };
  auto read = [&] {
    for (int band = 0; band < count && ring.wait_free(band); ++band) {
      bool ok = bands.read(ring.slot(band), band * kTileSide, rows_of(band));
      ring.filled(band, ok);
      if (!ok) return;
    }
  };
  if (!parallel_pair(store, read)) return false;
  if (failed_read >= 0) *status = bands.failure(failed_read * kTileSide);
  if (store_failed) *status = writing_failure(to);
  return true;
}

// A reader that overlaps reads on a thread of its own when there is one; the bands and the file
// are the same either way.
TOOL_STATUS store_bands(R64_FILE* f, const char* to, int width, int height, BandReader& bands) {
  TOOL_STATUS status;
  if (bands.overlaps() && store_overlapped(f, to, width, height, bands, &status)) return status;
  return store_in_turn(f, to, width, height, bands);
}

}  // namespace

TOOL_STATUS check_r64_size(unsigned int width, unsigned int height) {
  if (fits_r64(width) && fits_r64(height)) return {};
  return tool_failure("unsupported image size %ix%i\n", static_cast<int>(width), static_cast<int>(height));
}

TOOL_STATUS write_level_zero(const char* from, const char* to, int width, int height, BandReader& bands) {
  ReplacingFile out;
  if (TOOL_STATUS opened = open_output(out, from, to, CodeLine::kConversion, to); opened.failed()) return opened;
  R64Handle f(r64_open_file(out.path(), O_RDWR, 0644, 'P', width, height));
  if (f == nullptr) return writing_failure(to);
  r64_ctl(f.get(), 0, 1);  // reads beyond an edge answer with the nearest edge pixel
  if (TOOL_STATUS stored = store_bands(f.get(), to, width, height, bands); stored.failed()) return stored;
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
