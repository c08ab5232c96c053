// Least-recently-used cache of encoded tiles: a list in order of use and an index into it.
#include "tile_cache.hpp"

namespace crserve {

Bytes TileCache::find(const std::string& key) {
  std::lock_guard lock(mutex_);
  auto found = index_.find(key);
  if (found == index_.end()) return nullptr;
  order_.splice(order_.begin(), order_, found->second);
  return found->second->second;
}

void TileCache::insert(const std::string& key, Bytes tile) {
  size_t size = tile->size() + key.size();
  if (size > budget_) return;
  std::lock_guard lock(mutex_);
  if (index_.count(key) != 0) return;  // another request made it meanwhile
  order_.emplace_front(key, std::move(tile));
  index_.emplace(key, order_.begin());
  bytes_ += size;
  while (bytes_ > budget_) {
    const Entry& oldest = order_.back();
    bytes_ -= oldest.second->size() + oldest.first.size();
    index_.erase(oldest.first);
    order_.pop_back();
  }
}

size_t TileCache::bytes() const {
  std::lock_guard lock(mutex_);
  return bytes_;
}

}  // namespace crserve
