// A CR file open for reading from Python: its geometry, and its levels, regions and rectangles
// rebuilt exactly as cr2ppm writes them. One handle serves one thread at a time (its lock makes
// others wait); handles are cheap, so each thread opens its own.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "failure.hpp"
#include "r64.hpp"

struct Region {
  int x, y, w, h;
};

// One level of the PSNR report of cr2ppm -psnr.
struct LevelQuality {
  int level, width, height;
  CR_QUALITY quality;
};

class CrReader {
 public:
  ~CrReader();
  CrReader(const CrReader&) = delete;
  CrReader& operator=(const CrReader&) = delete;

  // Opens an existing CR file read-only.
  static Failure open(const std::string& path, std::unique_ptr<CrReader>* reader);

  const std::string& path() const { return path_; }
  bool closed() const { return f_ == nullptr; }
  int width() const { return f_->header.h.width; }
  int height() const { return f_->header.h.height; }
  int rect_size() const { return f_->header.rect_size; }
  // The size of every level, finest first.
  std::vector<std::pair<int, int>> level_sizes() const;

  // A refusal unless the handle is open and `level` exists.
  Failure check_level(int level) const;
  // The region `wanted` of `level` clipped to the level; a refusal when none of it lies inside.
  Failure clip(int level, Region wanted, Region* clipped) const;
  // The region at `column`, `row` of the rectangles of `level`.
  Failure rectangle(int level, int column, int row, Region* rect) const;
  // Rebuilds a region wholly inside `level` as 3-byte pixels into rgb, rows of r.w.
  Failure read(int level, Region r, unsigned char* rgb);
  // The PSNR of `levels` (every level when empty) against the R64 file they were packed from.
  Failure quality(const std::string& r64_path, std::vector<int> levels, std::vector<LevelQuality>* report);

  void close();
  // Held by every call that uses the handle.
  std::mutex& lock() { return mutex_; }

 private:
  CrReader(std::string path, CR_FILE* f) : path_(std::move(path)), f_(f) {}
  Failure closed_failure() const;
  Failure rebuild_failure() const;
  Failure fresh_rebuilder();

  std::string path_;
  CR_FILE* f_;
  CR_REBUILDER* rb_ = nullptr;
  std::mutex mutex_;
};
