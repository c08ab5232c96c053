// The cache of rebuilt rectangles that readers share: rectangles equal to the reconstruction rule's
// whatever the budget, each ancestor rebuilt once for all readers, failures that are not kept, and
// many threads with handles of their own getting the bytes one reader gets.
#include <atomic>
#include <barrier>
#include <cstring>
#include <random>
#include <thread>
#include <tuple>

#include "cr_rect_cache.hpp"
#include "r64/cr/cr_files.hpp"

namespace {

using namespace cr_test;
using namespace test_support;
using RectCacheTest = CrTest;

CR_FILE* open_read_only(const std::string& path) { return cr_open_file(path.c_str(), O_RDONLY, 0, 0, 0, 0); }

// A file open for reading with the library's rebuilder on it, to compare with.
struct Opened {
  explicit Opened(const std::string& path) : f(open_read_only(path)), rb(cr_rebuild_open(f)) {}
  ~Opened() {
    cr_rebuild_close(rb);
    cr_close_file(f);
  }
  CR_FILE* f;
  CR_REBUILDER* rb;
};

struct Place {
  int level, x, y;
};

// Every rectangle of every level of the open file, finest level first.
std::vector<Place> every_rectangle(CR_FILE* f) {
  std::vector<Place> places;
  int side = f->header.rect_size;
  for (int level = 0; cr_check_level(f, level); ++level)
    for (int y = 0; y < f->level_h[level]; y += side)
      for (int x = 0; x < f->level_w[level]; x += side) places.push_back(Place{level, x, y});
  return places;
}

// The rebuilt pixels of the rectangle at `p` (4 bytes each), or the error code as text.
std::string pixels_at(CR_RECT_CACHE* cache, CR_FILE* f, const Place& p) {
  CR_RECT_REF ref;
  if (cr_rect_cache_get(&ref, cache, f, 7, p.x, p.y, p.level) < 0) return "error " + std::to_string(r64_error);
  std::string bytes(reinterpret_cast<char*>(ref.rect.buf), 4 * static_cast<size_t>(ref.rect.w_len) * ref.rect.h_len);
  cr_rect_cache_release(cache, &ref);
  return bytes;
}

// The same rectangle as the library's rebuilder gives it.
std::string rebuilder_pixels(CR_REBUILDER* rb, const Place& p) {
  CR_BUFFER rect;
  if (cr_rebuild_rect(&rect, rb, p.x, p.y, p.level) < 0) return "error " + std::to_string(r64_error);
  return std::string(reinterpret_cast<char*>(rect.buf), 4 * static_cast<size_t>(rect.w_len) * rect.h_len);
}

// Elongated images root a tree at every rectangle of their coarsest level; the others one.
TEST_F(RectCacheTest, RectanglesAreTheRebuildersAndEachIsRebuiltOnce) {
  for (auto [w, h, side] : {std::tuple(600, 400, 64), std::tuple(1100, 5, 64), std::tuple(271, 271, 256)}) {
    SCOPED_TRACE(std::to_string(w) + " x " + std::to_string(h));
    const Packed p = pack(textured(w, h), side);
    ASSERT_EQ(p.result, 0);
    Opened file(p.cr_path);
    CR_FILE* f = file.f;
    CR_RECT_CACHE* cache = cr_rect_cache_open(64 << 20);
    std::vector<Place> places = every_rectangle(f);
    for (const Place& place : places) {  // finest first: each asks for its ancestors
      std::string mine = pixels_at(cache, f, place);
      EXPECT_EQ(mine, rebuilder_pixels(file.rb, place)) << place.level << ": " << place.x << ", " << place.y;
      CR_RECT_REF ref;
      ASSERT_EQ(cr_rect_cache_get(&ref, cache, f, 7, place.x + 1 < w ? place.x + 1 : place.x, place.y, place.level), 0);
      EXPECT_EQ(std::tuple(ref.level, ref.rect.w_ofs, ref.rect.h_ofs), std::tuple(place.level, place.x, place.y))
          << "any pixel of a rectangle finds it";
      cr_rect_cache_release(cache, &ref);
      EXPECT_EQ(ref.held, nullptr);
    }
    EXPECT_EQ(cr_rect_cache_rebuilds(cache), places.size()) << "every rectangle rebuilt once, ancestors included";
    CR_RECT_REF outside;
    EXPECT_EQ(cr_rect_cache_get(&outside, cache, f, 7, w, 0, 0), -1);
    EXPECT_EQ(r64_error, kR64NotR64);
    cr_rect_cache_close(cache);
  }
}

TEST_F(RectCacheTest, StaysWithinItsBudgetAndRegionsCutFromItAreTheLevel) {
  const Packed p = pack(textured(600, 400), 64);
  ASSERT_EQ(p.result, 0);
  Opened file(p.cr_path);
  CR_FILE* f = file.f;
  CR_REBUILDER* rb = file.rb;
  const unsigned long three_rects = 3 * 4 * 64 * 64;
  CR_RECT_CACHE* cache = cr_rect_cache_open(three_rects);
  for (const Place& place : every_rectangle(f)) {
    EXPECT_EQ(pixels_at(cache, f, place), rebuilder_pixels(rb, place));
    EXPECT_LE(cr_rect_cache_bytes(cache), three_rects);
  }
  CR_RECT_CACHE* none = cr_rect_cache_open(0);
  for (auto [x, y, w, h, level] : {std::tuple(0, 0, 600, 400, 0), std::tuple(37, 61, 200, 130, 0), std::tuple(0, 0, 5, 4, 7)}) {
    std::vector<unsigned char> mine(3 * static_cast<size_t>(w) * h), theirs(mine.size());
    CR_RECT_REF at;
    ASSERT_EQ(cr_rect_cache_region(mine.data(), none, f, 1, x, y, w, h, level, &at), 0);
    ASSERT_EQ(cr_rebuild_region(theirs.data(), rb, x, y, w, h, level), 0);
    EXPECT_TRUE(mine == theirs) << x << ", " << y << " " << w << " x " << h;
    EXPECT_EQ(cr_rect_cache_bytes(none), 0u) << "a budget of 0 keeps nothing once given back";
  }
  CR_RECT_REF at;
  unsigned char spare[6];
  EXPECT_EQ(cr_rect_cache_region(spare, none, f, 1, 599, 0, 2, 1, 0, &at), -1) << "a region past the level";
  cr_rect_cache_close(none);
  cr_rect_cache_close(cache);
}

// A block that decodes part way (its first bytes good, the rest garbled) fails its rectangle and
// every rectangle below it, naming it, each time it is asked for: nothing is kept under its key.
TEST_F(RectCacheTest, FailedRebuildIsNotKeptAndNamesTheRectangleAtFault) {
  const Packed p = pack(textured(1000, 600), 256);
  ASSERT_EQ(p.result, 0);
  std::string cr = p.cr;
  Entry parent = entry(cr, 13);  // level 1's (256, 0)
  ASSERT_EQ(parent.type, 'j');
  for (uint32_t i = parent.size / 2; i < parent.size - 2; ++i) cr[parent.ofs + i] = static_cast<char>(i * 13);
  write_file(p.cr_path, cr);
  CR_FILE* f = open_read_only(p.cr_path);
  CR_RECT_CACHE* cache = cr_rect_cache_open(64 << 20);
  for (int round = 0; round < 2; ++round) {
    for (auto [x, y, level] : {std::tuple(600, 0, 0), std::tuple(300, 10, 1)}) {
      CR_RECT_REF ref;
      EXPECT_EQ(cr_rect_cache_get(&ref, cache, f, 7, x, y, level), -1) << "round " << round;
      EXPECT_EQ(std::tuple(r64_error, ref.level, ref.rect.w_ofs, ref.rect.h_ofs, ref.held),
                std::tuple(kR64NotR64, 1, 256, 0, nullptr));
    }
    EXPECT_EQ(pixels_at(cache, f, Place{0, 0, 0}).size(), 4u * 256 * 256) << "the rectangles beside it are whole";
  }
  cr_rect_cache_close(cache);
  cr_close_file(f);
}

// Threads with a handle each ask for every rectangle in orders of their own, through a cache too
// small for them (rectangles dropped and rebuilt while others hold theirs) and through one that
// keeps all (each rectangle rebuilt once however many ask for it at once).
TEST_F(RectCacheTest, ConcurrentReadersGetWhatOneReaderGets) {
  const Packed p = pack(textured(900, 700), 64);
  ASSERT_EQ(p.result, 0);
  CR_FILE* one = open_read_only(p.cr_path);
  std::vector<Place> places = every_rectangle(one);
  CR_RECT_CACHE* alone = cr_rect_cache_open(64 << 20);
  std::vector<std::string> expected;
  for (const Place& place : places) expected.push_back(pixels_at(alone, one, place));
  cr_rect_cache_close(alone);
  constexpr int kThreads = 6;
  for (unsigned long budget : {5ul * 4 * 64 * 64, 64ul << 20}) {
    SCOPED_TRACE("budget " + std::to_string(budget));
    CR_RECT_CACHE* shared = cr_rect_cache_open(budget);
    std::atomic<int> wrong{0};
    std::barrier start(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
      threads.emplace_back([&, t] {
        CR_FILE* mine = open_read_only(p.cr_path);
        std::vector<size_t> order(places.size());
        for (size_t i = 0; i < order.size(); ++i) order[i] = i;
        std::mt19937 random(static_cast<unsigned>(t));
        if (t % 2 == 1) std::shuffle(order.begin(), order.end(), random);  // the others all at once, in step
        start.arrive_and_wait();
        for (size_t i : order)
          if (pixels_at(shared, mine, places[i]) != expected[i]) ++wrong;
        cr_close_file(mine);
      });
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(wrong, 0);
    EXPECT_LE(cr_rect_cache_bytes(shared), budget);
    if (budget > (1ul << 20)) {
      EXPECT_EQ(cr_rect_cache_rebuilds(shared), places.size());
    }
    cr_rect_cache_close(shared);
  }
  cr_close_file(one);
}

}  // namespace
