// The encoded tiles kept between requests: least recently used first out, bounded by the bytes of
// the tiles it holds. Safe to share between threads.
#pragma once

#include <cstddef>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>

namespace crserve {

using Bytes = std::shared_ptr<const std::string>;

class TileCache {
 public:
  explicit TileCache(size_t budget_bytes) : budget_(budget_bytes) {}

  // The tile stored under `key`, now the most recently used; null when absent.
  Bytes find(const std::string& key);
  // Stores a tile, dropping the least recently used ones until the total fits the budget; a tile
  // larger than the whole budget is not kept.
  void insert(const std::string& key, Bytes tile);
  size_t bytes() const;

 private:
  using Entry = std::pair<std::string, Bytes>;
  size_t budget_;
  size_t bytes_ = 0;
  std::list<Entry> order_;  // most recently used first
  std::unordered_map<std::string, std::list<Entry>::iterator> index_;
  mutable std::mutex mutex_;
};

}  // namespace crserve
