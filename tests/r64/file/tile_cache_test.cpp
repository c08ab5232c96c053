// The tile cache: tiles are created from the background, kept until evicted least recently used
// first, and written back (with background gaps before them) only on eviction, flush and close.
#include "r64_fixture.hpp"

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <tuple>
#include <vector>

namespace {

using Tile = std::tuple<int, int, int>;  // level, w_ofs, h_ofs

std::vector<Tile> ring_newest_first(const R64_FILE* f) {
  std::vector<Tile> tiles;
  for (const R64_CACHE_ENT* ce = f->cache[0].next; ce != &f->cache[0]; ce = ce->next)
    tiles.emplace_back(ce->level, ce->w_ofs, ce->h_ofs);
  return tiles;
}

const unsigned char kRed[3] = {200, 10, 20};

// Writes one pixel of tile n of a 'G' level 20 tiles wide.
int touch(R64_FILE* f, int n) {
  const unsigned char value[3] = {42};
  return r64_set(f, (n % 20) * 64, (n / 20) * 64, 0, value);
}

// Runs `body` in a child process whose files cannot grow beyond `limit` bytes; its exit status.
template <typename Body>
int with_file_size_limit(long limit, Body body) {
  pid_t pid = fork();
  if (pid == 0) {
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit rl{static_cast<rlim_t>(limit), static_cast<rlim_t>(limit)};
    setrlimit(RLIMIT_FSIZE, &rl);
    _exit(body());
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 100;
}

TEST_F(R64FileTest, NewTileIsDirtyBackgroundAndReachesTheFileAfterItsGap) {
  R64_FILE* f = create('P', 1000, 800);
  ASSERT_NE(f, nullptr);
  const char grey[3] = {5, 6, 7};
  r64_ctl(f, 1, grey);
  ASSERT_EQ(r64_set(f, 999, 799, 0, kRed), 0);
  const R64_CACHE_ENT* ce = f->cache[0].next;
  EXPECT_EQ(ce->flags, kDirty);
  EXPECT_EQ(std::tie(ce->w_ofs, ce->h_ofs, ce->w_len, ce->h_len), std::make_tuple(960, 768, 40, 32));
  EXPECT_EQ(size(), 8);  // nothing written before the flush
  ASSERT_EQ(r64_flush(f), 0);
  std::string file = bytes();
  ASSERT_EQ(file.size(), 2400008u);
  for (size_t i = 8; i < 2400008 - 3; i += 3) ASSERT_EQ(file.substr(i, 3), "\x05\x06\x07") << i;
  EXPECT_EQ(file.substr(2400008 - 3), std::string(reinterpret_cast<const char*>(kRed), 3));
  // A second flush writes nothing: a change made behind the handle's back survives it.
  file[8] = 9;
  test_support::write_file(path_, file);
  ASSERT_EQ(r64_flush(f), 0);
  EXPECT_EQ(bytes()[8], 9);
  r64_close_file(f);
}

TEST_F(R64FileTest, EvictsLeastRecentlyUsedTileAndWritesItBack) {
  R64_FILE* f = create('G', 20 * 64, 16 * 64);
  ASSERT_NE(f, nullptr);
  for (int n = 0; n <= 318; ++n) ASSERT_EQ(touch(f, n), 0);  // tile A (0), then 318 others
  EXPECT_EQ(f->free_list, nullptr);
  ASSERT_EQ(touch(f, 0), 0);  // A again
  EXPECT_EQ(size(), 8);
  ASSERT_EQ(touch(f, 319), 0);  // one more: the second tile touched goes, not A
  std::vector<Tile> ring = ring_newest_first(f);
  ASSERT_EQ(ring.size(), 319u);
  EXPECT_EQ(ring[0], Tile(0, 19 * 64, 15 * 64));
  EXPECT_EQ(ring[1], Tile(0, 0, 0));
  EXPECT_EQ(std::count(ring.begin(), ring.end(), Tile(0, 64, 0)), 0);
  EXPECT_EQ(size(), 8 + 64 * 64 * 2);  // the evicted tile was dirty: written after a gap
  r64_close_file(f);
}

// A tile loaded from the file and then changed is written back when evicted: 319 other tiles
// read after it push it out, and the change is in the file.
TEST_F(R64FileTest, ChangedTileReadFromTheFileIsWrittenBackOnEviction) {
  R64_FILE* f = create('G', 20 * 64, 16 * 64);
  for (int n = 0; n < 320; ++n) ASSERT_EQ(touch(f, n), 0);
  ASSERT_EQ(r64_close_file(f), 0);
  f = reopen(O_RDWR);
  const unsigned char seven[3] = {7};
  ASSERT_EQ(r64_set(f, 5, 0, 0, seven), 0);
  unsigned char px[3];
  for (int n = 1; n < 320; ++n) ASSERT_EQ(r64_red(px, f, (n % 20) * 64, (n / 20) * 64, 0), 0);
  EXPECT_EQ(bytes()[8 + 5], 7) << "written back when it left the cache";
  r64_close_file(f);
}

TEST_F(R64FileTest, ReadOnlyHandleRefusesTilesBeyondTheEnd) {
  R64_FILE* f = create('P', 200, 100);
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(r64_set(f, 10, 10, 0, kRed), 0);
  ASSERT_EQ(r64_close_file(f), 0);
  f = reopen(O_RDONLY);
  ASSERT_NE(f, nullptr);
  unsigned char px[3];
  EXPECT_EQ(r64_red(px, f, 10, 10, 0), 0);
  EXPECT_EQ(px[0], kRed[0]);
  for (int attempt = 0; attempt < 2; ++attempt) {
    EXPECT_EQ(r64_red(px, f, 150, 10, 0), -1);
    EXPECT_EQ(r64_error, kR64ReadOnly);
  }
  EXPECT_EQ(ring_newest_first(f).size(), 1u);  // the failed slots went back to the free list
  EXPECT_EQ(r64_close_file(f), 0);
}

TEST_F(R64FileTest, ReadsBackWhatWasWrittenInEveryPixelType) {
  const int w = 131, h = 70;  // partial tiles on both edges
  for (char type : {'P', 'G', 'B'}) {
    SCOPED_TRACE(type);
    auto pixel = [&](int x, int y, int k) -> unsigned char {
      if (type == 'B') return (x * 7 + y * 3) % 5 == 0 ? 255 : 0;
      return static_cast<unsigned char>(x * 3 + y * 5 + k * 11);
    };
    R64_FILE* f = create(type, w, h);
    ASSERT_NE(f, nullptr);
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) {
        unsigned char px[3] = {pixel(x, y, 0), pixel(x, y, 1), pixel(x, y, 2)};
        ASSERT_EQ(r64_set(f, x, y, 0, px), 0);
      }
    ASSERT_EQ(r64_close_file(f), 0);
    f = reopen(O_RDONLY);
    ASSERT_NE(f, nullptr);
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) {
        unsigned char px[3] = {};
        ASSERT_EQ(r64_red(px, f, x, y, 0), 0);
        for (int k = 0; k < (type == 'P' ? 3 : 1); ++k) ASSERT_EQ(px[k], pixel(x, y, k)) << x << "," << y;
      }
    r64_close_file(f);
  }
}

TEST_F(R64FileTest, ReportsTilesThatCannotBeWrittenBack) {
  // At close: the dirty tiles do not fit.
  EXPECT_EQ(with_file_size_limit(20000,
                                  [&] {
                                    R64_FILE* f = create('P', 200, 200);
                                    for (int y = 0; y < 200; ++y)
                                      for (int x = 0; x < 200; ++x) r64_set(f, x, y, 0, kRed);
                                    return r64_close_file(f) == -1 && r64_error == kR64System ? 0 : 1;
                                  }),
            0);
  // On eviction: the write fails and the cache keeps the tile that could not be written.
  EXPECT_EQ(with_file_size_limit(20000,
                                  [&] {
                                    R64_FILE* f = create('G', 20 * 64, 16 * 64);
                                    for (int n = 318; n >= 0; --n) touch(f, n);  // oldest lies far out
                                    R64_CACHE_ENT* oldest = f->cache[0].prev;
                                    if (touch(f, 319) != -1 || r64_error != kR64System) return 1;
                                    return f->cache[0].prev == oldest && oldest->flags == kDirty ? 0 : 2;
                                  }),
            0);
}

}  // namespace
