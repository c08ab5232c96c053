// The tile cache: tiles are created from the background, kept until evicted least recently used
// first, and written back (with background gaps before them) only on eviction, flush and close.
// What is cached shows through the file: a tile written back is in it, a tile still cached is not,
// and a read served from the cache does not see the file changed behind the handle's back.
#include "r64_fixture.hpp"

#include <sys/resource.h>

#include <csignal>

namespace {

const unsigned char kRed[3] = {200, 10, 20};

// Writes one pixel of tile n of a 'G' level 20 tiles wide; tile n lies at byte 8 + 4096 n.
int touch(R64_FILE* f, int n) {
  const unsigned char value[3] = {42};
  return r64_set(f, (n % 20) * 64, (n / 20) * 64, 0, value);
}

// Files of this process cannot grow beyond `bytes` while it lives; SIGXFSZ is ignored.
struct FileSizeLimit {
  rlimit old{};
  explicit FileSizeLimit(long bytes) {
    std::signal(SIGXFSZ, SIG_IGN);
    getrlimit(RLIMIT_FSIZE, &old);
    const rlimit limit{static_cast<rlim_t>(bytes), old.rlim_max};
    setrlimit(RLIMIT_FSIZE, &limit);
  }
  ~FileSizeLimit() { setrlimit(RLIMIT_FSIZE, &old); }
};

TEST_F(R64FileTest, NewTileIsBackgroundAndReachesTheFileAfterItsGapOnFlush) {
  R64_FILE* f = create('P', 1000, 800);
  ASSERT_NE(f, nullptr);
  const char grey[3] = {5, 6, 7};
  r64_ctl(f, 1, grey);
  ASSERT_EQ(r64_set(f, 999, 799, 0, kRed), 0);
  EXPECT_EQ(std::pair(size(), r64_check_level(f, 0)), std::pair(8l, 0));  // nothing written before the flush
  ASSERT_EQ(r64_flush(f), 0);
  EXPECT_EQ(std::pair(r64_check_level(f, 0), r64_check_level(f, 1)), std::pair(1, 0));
  std::string file = bytes();
  ASSERT_EQ(file.size(), 2400008u);
  for (size_t i = 8; i < 2400008 - 3; i += 3) ASSERT_EQ(file.substr(i, 3), "\x05\x06\x07") << i;
  EXPECT_EQ(file.substr(2400008 - 3), std::string(reinterpret_cast<const char*>(kRed), 3));
  // The flushed tile is clean: a second flush, and the close, write nothing over a change made
  // behind the handle's back.
  file[2400008 - 1] = 9;
  test_support::write_file(path_, file);
  ASSERT_EQ(r64_flush(f), 0);
  ASSERT_EQ(r64_close_file(f), 0);
  EXPECT_EQ(bytes().back(), 9);
}

// Tile 0, 318 others, tile 0 again, then one more: the 319 slots are full, so the least recently
// used tile, tile 1, is written back (after a gap) and tile 0 stays cached.
TEST_F(R64FileTest, EvictsLeastRecentlyUsedTileAndWritesItBack) {
  R64_FILE* f = create('G', 20 * 64, 16 * 64);
  ASSERT_NE(f, nullptr);
  for (int n = 0; n <= 318; ++n) ASSERT_EQ(touch(f, n), 0);
  ASSERT_EQ(touch(f, 0), 0);
  EXPECT_EQ(size(), 8);
  ASSERT_EQ(touch(f, 319), 0);
  const std::string file = bytes();
  ASSERT_EQ(file.size(), 8u + 4096 * 2);
  EXPECT_EQ(std::pair(int{file[8]}, int{file[8 + 4096]}), std::pair(0, 42));
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

// Refused reads give their slot back: after more refusals than there are slots, a tile can still
// be loaded; and a tile once read is served from the cache.
TEST_F(R64FileTest, ReadOnlyHandleRefusesTilesBeyondTheEnd) {
  R64_FILE* f = create('P', 200, 100);
  ASSERT_EQ(r64_set(f, 10, 10, 0, kRed), 0);
  ASSERT_EQ(r64_close_file(f), 0);  // the first tile alone
  f = reopen(O_RDONLY);
  ASSERT_NE(f, nullptr);
  unsigned char px[3];
  for (int attempt = 0; attempt < kCacheSlots + 5; ++attempt)
    ASSERT_EQ((std::pair{r64_red(px, f, 150, 10, 0), r64_error}), std::pair(-1, kR64ReadOnly)) << attempt;
  for (int pass = 0; pass < 2; ++pass) {  // the second time from the cache, with the file emptied
    ASSERT_EQ(r64_red(px, f, 10, 10, 0), 0);
    EXPECT_EQ(px[0], kRed[0]);
    test_support::write_file(path_, std::string(bytes().size(), '\0'));
  }
  EXPECT_EQ(r64_close_file(f), 0);
}

TEST_F(R64FileTest, ReadsBackWhatWasWrittenInEveryPixelType) {
  for (char type : {'P', 'G', 'B'}) {
    const auto image = test_support::Image::of(131, 70, [type](int x, int y, uint8_t* px) {  // partial tiles
      for (int k = 0; k < 3; ++k)
        px[k] = type == 'B' ? ((x * 7 + y * 3) % 5 == 0 ? 255 : 0) : type == 'G' && k ? px[0] : x * 3 + y * 5 + k * 11;
    });
    test_support::write_r64(path_, type, image);
    R64_FILE* f = reopen(O_RDONLY);
    ASSERT_NE(f, nullptr);
    EXPECT_TRUE(test_support::read_levels(f).at(0).rgb == image.rgb) << type;
    r64_close_file(f);
  }
}

// The write that makes room fails with a system error; the tile stays cached and dirty, and
// reaches the file once it fits. (Tiles that cannot be written at close fail the tool's "-pr" runs.)
TEST_F(R64FileTest, KeepsATileThatCannotBeWrittenBackOnEviction) {
  R64_FILE* f = create('G', 20 * 64, 16 * 64);
  for (int n = 318; n >= 0; --n) ASSERT_EQ(touch(f, n), 0);  // the oldest, tile 318, lies far out
  {
    FileSizeLimit limit(20000);
    EXPECT_EQ((std::pair{touch(f, 319), r64_error}), std::pair(-1, kR64System));
  }
  ASSERT_EQ(r64_close_file(f), 0);
  EXPECT_EQ(bytes()[8 + 4096 * 318], 42);
}

// A handle given up after a failure writes nothing more: its dirty tiles are dropped with it, and
// its descriptor is closed.
TEST_F(R64FileTest, DiscardedHandleWritesBackNoTile) {
  R64_FILE* f = create('P', 200, 100);
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(r64_set(f, 0, 0, 0, kRed), 0);
  ASSERT_EQ(r64_flush(f), 0);
  const std::string flushed = bytes();
  ASSERT_EQ(r64_set(f, 150, 90, 0, kRed), 0);
  const int fd = f->fd;
  r64_discard_file(f);
  EXPECT_EQ(bytes(), flushed);
  EXPECT_EQ(fcntl(fd, F_GETFD), -1);
  r64_discard_file(nullptr);
}

}  // namespace
