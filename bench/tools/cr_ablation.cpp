// What each part of the efficient coding of CR blocks buys: packs an R64 file (all levels built)
// with the classic blocks and with each part alone, and the efficient coding less each part, over a
// sweep of qualities; then prints, for each, the bytes it takes for the level-0 PSNR of the classic
// blocks at quality 80 (interpolated on log bytes), as a ratio to theirs, the mean PSNR over levels
// there, and the time of a pack at that quality.
//   cr_ablation FILE.r64 OUT_FOLDER [THREADS]
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "change_endian.hpp"
#include "r64.hpp"
#include "r64/file/cr_internal.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using cr_internal::EfficientParts;

constexpr int kClassicQuality = 80;
int threads = kEveryCore;  // of every pack and rebuild (the third argument)

struct Variant {
  const char* name;
  bool efficient;
  EfficientParts parts;
};

// One pack: its bytes, its PSNR per level, its seconds.
struct Point {
  int quality = 0;
  double bytes = 0;
  double seconds = 0;
  std::vector<double> psnr;
  double level0() const { return psnr.empty() ? 0 : psnr[0]; }
  // Over the levels not rebuilt exactly (the smallest are stored plain).
  double mean() const {
    double sum = 0;
    int levels = 0;
    for (double p : psnr)
      if (std::isfinite(p)) sum += p, ++levels;
    return levels == 0 ? 0 : sum / levels;
  }
};

EfficientParts classic_parts() {
  EfficientParts p;
  p.full_chroma = p.optimize_coding = p.flat_table = p.trained_tables = false;
  p.jfif = true;
  p.level_ratio = 1;
  return p;
}

std::vector<Variant> variants() {
  const EfficientParts none = classic_parts(), all;
  std::vector<Variant> list = {{"classic blocks", false, none}};
  auto with = [&](const char* name, auto change) {
    EfficientParts p = none;
    change(p);
    list.push_back({name, true, p});
  };
  auto without = [&](const char* name, auto change) {
    EfficientParts p = all;
    change(p);
    list.push_back({name, true, p});
  };
  with("+ fitted Huffman tables", [](EfficientParts& p) { p.optimize_coding = true; });
  with("+ 4:4:4", [](EfficientParts& p) { p.full_chroma = true; });
  with("+ flat table", [](EfficientParts& p) { p.flat_table = true; });
  with("- JFIF segment", [](EfficientParts& p) { p.jfif = false; });
  with("+ finer coarse levels", [&](EfficientParts& p) { p.level_ratio = all.level_ratio; });
  list.push_back({"efficient (all)", true, all});
  without("efficient - fitted Huffman", [](EfficientParts& p) { p.optimize_coding = p.trained_tables = false; });
  without("efficient - trained tables", [](EfficientParts& p) { p.trained_tables = false; });
  without("efficient - 4:4:4", [](EfficientParts& p) { p.full_chroma = false; });
  without("efficient - flat table", [](EfficientParts& p) { p.flat_table = false; });
  without("efficient - finer coarse", [](EfficientParts& p) { p.level_ratio = 1; });
  return list;
}

// Standard output sent to /dev/null while it lives: the writer's progress lines would bury the table.
class Quiet {
 public:
  Quiet() : saved_(dup(STDOUT_FILENO)) {
    std::fflush(stdout);
    int null = open("/dev/null", O_WRONLY);
    dup2(null, STDOUT_FILENO);
    close(null);
  }
  ~Quiet() {
    std::fflush(stdout);
    dup2(saved_, STDOUT_FILENO);
    close(saved_);
  }

 private:
  int saved_;
};

Point pack(R64_FILE* r64, const Variant& v, int quality, const std::string& path) {
  Quiet quiet;
  cr_internal::set_efficient_parts(v.parts);
  CR_CODING coding = cr_classic_coding();
  coding.quality = quality;
  coding.efficient = v.efficient;
  Point point{quality, 0, 0, {}};
  auto start = Clock::now();
  if (cr_write_file_with(path.c_str(), 0644, 256, r64, &coding, threads) < 0) {
    std::fprintf(stderr, "cannot pack %s: r64 error %d\n", path.c_str(), r64_error);
    std::exit(1);
  }
  point.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  CR_FILE* f = cr_open_file(path.c_str(), O_RDONLY, 0, 0, 0, 0);
  CR_REBUILDER* rb = cr_rebuild_open_with(f, threads);
  CR_QUALITY q;
  for (int level = 0; cr_check_level(f, level); ++level)
    if (cr_rebuild_quality(&q, rb, r64, level) == 0) point.psnr.push_back(q.psnr);
  point.bytes = static_cast<double>(f->write_ofs);
  cr_rebuild_close(rb);
  cr_close_file(f);
  return point;
}

// The bytes, mean PSNR and seconds of a sweep at a level-0 PSNR, interpolated between the two
// points around it (on log bytes), or extrapolated from the nearest two.
Point at_level0_psnr(std::vector<Point> sweep, double psnr) {
  std::sort(sweep.begin(), sweep.end(), [](const Point& a, const Point& b) { return a.level0() < b.level0(); });
  size_t i = 1;
  while (i + 1 < sweep.size() && sweep[i].level0() < psnr) ++i;
  const Point &a = sweep[i - 1], &b = sweep[i];
  double t = (psnr - a.level0()) / (b.level0() - a.level0());
  Point p;
  p.bytes = std::exp(std::log(a.bytes) + t * (std::log(b.bytes) - std::log(a.bytes)));
  p.seconds = a.seconds + t * (b.seconds - a.seconds);
  p.psnr = {psnr, a.mean() + t * (b.mean() - a.mean())};  // level 0, then the mean over levels
  return p;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: cr_ablation FILE.r64 OUT_FOLDER [THREADS]\n");
    return 1;
  }
  check_endian();
  r64_init();
  if (argc > 3) threads = std::atoi(argv[3]);
  R64_FILE* r64 = r64_open_file(argv[1], O_RDONLY, 0644, 'P', 0, 0);
  if (r64 == nullptr) {
    std::fprintf(stderr, "cannot open %s\n", argv[1]);
    return 1;
  }
  const std::string out = std::string(argv[2]) + "/ablation.cr";
  const std::vector<int> qualities = {10, 20, 30, 45, 60, 80, 90, 95};
  std::vector<std::pair<Variant, std::vector<Point>>> results;
  for (const Variant& v : variants()) {
    std::vector<Point> sweep;
    for (int quality : qualities) sweep.push_back(pack(r64, v, quality, out));
    results.emplace_back(v, sweep);
  }
  const Point classic = pack(r64, variants().front(), kClassicQuality, out);
  std::printf("classic blocks at quality %d: %.0f bytes, level 0 %.2f dB, mean over levels %.2f dB, %.2f s\n",
              kClassicQuality, classic.bytes, classic.level0(), classic.mean(), classic.seconds);
  std::printf("%-28s %12s %10s %10s %10s\n", "at the classic level-0 PSNR", "bytes", "x classic", "mean dB", "x time");
  for (const auto& [v, sweep] : results) {
    Point p = at_level0_psnr(sweep, classic.level0());
    std::printf("%-28s %12.0f %10.3f %10.2f %10.2f\n", v.name, p.bytes, p.bytes / classic.bytes, p.psnr[1],
                p.seconds / classic.seconds);
  }
  r64_close_file(r64);
  return 0;
}
