// Routes a request to a page, a descriptor, a tile, an image or the list of images. Tiles and
// small images come from the cache or are made and stored there; larger images are made a part
// at a time as they are sent. Refusals say why in one line.
#include "site.hpp"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "byte_ranges.hpp"
#include "file_body.hpp"
#include "http_messages.hpp"
#include "pages.hpp"
#include "render.hpp"
#include "web_assets.hpp"

namespace crserve {

namespace {

constexpr const char* kLongCacheControl = "public, max-age=86400";
constexpr const char* kPageCacheControl = "no-cache";
constexpr std::string_view kPageTemplate = "/index.html";
constexpr const char* kFileMediaType = "application/octet-stream";
constexpr std::string_view kFileSuffix = ".cr";
constexpr const char* kIiifMediaType = "application/ld+json;profile=\"http://iiif.io/api/image/3/context.json\"";
// An image whose first part is its whole and at most this long is kept in the tile cache.
constexpr size_t kCachedImageBytes = 1 << 20;

Reply refusal(int status, std::string_view reason = {}) {
  Reply reply;
  reply.status = status;
  std::string text = !reason.empty() ? std::string(reason) : status == kBadRequest ? "bad request" : "not found";
  reply.body = std::make_shared<const std::string>(text + "\n");
  return reply;
}

Reply redirect(const std::string& location) {
  Reply reply;
  reply.status = kSeeOther;
  reply.headers.emplace_back("Location", location);
  reply.body = std::make_shared<const std::string>(location + "\n");
  return reply;
}

Reply server_error(std::string_view path, const std::string& failure) {
  std::fprintf(stderr, "%.*s: %s\n", static_cast<int>(path.size()), path.data(), failure.c_str());
  Reply error;
  error.status = 500;
  error.body = std::make_shared<const std::string>(failure + "\n");
  return error;
}

Reply with_tag(Reply reply, const std::string& tag, const char* cache_control, time_t modified, const Query& q) {
  reply.headers.emplace_back("ETag", tag);
  reply.headers.emplace_back("Cache-Control", cache_control);
  if (modified > 0) reply.headers.emplace_back("Last-Modified", http_date(modified));
  if (not_modified(q.if_none_match, q.if_modified_since, tag, modified)) {
    reply.status = kNotModified;
    reply.body = nullptr;
    reply.rest = nullptr;
  }
  return reply;
}

// A range of nothing the file holds: 416 with the file's size, so that the client learns it.
Reply range_refusal(Reply reply, uint64_t size) {
  reply.status = kRangeNotSatisfiable;
  reply.headers.emplace_back("Content-Range", unsatisfied_range(size));
  reply.content_type = "text/plain; charset=utf-8";
  reply.body = std::make_shared<const std::string>("range not satisfiable\n");
  return reply;
}

const char* media_type(Format format) { return format == Format::kJpg ? "image/jpeg" : "image/png"; }

// The number of the list page a query asks for ("page=3"); 1 when it asks for none.
size_t page_number(std::string_view query) {
  for (size_t start = 0; start <= query.size();) {
    size_t end = query.find('&', start);
    std::string_view pair = query.substr(start, end == std::string_view::npos ? end : end - start);
    if (pair.starts_with("page=")) return static_cast<size_t>(std::max(1, parse_count(pair.substr(5))));
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
  return 1;
}

PageImage page_image(const ImageFile& image, std::string name) {
  const Pyramid& p = image.pyramid;
  int thumb = one_tile_scale(p);
  return PageImage{std::move(name), percent_encoded(image.id), p.width, p.height, width_at(p, thumb),
                   height_at(p, thumb)};
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

bool not_modified(std::string_view if_none_match, std::string_view if_modified_since, std::string_view tag,
                  time_t modified) {
  if (!if_none_match.empty()) return matches_tag(if_none_match, tag);
  if (if_modified_since.empty() || modified <= 0) return false;
  time_t since = parse_http_date(if_modified_since);
  return since >= 0 && modified <= since;
}

Site::Site(Images& images, TileMaker& maker, SiteSettings settings)
    : images_(images), maker_(maker), settings_(std::move(settings)), cache_(settings_.cache_bytes) {
  for (const WebAsset& asset : web_assets()) {
    if (asset.path == kPageTemplate) {
      page_template_ = asset.bytes;
      continue;
    }
    assets_.emplace(asset.path, Asset{asset.content_type, std::make_shared<const std::string>(asset.bytes),
                                      entity_tag("", asset.bytes)});
  }
}

Reply Site::respond(const Query& q) { return *answer(q, true); }

std::optional<Reply> Site::respond_from_memory(const Query& q) { return answer(q, false); }

std::string Site::base(const Query& q) const { return public_base(settings_.url, q.url); }

std::optional<Reply> Site::answer(const Query& q, bool may_make) {
  if (std::optional<Reply> reply = asset(q.path, q)) return reply;
  return images_.is_folder() ? folder(q, may_make) : single_file(q, may_make);
}

std::optional<Reply> Site::asset(std::string_view path, const Query& q) const {
  auto found = assets_.find(path);
  if (found == assets_.end()) return std::nullopt;
  Reply reply;
  reply.status = kOk;
  reply.content_type = found->second.content_type;
  reply.body = found->second.bytes;
  return with_tag(std::move(reply), found->second.tag, kPageCacheControl, 0, q);
}

std::optional<Reply> Site::single_file(const Query& q, bool may_make) {
  std::shared_ptr<const ImageFile> image = images_.find("");
  if (!image) return refusal(kNotFound, "the CR file is gone");
  std::string_view path = q.path;
  if (path == "/") return page(*image, q);
  if (path == "/image.cr") return file("", q, may_make);
  if (path == "/image.dzi") return fixed("application/xml", deep_zoom_descriptor(image->pyramid), *image, "dzi", q);
  if (path.starts_with("/image_files/")) {
    Route route = route_deep_zoom(image->pyramid, path.substr(13));
    return route.status == kOk ? tile(*image, route.tile, q, may_make) : refusal(route.status, route.reason);
  }
  if (path == "/iiif" || path == "/iiif/") return redirect(base(q) + "/iiif/info.json");
  if (!path.starts_with("/iiif/")) return refusal(kNotFound);
  std::string_view request = path.substr(6);
  return iiif_of(image, request, base(q) + "/iiif", q, may_make);
}

std::optional<Reply> Site::folder(const Query& q, bool may_make) {
  std::string_view path = q.path;
  if (path == "/") return may_make ? std::optional<Reply>(listing(q)) : std::nullopt;
  if (path.starts_with("/view/")) {
    std::shared_ptr<const ImageFile> image = images_.find(path.substr(6));
    return image ? page(*image, q) : refusal(kNotFound, "no such image");
  }
  if (path.starts_with("/files/") && path.ends_with(kFileSuffix) && path.size() > 7 + kFileSuffix.size())
    return file(path.substr(7, path.size() - 7 - kFileSuffix.size()), q, may_make);
  if (path.starts_with("/dzi/")) return deep_zoom(path.substr(5), q, may_make);
  if (path.starts_with("/iiif/")) return iiif(path.substr(6), q, may_make);
  return refusal(kNotFound);
}

// The bytes of the CR file of image `id`, whole or the range asked for, read a part at a time as
// they are sent. Revalidated at every request ("no-cache"), so that a reader never mixes ranges
// of two versions of a file from its cache.
std::optional<Reply> Site::file(std::string_view id, const Query& q, bool may_make) {
  std::shared_ptr<const ImageFile> image = images_.find(id);
  if (!image) return refusal(kNotFound, "no such image");
  if (!may_make) return std::nullopt;  // opened and read on a worker
  int fd = images_.open_descriptor(*image);
  if (fd < 0 && (image = images_.find(id))) fd = images_.open_descriptor(*image);  // replaced meanwhile
  if (fd < 0) return refusal(kNotFound, "no such image");
  fd_io::Descriptor held(fd);
  auto size = static_cast<uint64_t>(image->seen.st_size);
  std::string tag = entity_tag(image->identity, "file");
  Reply reply;
  reply.status = kOk;
  reply.content_type = kFileMediaType;
  reply.byte_ranges = true;
  reply = with_tag(std::move(reply), tag, kPageCacheControl, image->modified, q);
  if (reply.status == kNotModified) return reply;
  bool current = q.if_range.empty() || if_range_holds(q.if_range, tag, image->modified);
  RangePlan plan = current ? plan_range(q.range, size) : RangePlan{};
  if (plan.answer == RangePlan::Answer::kUnsatisfiable) return range_refusal(std::move(reply), size);
  if (plan.answer == RangePlan::Answer::kWhole) plan = RangePlan{RangePlan::Answer::kWhole, 0, size};
  if (plan.answer == RangePlan::Answer::kPart) {
    reply.status = kPartialContent;
    reply.headers.emplace_back("Content-Range", content_range(plan, size));
  }
  reply.length = static_cast<long long>(plan.length);
  if (plan.length > 0) reply.rest = std::make_shared<FileBody>(held.release(), image->seen, plan.first, plan.length);
  return reply;
}

// "{id}.dzi" or "{id}_files/{level}/{column}_{row}.jpg"; the id may hold "/" where a proxy
// decoded a "%2F".
std::optional<Reply> Site::deep_zoom(std::string_view rest, const Query& q, bool may_make) {
  if (rest.ends_with(".dzi")) {
    std::shared_ptr<const ImageFile> image = images_.find(rest.substr(0, rest.size() - 4));
    if (!image) return refusal(kNotFound, "no such image");
    return fixed("application/xml", deep_zoom_descriptor(image->pyramid), *image, "dzi", q);
  }
  size_t files = rest.rfind("_files/");
  if (files == std::string_view::npos) return refusal(kNotFound);
  std::shared_ptr<const ImageFile> image = images_.find(rest.substr(0, files));
  if (!image) return refusal(kNotFound, "no such image");
  Route route = route_deep_zoom(image->pyramid, rest.substr(files + 7));
  return route.status == kOk ? tile(*image, route.tile, q, may_make) : refusal(route.status, route.reason);
}

// "{id}", "{id}/info.json" or "{id}/{region}/{size}/{rotation}/{quality}.{format}"; the id may
// hold "/" where a proxy decoded a "%2F".
std::optional<Reply> Site::iiif(std::string_view rest, const Query& q, bool may_make) {
  std::string service = base(q) + "/iiif/";
  if (rest.ends_with("/")) rest.remove_suffix(1);
  if (images_.find(rest)) return redirect(service + percent_encoded(rest) + "/info.json");
  size_t cut = rest.size();
  for (int parts = 0; parts < (rest.ends_with("/info.json") ? 1 : 4) && cut != std::string_view::npos; ++parts)
    cut = cut == 0 ? std::string_view::npos : rest.rfind('/', cut - 1);
  if (cut == std::string_view::npos) return refusal(kNotFound, "no such image");
  std::string_view id = rest.substr(0, cut);
  std::shared_ptr<const ImageFile> image = images_.find(id);
  if (!image) return refusal(kNotFound, "no such image");
  return iiif_of(image, rest.substr(cut + 1), service + percent_encoded(id), q, may_make);
}

std::optional<Reply> Site::iiif_of(std::shared_ptr<const ImageFile> image, std::string_view request,
                                   const std::string& service, const Query& q, bool may_make) {
  if (request == "info.json") {
    Reply reply = fixed(kIiifMediaType, iiif_info(image->pyramid, settings_.limits, service), *image, "info " + service, q);
    if (settings_.url.base_url.empty())
      reply.headers.emplace_back("Vary", "Forwarded, Host, X-Forwarded-Host, X-Forwarded-Prefix, X-Forwarded-Proto");
    return reply;
  }
  Route route = route_iiif(image->pyramid, settings_.limits, request);
  if (route.status != kOk) return refusal(route.status, route.reason);
  if (!route.render) return tile(*image, route.tile, q, may_make);
  return render(image, route.image, q, may_make);
}

Reply Site::fixed(std::string_view content_type, std::string body, const ImageFile& image, std::string_view what,
                  const Query& q) {
  Reply reply;
  reply.status = kOk;
  reply.content_type = content_type;
  reply.body = std::make_shared<const std::string>(std::move(body));
  return with_tag(std::move(reply), entity_tag(image.identity, what), kLongCacheControl, image.modified, q);
}

Reply Site::page(const ImageFile& image, const Query& q) {
  std::string name = image.id.empty() ? images_.file_name() : image.id;
  Reply reply;
  reply.status = kOk;
  reply.content_type = "text/html; charset=utf-8";
  reply.body = std::make_shared<const std::string>(viewer_page(page_template_, page_image(image, std::move(name))));
  return with_tag(std::move(reply), entity_tag(image.identity, *reply.body), kPageCacheControl, image.modified, q);
}

Reply Site::listing(const Query& q) {
  std::vector<std::string> names = images_.names();
  size_t pages = std::max<size_t>(1, (names.size() + kImagesPerPage - 1) / kImagesPerPage);
  size_t page = std::min(page_number(q.query), pages);
  std::vector<PageImage> shown;
  for (size_t i = (page - 1) * kImagesPerPage; i < std::min(names.size(), page * kImagesPerPage); ++i)
    if (std::shared_ptr<const ImageFile> image = images_.find(names[i])) shown.push_back(page_image(*image, names[i]));
  Reply reply;
  reply.status = kOk;
  reply.content_type = "text/html; charset=utf-8";
  reply.body = std::make_shared<const std::string>(
      listing_page(shown, static_cast<int>(page), static_cast<int>(pages), names.size()));
  reply.headers.emplace_back("Cache-Control", kPageCacheControl);
  return reply;
}

std::optional<Reply> Site::tile(const ImageFile& image, const TileRequest& t, const Query& q, bool may_make) {
  std::string key = t.key();
  std::string tag = entity_tag(image.identity, key);
  Reply reply;
  reply.status = kOk;
  reply.content_type = "image/jpeg";
  if (not_modified(q.if_none_match, q.if_modified_since, tag, image.modified))
    return with_tag(std::move(reply), tag, kLongCacheControl, image.modified, q);
  std::string cached = image.identity + "|" + key;
  reply.body = cache_.find(cached);
  if (!reply.body && !may_make) return std::nullopt;
  if (!reply.body) {
    std::string failure;
    reply.body = maker_.make(image, t, &failure);
    if (!reply.body) return server_error(q.path, failure);
    cache_.insert(cached, reply.body);
  }
  return with_tag(std::move(reply), tag, kLongCacheControl, image.modified, q);
}

// An image made a band at a time: the first part is made here; when that is the whole image and
// small, it is kept like a tile, otherwise the rest is made as it is sent.
std::optional<Reply> Site::render(std::shared_ptr<const ImageFile> image, const ImageRequest& r, const Query& q,
                                  bool may_make) {
  std::string key = r.key();
  std::string tag = entity_tag(image->identity, key);
  Reply reply;
  reply.status = kOk;
  reply.content_type = media_type(r.format);
  if (not_modified(q.if_none_match, q.if_modified_since, tag, image->modified))
    return with_tag(std::move(reply), tag, kLongCacheControl, image->modified, q);
  std::string cached = image->identity + "|" + key;
  reply.body = cache_.find(cached);
  if (!reply.body && !may_make) return std::nullopt;
  if (!reply.body) {
    auto stream = std::make_shared<ImageStream>(maker_, image, r);
    std::string first, failure;
    BodyStream::Step step = stream->next(&first, &failure);
    if (step == BodyStream::Step::kFailed) return server_error(q.path, failure);
    reply.body = std::make_shared<const std::string>(std::move(first));
    if (step == BodyStream::Step::kMore) reply.rest = stream;
    if (step == BodyStream::Step::kDone && reply.body->size() <= kCachedImageBytes) cache_.insert(cached, reply.body);
  }
  return with_tag(std::move(reply), tag, kLongCacheControl, image->modified, q);
}

}  // namespace crserve
