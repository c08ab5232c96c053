// The rebuilt rectangles shared by every reader of CR files. A rectangle not cached is entered as
// being rebuilt before its rebuild starts, so that others asking for it wait instead of rebuilding
// it too; its parent is fetched through the cache first, so ancestors are decoded once for all
// readers. A rebuild that fails takes its entry out again, telling the waiters why. Rectangles held
// by callers or being rebuilt are never dropped; the others go least recently used first.
#include "cr_rect_cache.hpp"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <list>
#include <memory>
#include <mutex>
#include <new>
#include <unordered_map>

#include "cr_internal.hpp"
#include "malloc_ptr.hpp"

namespace {

struct Key {
  unsigned long image;
  int level, column, row;
  bool operator==(const Key&) const = default;
};

struct KeyHash {
  size_t operator()(const Key& k) const {
    uint64_t h = k.image * 0x9E3779B97F4A7C15u;
    for (int part : {k.level, k.column, k.row}) h = (h ^ static_cast<uint32_t>(part)) * 0x100000001B3u;
    return static_cast<size_t>(h ^ h >> 29);
  }
};

enum class State { kRebuilding, kReady, kFailed };

// Why a rebuild failed, for the waiters: the codes it left and the rectangle at fault.
struct Failure {
  int code = 0;
  int system_errno = 0;
  int level = 0;
  int w_ofs = 0, h_ofs = 0;
};

size_t rect_bytes(const CR_BUFFER& rect) { return 4 * static_cast<size_t>(rect.w_len) * rect.h_len; }

}  // namespace

struct cr_rect_ent {
  Key key;
  CR_BUFFER rect;  // place and size; buf owned by `pixels`
  MallocPtr<unsigned char> pixels;
  State state = State::kRebuilding;
  int holders = 0;
  Failure failure;
  std::list<cr_rect_ent*>::iterator in_use_order;  // while ready
};

struct cr_rect_cache {
  explicit cr_rect_cache(unsigned long budget) : budget(budget) {}

  const unsigned long budget;
  mutable std::mutex mutex;
  std::condition_variable rebuilt;  // some rebuild ended, well or not
  std::unordered_map<Key, std::shared_ptr<cr_rect_ent>, KeyHash> entries;
  std::list<cr_rect_ent*> use_order;  // ready entries, most recently used first
  unsigned long bytes = 0;            // pixels of every entry, rebuilding ones counted ahead
  unsigned long rebuilds = 0;
};

