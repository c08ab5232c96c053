// What the server answers, apart from HTTP itself: a request path (percent-decoded) and the few
// headers that matter become a status, a body and its headers. The viewer page, its scripts, the
// Deep Zoom and IIIF descriptors and the tiles, with entity tags and the tile cache.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "crserve/tile_cache.hpp"
#include "crserve/tile_maker.hpp"

namespace crserve {

struct Query {
  std::string_view path;
  std::string_view host;           // the Host header, empty when absent
  std::string_view if_none_match;  // the If-None-Match header, empty when absent
};

struct Reply {
  int status = 404;
  std::string content_type = "text/plain; charset=utf-8";
  Bytes body;
  std::vector<std::pair<std::string, std::string>> headers;
};

class Site {
 public:
  // `identity` changes whenever the file does (its device, inode, size and time of change), so
  // that entity tags of an old file never match a new one; `fallback_host` names the server when
  // a request has no usable Host header.
  Site(TileMaker& maker, size_t cache_bytes, std::string identity, std::string fallback_host);

  // The reply to `q`, making its tile when it is not cached.
  Reply respond(const Query& q);
  // The reply to `q` from what is at hand (the page, the descriptors, refusals, cached tiles), or
  // nothing when its tile must be made: a caller answering on an event loop hands those to a worker.
  std::optional<Reply> respond_from_memory(const Query& q);

 private:
  std::optional<Reply> answer(const Query& q, bool may_make);
  std::optional<Reply> tile(const TileRequest& t, const Query& q, bool may_make);
  Reply fixed(std::string_view content_type, std::string body, const std::string& tag, const Query& q);

  // A page or script as every reply shares it: its bytes copied once, its entity tag.
  struct Asset {
    std::string_view content_type;
    Bytes bytes;
    std::string tag;
  };

  TileMaker& maker_;
  TileCache cache_;
  std::string identity_;
  std::string fallback_host_;
  std::unordered_map<std::string_view, Asset> assets_;
};

// The entity tag of a reply: a hash of the file's identity and what the reply shows, quoted.
std::string entity_tag(std::string_view identity, std::string_view what);

}  // namespace crserve
