// Routes a request to the page, the descriptors or a tile. Tiles come from the cache or are made
// and stored there; every reply but a refusal carries an entity tag, and a request that already
// holds the current one gets 304 with no body.
#include "crserve/site.hpp"

#include <cctype>
#include <cstdint>
#include <cstdio>

#include "crserve/protocols.hpp"
#include "crserve/web_assets.hpp"

namespace crserve {

namespace {

constexpr std::string_view kDeepZoomFolder = "/image_files/";
constexpr std::string_view kIiifBase = "/iiif/";
constexpr const char* kTileCacheControl = "public, max-age=86400";
constexpr const char* kPageCacheControl = "no-cache";

Reply refusal(int status) {
  Reply reply;
  reply.status = status;
  reply.body = std::make_shared<const std::string>(status == kBadRequest ? "bad request\n" : "not found\n");
  return reply;
}

// A Host header fit to go into a URL: a name or address and an optional port, nothing else.
bool plain_host(std::string_view host) {
  if (host.empty() || host.size() > 255) return false;
  for (char c : host)
    if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == ':' || c == '[' || c == ']'))
      return false;
  return true;
}

Reply with_tag(Reply reply, const std::string& tag, const char* cache_control, const Query& q) {
  reply.headers.emplace_back("ETag", tag);
  reply.headers.emplace_back("Cache-Control", cache_control);
  if (q.if_none_match == tag) {
    reply.status = 304;
    reply.body = nullptr;
  }
  return reply;
}

}  // namespace

std::string entity_tag(std::string_view identity, std::string_view what) {
  uint64_t hash = 14695981039346656037u;  // FNV-1a
  for (std::string_view part : {identity, std::string_view("|"), what})
    for (char c : part) hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211u;
  char text[24];
  std::snprintf(text, sizeof text, "\"%016llx\"", static_cast<unsigned long long>(hash));
  return text;
}

Reply Site::respond(const Query& q) { return *answer(q, true); }

Site::Site(TileMaker& maker, size_t cache_bytes, std::string identity, std::string fallback_host)
    : maker_(maker), cache_(cache_bytes), identity_(std::move(identity)), fallback_host_(std::move(fallback_host)) {
  for (const WebAsset& asset : web_assets())
    assets_.emplace(asset.path, Asset{asset.content_type, std::make_shared<const std::string>(asset.bytes),
                                      entity_tag("", asset.bytes)});
}

std::optional<Reply> Site::respond_from_memory(const Query& q) { return answer(q, false); }

std::optional<Reply> Site::answer(const Query& q, bool may_make) {
  const Pyramid& p = maker_.pyramid();
  if (q.path.starts_with(kDeepZoomFolder)) {
    Route route = route_deep_zoom(p, q.path.substr(kDeepZoomFolder.size()));
    return route.status == kOk ? tile(route.tile, q, may_make) : refusal(route.status);
  }
  if (q.path == "/image.dzi") return fixed("application/xml", deep_zoom_descriptor(p), "dzi", q);
  if (q.path == "/iiif/info.json") {
    std::string host = plain_host(q.host) ? std::string(q.host) : fallback_host_;
    std::string base = "http://" + host + "/iiif";
    return fixed("application/ld+json;profile=\"http://iiif.io/api/image/3/context.json\"", iiif_info(p, base),
                 "info " + base, q);
  }
  if (q.path.starts_with(kIiifBase)) {
    Route route = route_iiif(p, q.path.substr(kIiifBase.size()));
    return route.status == kOk ? tile(route.tile, q, may_make) : refusal(route.status);
  }
  auto asset = assets_.find(q.path == "/" ? "/index.html" : q.path);
  if (asset == assets_.end()) return refusal(kNotFound);
  Reply reply;
  reply.status = kOk;
  reply.content_type = asset->second.content_type;
  reply.body = asset->second.bytes;
  return with_tag(std::move(reply), asset->second.tag, kPageCacheControl, q);
}

Reply Site::fixed(std::string_view content_type, std::string body, const std::string& tag, const Query& q) {
  Reply reply;
  reply.status = kOk;
  reply.content_type = content_type;
  reply.body = std::make_shared<const std::string>(std::move(body));
  return with_tag(std::move(reply), entity_tag(identity_, tag), kTileCacheControl, q);
}

std::optional<Reply> Site::tile(const TileRequest& t, const Query& q, bool may_make) {
  std::string key = t.key();
  std::string tag = entity_tag(identity_, key);
  Reply reply;
  reply.status = kOk;
  reply.content_type = "image/jpeg";
  if (q.if_none_match == tag) return with_tag(std::move(reply), tag, kTileCacheControl, q);
  reply.body = cache_.find(key);
  if (!reply.body && !may_make) return std::nullopt;
  if (!reply.body) {
    std::string failure;
    reply.body = maker_.make(t, &failure);
    if (!reply.body) {
      std::fprintf(stderr, "%.*s: %s\n", static_cast<int>(q.path.size()), q.path.data(), failure.c_str());
      Reply error;
      error.status = 500;
      error.body = std::make_shared<const std::string>(failure + "\n");
      return error;
    }
    cache_.insert(key, reply.body);
  }
  return with_tag(std::move(reply), tag, kTileCacheControl, q);
}

}  // namespace crserve
