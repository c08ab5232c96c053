// A file or folder served through a Site of its own, without sockets, for the tile server's tests.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <string_view>

#include "crserve/site.hpp"
#include "support/support.hpp"

namespace crserve_test {

using namespace crserve;

// A file or folder served through a Site of its own, without sockets.
struct Served {
  explicit Served(const std::string& path, size_t cache_bytes = 1 << 20, SiteSettings settings = {}) {
    std::string message;
    images = Images::open(path, &message);
    EXPECT_TRUE(images) << message;
    if (!images) return;
    maker = TileMaker::open(*images, 1 << 20);
    images->on_forget([this](unsigned long serial) { maker->forget(serial); });
    settings.cache_bytes = cache_bytes;
    if (settings.url.listen_host.empty()) settings.url.listen_host = "127.0.0.1:8080";
    site = std::make_unique<Site>(*images, *maker, settings);
  }
  Reply get(std::string_view path, std::string_view host = "", std::string_view if_none_match = "") {
    Query q;
    q.path = path;
    q.url.host = host;
    q.if_none_match = if_none_match;
    return site->respond(q);
  }
  std::unique_ptr<Images> images;
  std::unique_ptr<TileMaker> maker;
  std::unique_ptr<Site> site;
};

// The w x h region at (x, y) of `level` of the CR file `cr`, as the library's rebuilder gives it.
inline test_support::Image rebuilt_region(const std::string& cr, int level, int x, int y, int w, int h) {
  CR_FILE* f = cr_open_file(cr.c_str(), O_RDONLY, 0, 0, 0, 0);
  CR_REBUILDER* rb = cr_rebuild_open(f);
  test_support::Image image(w, h);
  EXPECT_EQ(cr_rebuild_region(image.rgb.data(), rb, x, y, w, h, level), 0);
  cr_rebuild_close(rb);
  cr_close_file(f);
  return image;
}

// The value of a reply's header; empty when absent.
inline std::string header(const Reply& reply, const std::string& name) {
  for (const auto& [n, v] : reply.headers)
    if (n == name) return v;
  return "";
}

}  // namespace crserve_test