namespace {

using cr_internal::copy_overlap;
using cr_internal::fail;
using cr_internal::inside;
using Lock = std::unique_lock<std::mutex>;

int coarsest_level(CR_FILE* f) {
  int coarsest = -1;
  while (coarsest + 1 < kLevels && cr_check_level(f, coarsest + 1)) ++coarsest;
  return coarsest;
}

CR_BUFFER place_of(const CR_FILE* f, int column, int row, int level) {
  int side = f->header.rect_size;
  int w_ofs = column * side, h_ofs = row * side;
  return CR_BUFFER{w_ofs, h_ofs, std::min(side, f->level_w[level] - w_ofs), std::min(side, f->level_h[level] - h_ofs),
                   nullptr};
}

void hold(cr_rect_cache& cache, cr_rect_ent& e, CR_RECT_REF* ref) {
  ++e.holders;
  cache.use_order.splice(cache.use_order.begin(), cache.use_order, e.in_use_order);
  *ref = CR_RECT_REF{e.key.level, e.rect, &e};
}

// Takes a ready entry nobody holds out of the cache; the next entry in the order of use.
std::list<cr_rect_ent*>::iterator drop(cr_rect_cache& cache, std::list<cr_rect_ent*>::iterator it) {
  Key key = (*it)->key;
  cache.bytes -= rect_bytes((*it)->rect);
  it = cache.use_order.erase(it);
  cache.entries.erase(key);
  return it;
}

// Drops the least recently used entries nobody holds until the pixels fit the budget.
void trim(cr_rect_cache& cache) {
  for (auto it = cache.use_order.end(); cache.bytes > cache.budget && it != cache.use_order.begin();) {
    if ((*--it)->holders == 0) it = drop(cache, it);
  }
}

int report(const Failure& failure, CR_RECT_REF* ref) {
  *ref = CR_RECT_REF{failure.level, CR_BUFFER{failure.w_ofs, failure.h_ofs, 0, 0, nullptr}, nullptr};
  errno = failure.system_errno;
  return fail(failure.code);
}

Failure failure_at(const CR_RECT_ENT& e, int code) {
  return Failure{code, code == kR64System ? errno : 0, e.key.level, e.rect.w_ofs, e.rect.h_ofs};
}

int acquire(cr_rect_cache& cache, CR_FILE* f, const Key& key, CR_RECT_REF* ref);

// Reads the rectangle's block. The reader's own cache of blocks lets go of it at once: the
// rectangle is asked of this cache from now on, never of the reader again.
bool read_block(CR_MEM_TBL* block, CR_FILE* f, const CR_BUFFER& rect, int level) {
  if (cr_read(block, f, rect.w_ofs, rect.h_ofs, level) < 0) return false;
  free_cr_ent(f, f->cache[0].next);  // the newest slot of the ring holds the block just read
  return true;
}

// Rebuilds an entry's pixels from its block and its parent's pixels; the failure, code 0 if none.
Failure rebuild_entry(cr_rect_cache& cache, CR_FILE* f, cr_rect_ent& e) {
  CR_RECT_REF parent{};
  const Key& k = e.key;
  bool root = k.level == coarsest_level(f);
  if (!root && acquire(cache, f, Key{k.image, k.level + 1, k.column / 2, k.row / 2}, &parent) < 0)
    return Failure{r64_error, errno, parent.level, parent.rect.w_ofs, parent.rect.h_ofs};
  Failure failure;
  CR_MEM_TBL block{};
  e.pixels = malloc_array<unsigned char>(rect_bytes(e.rect));
  e.rect.buf = e.pixels.get();
  if (!e.pixels) {
    failure = failure_at(e, kR64Memory);
  } else if (!read_block(&block, f, e.rect, k.level)) {
    failure = failure_at(e, r64_error);
  } else if (!cr_internal::decode_stored_block(block, e.rect.w_len, e.rect.h_len, e.rect.buf)) {
    failure = failure_at(e, kR64NotR64);
  } else {
    cr_internal::Offsets cal;
    for (int c = 0; c < cr_internal::kChannels; ++c) cal[c] = static_cast<signed char>(block.cal[c]);
    cr_internal::rebuild(e.rect, root ? nullptr : &parent.rect, e.rect.buf, cal);
  }
  free_cr_mem_tbl(&block);
  cr_rect_cache_release(&cache, &parent);
  return failure;
}

// Enters a rectangle as being rebuilt, rebuilds it without the lock, and makes it ready or takes
// it out again; the lock is held on entry and on return.
int rebuild(cr_rect_cache& cache, CR_FILE* f, const Key& key, CR_RECT_REF* ref, Lock& lock) {
  auto e = std::make_shared<cr_rect_ent>();
  e->key = key;
  e->rect = place_of(f, key.column, key.row, key.level);
  cache.entries.emplace(key, e);
  cache.bytes += rect_bytes(e->rect);
  ++cache.rebuilds;
  trim(cache);
  lock.unlock();
  Failure failure = rebuild_entry(cache, f, *e);
  lock.lock();
  if (failure.code != 0) {
    e->state = State::kFailed;
    e->failure = failure;
    e->pixels.reset();
    cache.entries.erase(key);
    cache.bytes -= rect_bytes(e->rect);
  } else {
    e->state = State::kReady;
    e->in_use_order = cache.use_order.insert(cache.use_order.begin(), e.get());
  }
  cache.rebuilt.notify_all();
  if (failure.code != 0) return report(failure, ref);
  hold(cache, *e, ref);
  trim(cache);
  r64_error = kR64Ok;
  return 0;
}

// The rectangle of `key`, held: cached, rebuilt by another thread meanwhile, or rebuilt here.
int acquire(cr_rect_cache& cache, CR_FILE* f, const Key& key, CR_RECT_REF* ref) {
  Lock lock(cache.mutex);
  for (;;) {
    auto found = cache.entries.find(key);
    if (found == cache.entries.end()) return rebuild(cache, f, key, ref, lock);
    std::shared_ptr<cr_rect_ent> e = found->second;
    if (e->state == State::kReady) {
      hold(cache, *e, ref);
      r64_error = kR64Ok;
      return 0;
    }
    cache.rebuilt.wait(lock, [&] { return e->state != State::kRebuilding; });
    if (e->state == State::kFailed) return report(e->failure, ref);
  }
}

}  // namespace

