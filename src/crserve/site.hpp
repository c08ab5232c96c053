// What the server answers, apart from HTTP itself: a request path (percent-decoded) and the few
// headers that matter become a reply. For a single file: the viewer at "/", Deep Zoom at
// "/image.dzi", IIIF at "/iiif". For a folder: the list of its images at "/", and for each image
// `id` the viewer at "/view/{id}", Deep Zoom at "/dzi/{id}.dzi", IIIF at "/iiif/{id}". The CR file's
// own bytes, whole or a range, are at "/image.cr" and "/files/{id}.cr". Every reply
// but a refusal, a list or a redirect carries an entity tag from the file's identity; a request
// that already holds it (or a version not older) gets 304 with no body.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "images.hpp"
#include "protocols.hpp"
#include "public_url.hpp"
#include "reply.hpp"
#include "tile_maker.hpp"

namespace crserve {

struct Query {
  std::string_view path;               // percent-decoded, without the query
  std::string_view query;              // what followed the '?', as sent
  std::string_view if_none_match;      // the header, empty when absent
  std::string_view if_modified_since;  // the header, empty when absent
  std::string_view range;              // the header, empty when absent (and for HEAD, which ignores it)
  std::string_view if_range;           // the header, empty when absent
  UrlHeaders url;                      // what the public address is taken from
};

struct SiteSettings {
  size_t cache_bytes = 64 << 20;  // encoded tiles and small images kept
  ImageLimits limits;
  UrlSettings url;
};

// Images in a list page, at most.
inline constexpr size_t kImagesPerPage = 200;

class Site {
 public:
  Site(Images& images, TileMaker& maker, SiteSettings settings);

  // The reply to `q`, making its tile, image or list when they are not at hand.
  Reply respond(const Query& q);
  // The reply to `q` from what is at hand (pages, descriptors, refusals, cached tiles), or nothing
  // when it needs making: a caller answering on an event loop hands those to a worker.
  std::optional<Reply> respond_from_memory(const Query& q);

 private:
  std::optional<Reply> answer(const Query& q, bool may_make);
  std::optional<Reply> single_file(const Query& q, bool may_make);
  std::optional<Reply> folder(const Query& q, bool may_make);
  std::optional<Reply> file(std::string_view id, const Query& q, bool may_make);
  std::optional<Reply> deep_zoom(std::string_view rest, const Query& q, bool may_make);
  std::optional<Reply> iiif(std::string_view rest, const Query& q, bool may_make);
  std::optional<Reply> iiif_of(std::shared_ptr<const ImageFile> image, std::string_view request,
                               const std::string& service, const Query& q, bool may_make);
  std::optional<Reply> tile(const ImageFile& image, const TileRequest& t, const Query& q, bool may_make);
  std::optional<Reply> render(std::shared_ptr<const ImageFile> image, const ImageRequest& r, const Query& q,
                              bool may_make);
  Reply page(const ImageFile& image, const Query& q);
  Reply listing(const Query& q);
  Reply fixed(std::string_view content_type, std::string body, const ImageFile& image, std::string_view what,
              const Query& q);
  std::optional<Reply> asset(std::string_view path, const Query& q) const;
  std::string base(const Query& q) const;

  // A page or script as every reply shares it: its bytes copied once, its entity tag.
  struct Asset {
    std::string_view content_type;
    Bytes bytes;
    std::string tag;
  };

  Images& images_;
  TileMaker& maker_;
  SiteSettings settings_;
  TileCache cache_;
  std::unordered_map<std::string_view, Asset> assets_;
  std::string_view page_template_;
};

// The entity tag of a reply: a hash of the file's identity and what the reply shows, quoted.
std::string entity_tag(std::string_view identity, std::string_view what);

// Whether a request holding `if_none_match` and `if_modified_since` already has the version
// tagged `tag`, last changed at `modified` (0: unknown): If-None-Match decides when present.
bool not_modified(std::string_view if_none_match, std::string_view if_modified_since, std::string_view tag,
                  time_t modified);

}  // namespace crserve
