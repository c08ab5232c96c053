// The Deep Zoom and IIIF arithmetic without sockets: tiles at odd sizes and at the levels coarser
// than the file's, every listed tile and size served, and the refusals of malformed, outside and
// oversized requests.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <regex>

#include "crserve/protocols.hpp"
#include "support/support.hpp"

using namespace crserve;
using test_support::scratch_path;

namespace {

// The geometry of a CR file of the given size, created empty on disk.
Pyramid pyramid_for(int width, int height, int rect) {
  std::string path = scratch_path("geometry.cr");
  CR_FILE* f = cr_open_file(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644, rect, width, height);
  EXPECT_NE(f, nullptr) << "r64 error " << r64_error;
  std::optional<Pyramid> p = pyramid_of(f);
  cr_close_file(f);
  EXPECT_TRUE(p.has_value());
  return p.value_or(Pyramid{});
}

struct Case {
  int width, height, rect;
  const char* path;
  int status;
  TileRequest tile;
};

void expect_routes(const Case& c, Route (*route)(const Pyramid&, std::string_view)) {
  SCOPED_TRACE(std::to_string(c.width) + " x " + std::to_string(c.height) + " in " + std::to_string(c.rect) + ": " +
               c.path);
  Route r = route(pyramid_for(c.width, c.height, c.rect), c.path);
  EXPECT_EQ(r.status, c.status);
  if (c.status == kOk && r.status == kOk) {
    EXPECT_EQ(r.tile.key(), c.tile.key());
  }
}

TEST(Pyramid, LevelsAndScalesOfOddSizes) {
  struct Expected {
    int width, height, rect, coarsest, max_scale, one_tile;
  };
  for (Expected e : {Expected{600, 400, 64, 7, 10, 4}, Expected{257, 3, 256, 0, 9, 1}, Expected{3, 3, 64, 0, 2, 0},
                     Expected{16384, 16384, 256, 12, 14, 6}, Expected{32767, 5, 128, 1, 15, 8}}) {
    Pyramid p = pyramid_for(e.width, e.height, e.rect);
    EXPECT_EQ(std::tuple(p.coarsest, p.max_scale, one_tile_scale(p)), std::tuple(e.coarsest, e.max_scale, e.one_tile))
        << e.width << " x " << e.height;
  }
}

TEST(DeepZoom, TilesOfOddSizesAndCoarseLevels) {
  const Case cases[] = {
      {600, 400, 64, "10/0_0.jpg", kOk, {0, 0, 0, 64, 64, 1}},
      {600, 400, 64, "10/9_6.jpg", kOk, {0, 576, 384, 24, 16, 1}},  // the bottom-right corner
      {600, 400, 64, "9/4_3.jpg", kOk, {1, 256, 192, 44, 8, 1}},
      {600, 400, 64, "3/0_0.jpg", kOk, {7, 0, 0, 5, 4, 1}},  // the file's coarsest level
      {600, 400, 64, "2/0_0.jpg", kOk, {7, 0, 0, 5, 4, 2}},  // below it: shrunk
      {600, 400, 64, "0/0_0.jpg", kOk, {7, 0, 0, 5, 4, 8}},  // 1 x 1
      {257, 3, 256, "9/1_0.jpg", kOk, {0, 256, 0, 1, 3, 1}},
      {257, 3, 256, "8/0_0.jpg", kOk, {0, 0, 0, 257, 3, 2}},
      {16384, 16384, 256, "14/63_63.jpg", kOk, {0, 16128, 16128, 256, 256, 1}},
      {16384, 16384, 256, "1/0_0.jpg", kOk, {12, 0, 0, 4, 4, 2}},
      {600, 400, 64, "10/10_0.jpg", kNotFound, {}},  // one column past the edge
      {600, 400, 64, "10/0_7.jpg", kNotFound, {}},
      {600, 400, 64, "11/0_0.jpg", kNotFound, {}},
      {257, 3, 256, "8/1_0.jpg", kNotFound, {}},
      {600, 400, 64, "10/0_0.png", kNotFound, {}},
      {600, 400, 64, "10/0_0.jpg/x", kNotFound, {}},
      {600, 400, 64, "", kBadRequest, {}},
      {600, 400, 64, "10/0_0", kBadRequest, {}},
      {600, 400, 64, "10/a_0.jpg", kBadRequest, {}},
      {600, 400, 64, "-1/0_0.jpg", kBadRequest, {}},
      {600, 400, 64, "10/+1_0.jpg", kBadRequest, {}},
      {600, 400, 64, "10/0_0_0.jpg", kBadRequest, {}},
      {600, 400, 64, "10//0_0.jpg", kBadRequest, {}},
      {600, 400, 64, "4294967306/0_0.jpg", kBadRequest, {}},  // 10 digits, 2^32 + 10
      {600, 400, 64, "10/999999999_999999999.jpg", kNotFound, {}},
  };
  for (const Case& c : cases) expect_routes(c, route_deep_zoom);
}

TEST(DeepZoom, EveryLevelIsTiledExactly) {
  for (auto [w, h, rect] : {std::tuple(600, 400, 64), std::tuple(257, 3, 256), std::tuple(1000, 999, 128)}) {
    Pyramid p = pyramid_for(w, h, rect);
    for (int level = 0; level <= p.max_scale; ++level) {
      int across = 0, down = 0;
      for (int column = 0;; ++column) {
        Route r = route_deep_zoom(p, std::to_string(level) + "/" + std::to_string(column) + "_0.jpg");
        if (r.status != kOk) break;
        across += r.tile.out_w();
      }
      for (int row = 0;; ++row) {
        Route r = route_deep_zoom(p, std::to_string(level) + "/0_" + std::to_string(row) + ".jpg");
        if (r.status != kOk) break;
        down += r.tile.out_h();
      }
      int scale = p.max_scale - level;
      EXPECT_EQ(std::pair(across, down), std::pair((w + (1 << scale) - 1) >> scale, (h + (1 << scale) - 1) >> scale))
          << w << " x " << h << " level " << level;
    }
  }
}

TEST(DeepZoom, DescriptorNamesSizeAndTile) {
  std::string dzi = deep_zoom_descriptor(pyramid_for(600, 400, 64));
  EXPECT_NE(dzi.find("Format=\"jpg\" Overlap=\"0\" TileSize=\"64\""), std::string::npos) << dzi;
  EXPECT_NE(dzi.find("<Size Width=\"600\" Height=\"400\"/>"), std::string::npos) << dzi;
}

Route iiif_default(const Pyramid& p, std::string_view path) { return route_iiif(p, ImageLimits{}, path); }

// The requests that name a listed tile or size, in every form clients write them, are that tile.
TEST(Iiif, TilesAndSizesInTheFormsClientsWrite) {
  const Case cases[] = {
      {600, 400, 64, "0,0,64,64/64,/0/default.jpg", kOk, {0, 0, 0, 64, 64, 1}},
      {600, 400, 64, "0,0,64,64/64,64/0/default.jpg", kOk, {0, 0, 0, 64, 64, 1}},
      {600, 400, 64, "0,0,64,64/,64/0/color.jpg", kOk, {0, 0, 0, 64, 64, 1}},
      {600, 400, 64, "0,0,64,64/max/0/default.jpg", kOk, {0, 0, 0, 64, 64, 1}},
      {600, 400, 64, "576,384,64,64/24,/0/default.jpg", kOk, {0, 576, 384, 24, 16, 1}},  // clipped
      {600, 400, 64, "576,384,24,16/24,16/0/default.jpg", kOk, {0, 576, 384, 24, 16, 1}},
      {600, 400, 64, "512,0,128,128/44,/0/default.jpg", kOk, {1, 256, 0, 44, 64, 1}},
      {600, 400, 64, "full/38,/0/default.jpg", kOk, {4, 0, 0, 38, 25, 1}},
      {600, 400, 64, "full/5,4/0/default.jpg", kOk, {7, 0, 0, 5, 4, 1}},
      {600, 400, 64, "full/3,/0/default.jpg", kOk, {7, 0, 0, 5, 4, 2}},
      {600, 400, 64, "full/1,1/0/default.jpg", kOk, {7, 0, 0, 5, 4, 8}},
      {40, 30, 64, "full/max/0/default.jpg", kOk, {0, 0, 0, 40, 30, 1}},
      {600, 400, 64, "0,0,64,64/64,/0", kNotFound, {}},
      {600, 400, 64, "0,0,64,64/64,/0/default.jpg/", kNotFound, {}},
      {600, 400, 64, "", kNotFound, {}},
  };
  for (const Case& c : cases) {
    expect_routes(c, iiif_default);
    if (c.status == kOk) {
      EXPECT_FALSE(iiif_default(pyramid_for(c.width, c.height, c.rect), c.path).render) << c.path;
    }
  }
}

// Every other request of level 2: the region, the size (before rotating), mirroring and
// rotation, or the refusal's status.
struct ImageCase {
  const char* path;
  int status;
  int x = 0, y = 0, w = 0, h = 0, out_w = 0, out_h = 0;
  bool mirror = false;
  int rotation = 0;
};

void expect_image(const Pyramid& p, const ImageLimits& limits, const ImageCase& c) {
  SCOPED_TRACE(c.path);
  Route r = route_iiif(p, limits, c.path);
  ASSERT_EQ(r.status, c.status) << r.reason;
  if (c.status != kOk) {
    EXPECT_FALSE(r.reason.empty());
    EXPECT_EQ(r.reason.find('\n'), std::string::npos) << "one line";
    return;
  }
  ASSERT_TRUE(r.render);
  const ImageRequest& i = r.image;
  EXPECT_EQ(std::tuple(i.x, i.y, i.w, i.h, i.out_w, i.out_h, i.mirror, i.rotation),
            std::tuple(c.x, c.y, c.w, c.h, c.out_w, c.out_h, c.mirror, c.rotation));
}

TEST(Iiif, RegionsAtOddSizesAndEdges) {
  Pyramid p = pyramid_for(600, 400, 64);
  for (const ImageCase& c : {ImageCase{"full/max/0/default.jpg", kOk, 0, 0, 600, 400, 600, 400},
                             ImageCase{"square/max/0/default.jpg", kOk, 100, 0, 400, 400, 400, 400},
                             ImageCase{"590,390,100,100/max/0/default.jpg", kOk, 590, 390, 10, 10, 10, 10},
                             ImageCase{"0,0,999999999,999999999/max/0/default.jpg", kOk, 0, 0, 600, 400, 600, 400},
                             ImageCase{"pct:50,50,50,50/max/0/default.jpg", kOk, 300, 200, 300, 200, 300, 200},
                             ImageCase{"pct:33.3,0,33.4,100/max/0/default.jpg", kOk, 200, 0, 200, 400, 200, 400},
                             ImageCase{"pct:0,0,100,100/max/0/default.jpg", kOk, 0, 0, 600, 400, 600, 400},
                             ImageCase{"32,0,64,64/64,/0/default.jpg", kOk, 32, 0, 64, 64, 64, 64},
                             ImageCase{"600,0,64,64/max/0/default.jpg", kBadRequest},
                             ImageCase{"0,400,64,64/max/0/default.jpg", kBadRequest},
                             ImageCase{"0,0,0,64/max/0/default.jpg", kBadRequest},
                             ImageCase{"pct:99.99,0,0.01,100/max/0/default.jpg", kBadRequest},
                             ImageCase{"pct:100,0,10,10/max/0/default.jpg", kBadRequest},
                             ImageCase{"pct:0,0,0,10/max/0/default.jpg", kBadRequest},
                             ImageCase{"0,0,9999999999,1/max/0/default.jpg", kBadRequest},
                             ImageCase{"pct:0,0,1e2,10/max/0/default.jpg", kBadRequest},
                             ImageCase{"pct:0,0,50.1234567890,10/max/0/default.jpg", kBadRequest},
                             ImageCase{"0,0,64/max/0/default.jpg", kBadRequest},
                             ImageCase{"0,0,64,64,1/max/0/default.jpg", kBadRequest},
                             ImageCase{"-0,0,64,64/max/0/default.jpg", kBadRequest},
                             ImageCase{"0, 0,64,64/max/0/default.jpg", kBadRequest},
                             ImageCase{"pct:-1,0,10,10/max/0/default.jpg", kBadRequest},
                             ImageCase{"Full/max/0/default.jpg", kBadRequest}})
    expect_image(p, ImageLimits{}, c);
  Pyramid thin = pyramid_for(257, 3, 256);
  expect_image(thin, ImageLimits{}, ImageCase{"square/max/0/default.jpg", kOk, 127, 0, 3, 3, 3, 3});
  expect_image(thin, ImageLimits{}, ImageCase{"pct:0,0,1,100/max/0/default.jpg", kOk, 0, 0, 3, 3, 3, 3});
}

TEST(Iiif, SizesWithAndWithoutUpscalingAndLimits) {
  Pyramid p = pyramid_for(600, 400, 64);
  for (const ImageCase& c : {ImageCase{"full/300,/0/default.jpg", kOk, 0, 0, 600, 400, 300, 200},
                             ImageCase{"full/,100/0/default.jpg", kOk, 0, 0, 600, 400, 150, 100},
                             ImageCase{"full/200,50/0/default.jpg", kOk, 0, 0, 600, 400, 200, 50},
                             ImageCase{"full/pct:50/0/default.jpg", kOk, 0, 0, 600, 400, 300, 200},
                             ImageCase{"full/pct:12.5/0/default.jpg", kOk, 0, 0, 600, 400, 75, 50},
                             ImageCase{"full/pct:0.01/0/default.jpg", kOk, 0, 0, 600, 400, 1, 1},
                             ImageCase{"full/pct:100/0/default.jpg", kOk, 0, 0, 600, 400, 600, 400},
                             ImageCase{"full/!100,100/0/default.jpg", kOk, 0, 0, 600, 400, 100, 67},
                             ImageCase{"full/!100,10/0/default.jpg", kOk, 0, 0, 600, 400, 15, 10},
                             ImageCase{"full/!1000,1000/0/default.jpg", kOk, 0, 0, 600, 400, 600, 400},
                             ImageCase{"full/^!1000,1000/0/default.jpg", kOk, 0, 0, 600, 400, 1000, 667},
                             ImageCase{"full/^601,/0/default.jpg", kOk, 0, 0, 600, 400, 601, 401},
                             ImageCase{"full/^pct:101/0/default.jpg", kOk, 0, 0, 600, 400, 606, 404},
                             ImageCase{"full/^max/0/default.jpg", kOk, 0, 0, 600, 400, 5016, 3344},
                             ImageCase{"0,0,1,1/^,4096/0/default.jpg", kOk, 0, 0, 1, 1, 4096, 4096},
                             ImageCase{"full/601,/0/default.jpg", kBadRequest},
                             ImageCase{"full/,401/0/default.jpg", kBadRequest},
                             ImageCase{"full/pct:101/0/default.jpg", kBadRequest},
                             ImageCase{"0,0,64,64/65,/0/default.jpg", kBadRequest},
                             ImageCase{"full/^999999999,/0/default.jpg", kBadRequest},
                             ImageCase{"0,0,1,1/^,4097/0/default.jpg", kBadRequest},
                             ImageCase{"full/9999999999,/0/default.jpg", kBadRequest},
                             ImageCase{"full/0,/0/default.jpg", kBadRequest},
                             ImageCase{"full/,0/0/default.jpg", kBadRequest},
                             ImageCase{"full/0,0/0/default.jpg", kBadRequest},
                             ImageCase{"full/pct:0/0/default.jpg", kBadRequest},
                             ImageCase{"full/!0,10/0/default.jpg", kBadRequest},
                             ImageCase{"full/,/0/default.jpg", kBadRequest},
                             ImageCase{"full/!100/0/default.jpg", kBadRequest},
                             ImageCase{"full/!,100/0/default.jpg", kBadRequest},
                             ImageCase{"full/^/0/default.jpg", kBadRequest},
                             ImageCase{"full/^^max/0/default.jpg", kBadRequest},
                             ImageCase{"full/^!^100,100/0/default.jpg", kBadRequest},
                             ImageCase{"full/MAX/0/default.jpg", kBadRequest}})
    expect_image(p, ImageLimits{}, c);
  // Limits of 65536 pixels: max fits within them, whatever the region; an explicit size beyond is
  // refused, with ^ or without.
  ImageLimits small{65536, 1000, 200};
  for (const ImageCase& c : {ImageCase{"full/max/0/default.jpg", kOk, 0, 0, 600, 400, 300, 200},
                             ImageCase{"full/^max/0/default.jpg", kOk, 0, 0, 600, 400, 300, 200},
                             ImageCase{"0,0,600,100/max/0/default.jpg", kOk, 0, 0, 600, 100, 600, 100},
                             ImageCase{"0,0,600,10/^max/0/default.jpg", kOk, 0, 0, 600, 10, 1000, 16},
                             ImageCase{"full/300,/0/default.jpg", kOk, 0, 0, 600, 400, 300, 200},
                             ImageCase{"full/301,/0/default.jpg", kBadRequest},
                             ImageCase{"0,0,600,10/^1001,/0/default.jpg", kBadRequest}})
    expect_image(p, small, c);
  Route over = route_iiif(p, ImageLimits{65536, 32767, 32767}, "full/400,/0/default.jpg");
  EXPECT_EQ(over.status, kBadRequest);
  EXPECT_NE(over.reason.find("65536"), std::string::npos) << "the reason names the limit: " << over.reason;
}

TEST(Iiif, RotationsQualitiesAndFormats) {
  Pyramid p = pyramid_for(600, 400, 64);
  for (const ImageCase& c : {ImageCase{"full/60,/90/default.jpg", kOk, 0, 0, 600, 400, 60, 40, false, 90},
                             ImageCase{"full/60,/180/gray.png", kOk, 0, 0, 600, 400, 60, 40, false, 180},
                             ImageCase{"full/60,/270/bitonal.jpg", kOk, 0, 0, 600, 400, 60, 40, false, 270},
                             ImageCase{"full/60,/!0/color.png", kOk, 0, 0, 600, 400, 60, 40, true, 0},
                             ImageCase{"full/60,/!270/default.png", kOk, 0, 0, 600, 400, 60, 40, true, 270},
                             ImageCase{"0,0,64,64/64,/!0/default.jpg", kOk, 0, 0, 64, 64, 64, 64, true, 0},
                             ImageCase{"full/60,/45/default.jpg", kNotImplemented},
                             ImageCase{"full/60,/22.5/default.jpg", kNotImplemented},
                             ImageCase{"full/60,/360/default.jpg", kNotImplemented},
                             ImageCase{"full/60,/361/default.jpg", kBadRequest},
                             ImageCase{"full/60,/-90/default.jpg", kBadRequest},
                             ImageCase{"full/60,/!!90/default.jpg", kBadRequest},
                             ImageCase{"full/60,/abc/default.jpg", kBadRequest},
                             ImageCase{"full/60,/0/grey.jpg", kBadRequest},
                             ImageCase{"full/60,/0/default", kBadRequest},
                             ImageCase{"full/60,/0/default.tif", kNotImplemented},
                             ImageCase{"full/60,/0/default.webp", kNotImplemented},
                             ImageCase{"full/60,/0/default.xyz", kBadRequest},
                             ImageCase{"full/60,/0/default.JPG", kBadRequest}})
    expect_image(p, ImageLimits{}, c);
  ImageRequest turned = route_iiif(p, ImageLimits{}, "full/60,/90/default.jpg").image;
  EXPECT_EQ(std::pair(turned.final_w(), turned.final_h()), std::pair(40, 60));
  EXPECT_EQ(route_iiif(p, ImageLimits{}, "full/60,/0/gray.png").image.format, Format::kPng);
  EXPECT_NE(route_iiif(p, ImageLimits{}, "full/60,/0/gray.png").image.key(),
            route_iiif(p, ImageLimits{}, "full/60,/0/bitonal.png").image.key());
  EXPECT_EQ(route_iiif(p, ImageLimits{}, "full/60,/0/default.png").image.key(),
            route_iiif(p, ImageLimits{}, "full/60,40/0/color.png").image.key())
      << "requests of the same output share its name";
}

// What info.json lists, read back with patterns: its scale factors and sizes.
std::vector<int> numbers_after(const std::string& text, const std::string& pattern) {
  std::vector<int> found;
  std::regex re(pattern + "(\\d+)");
  for (auto m = std::sregex_iterator(text.begin(), text.end(), re); m != std::sregex_iterator(); ++m)
    found.push_back(std::stoi((*m)[1]));
  return found;
}

TEST(Iiif, InfoListsOnlyWhatIsServed) {
  for (auto [w, h, rect] : {std::tuple(600, 400, 64), std::tuple(257, 3, 256), std::tuple(40, 30, 64)}) {
    SCOPED_TRACE(std::to_string(w) + " x " + std::to_string(h));
    Pyramid p = pyramid_for(w, h, rect);
    std::string info = iiif_info(p, ImageLimits{}, "http://example.org:81/iiif");
    EXPECT_NE(info.find("\"id\":\"http://example.org:81/iiif\""), std::string::npos);
    EXPECT_NE(info.find("\"width\":" + std::to_string(w) + ",\"height\":" + std::to_string(h)), std::string::npos);
    std::smatch factors;
    ASSERT_TRUE(std::regex_search(info, factors, std::regex("\"scaleFactors\":\\[([0-9,]*)\\]")));
    std::string list = factors[1];
    for (int s : numbers_after("," + list, ",")) {
      int span = rect * s;
      for (int y = 0; y < h; y += span)
        for (int x = 0; x < w; x += span) {
          int tw = std::min(span, w - x), th = std::min(span, h - y);
          std::string path = std::to_string(x) + "," + std::to_string(y) + "," + std::to_string(tw) + "," +
                              std::to_string(th) + "/" + std::to_string((tw + s - 1) / s) + ",/0/default.jpg";
          EXPECT_EQ(iiif_default(p, path).status, kOk) << path;
        }
    }
    std::vector<int> widths = numbers_after(info.substr(info.find("\"sizes\"")), "\"width\":");
    ASSERT_FALSE(widths.empty());
    EXPECT_TRUE(std::is_sorted(widths.begin(), widths.end()));
    EXPECT_LE(widths.back(), rect);
    EXPECT_EQ(widths.back(), width_at(p, one_tile_scale(p))) << "the largest size that fits a tile is listed";
    for (int sw : widths) {
      Route r = iiif_default(p, "full/" + std::to_string(sw) + ",/0/default.jpg");
      EXPECT_TRUE(r.status == kOk && !r.render) << sw << ": a listed size is a tile";
    }
    EXPECT_NE(info.find("\"profile\":\"level2\""), std::string::npos);
    EXPECT_NE(info.find("\"maxArea\":16777216"), std::string::npos);
    EXPECT_NE(info.find("\"extraQualities\":[\"color\",\"gray\",\"bitonal\"]"), std::string::npos);
    EXPECT_NE(info.find("\"extraFeatures\":[\"mirroring\",\"sizeUpscaling\"]"), std::string::npos);
  }
}

}  // namespace