CR_RECT_CACHE* cr_rect_cache_open(unsigned long budget_bytes) {
  auto* cache = new (std::nothrow) cr_rect_cache(budget_bytes);
  if (cache == nullptr) r64_error = kR64Memory;
  return cache;
}

void cr_rect_cache_close(CR_RECT_CACHE* cache) { delete cache; }

int cr_rect_cache_get(CR_RECT_REF* ref, CR_RECT_CACHE* cache, CR_FILE* f, unsigned long image, int x, int y, int level) {
  *ref = CR_RECT_REF{level, CR_BUFFER{x, y, 0, 0, nullptr}, nullptr};
  if (!inside(f, x, y, 1, 1, level)) return fail(kR64NotR64);
  int side = f->header.rect_size;
  return acquire(*cache, f, Key{image, level, x / side, y / side}, ref);
}

void cr_rect_cache_release(CR_RECT_CACHE* cache, CR_RECT_REF* ref) {
  if (ref->held == nullptr) return;
  std::lock_guard lock(cache->mutex);
  --ref->held->holders;
  ref->held = nullptr;
  trim(*cache);
}

int cr_rect_cache_region(unsigned char* rgb, CR_RECT_CACHE* cache, CR_FILE* f, unsigned long image, int x, int y, int w,
                         int h, int level, CR_RECT_REF* at) {
  *at = CR_RECT_REF{level, CR_BUFFER{x, y, 0, 0, nullptr}, nullptr};
  if (!inside(f, x, y, w, h, level)) return fail(kR64NotR64);
  int side = f->header.rect_size;
  for (int row = y / side; row <= (y + h - 1) / side; ++row)
    for (int column = x / side; column <= (x + w - 1) / side; ++column) {
      CR_RECT_REF ref;
      if (acquire(*cache, f, Key{image, level, column, row}, &ref) < 0) {
        *at = ref;
        return -1;
      }
      copy_overlap(rgb, x, y, w, h, ref.rect);
      cr_rect_cache_release(cache, &ref);
    }
  r64_error = kR64Ok;
  return 0;
}

void cr_rect_cache_forget(CR_RECT_CACHE* cache, unsigned long image) {
  std::lock_guard lock(cache->mutex);
  for (auto it = cache->use_order.begin(); it != cache->use_order.end();) {
    bool unused = (*it)->key.image == image && (*it)->holders == 0;
    it = unused ? drop(*cache, it) : std::next(it);
  }
}

unsigned long cr_rect_cache_bytes(const CR_RECT_CACHE* cache) {
  std::lock_guard lock(cache->mutex);
  return cache->bytes;
}

unsigned long cr_rect_cache_rebuilds(const CR_RECT_CACHE* cache) {
  std::lock_guard lock(cache->mutex);
  return cache->rebuilds;
}
