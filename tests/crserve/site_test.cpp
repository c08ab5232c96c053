// Every endpoint of the server through its Site, without sockets, on a CR file of a real photo:
// the page and its scripts, the descriptors, tiles that show the rebuilt level within JPEG error at
// every scale, entity tags, the tile cache, and a damaged rectangle failing its tile only.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <fstream>

#include "crserve/site.hpp"
#include "jpeg.hpp"
#include "r64/cr/cr_files.hpp"
#include "crserve/served.hpp"

using namespace crserve;
using namespace crserve_test;
using namespace test_support;

namespace {

struct SiteTest : cr_test::CrTest {
  // The coffee photo (600 x 400) in rectangles of 64: levels 0 to 7, Deep Zoom levels 0 to 10.
  void SetUp() override {
    CrTest::SetUp();
    RunResult job = run_tool({"-pr", sample_path("coffee.ppm"), "p.r64", "-l", "-crsize", "64", "-cr", "p.cr"});
    ASSERT_EQ(job.status, 0) << job.err;
    cr = scratch_path("p.cr");
  }

  Image rebuilt(int level, int x, int y, int w, int h) { return rebuilt_region(cr, level, x, y, w, h); }

  std::string cr;
};

Image decode(const Reply& reply) {
  if (!reply.body) return Image(0, 0);
  int w = 0, h = 0;
  unsigned char* pixels =
      jpeg_uncompress(&w, &h, reinterpret_cast<const unsigned char*>(reply.body->data()), static_cast<int>(reply.body->size()));
  if (pixels == nullptr) return Image(0, 0);
  Image image(w, h);
  for (size_t i = 0; i < image.rgb.size(); ++i) image.rgb[i] = pixels[i / 3 * 4 + i % 3];
  std::free(pixels);
  return image;
}

double mean_error(const Image& a, const Image& b) {
  double sum = 0;
  for (size_t i = 0; i < a.rgb.size(); ++i) sum += std::abs(a.rgb[i] - b.rgb[i]);
  return sum / static_cast<double>(a.rgb.size());
}


TEST_F(SiteTest, EveryEndpointAnswersWithItsMediaType) {
  Served served(cr);
  struct Expected {
    const char* path;
    int status;
    const char* type_start;
  };
  for (Expected e : {Expected{"/", 200, "text/html"}, Expected{"/openseadragon/openseadragon.min.js", 200, "text/javascript"},
                     Expected{"/openseadragon/images/home_rest.png", 200, "image/png"},
                     Expected{"/image.dzi", 200, "application/xml"}, Expected{"/iiif/info.json", 200, "application/ld+json"},
                     Expected{"/image_files/10/9_6.jpg", 200, "image/jpeg"},
                     Expected{"/iiif/0,0,64,64/64,/0/default.jpg", 200, "image/jpeg"},
                     Expected{"/iiif/full/38,/0/default.jpg", 200, "image/jpeg"}, Expected{"/index.htm", 404, "text/plain"},
                     Expected{"/image_files/11/0_0.jpg", 404, "text/plain"}, Expected{"/image_files/x", 400, "text/plain"},
                     Expected{"/iiif/full/max/0/default.jpg", 200, "image/jpeg"},
                     Expected{"/iiif/full/max/0/default.png", 200, "image/png"},
                     Expected{"/iiif/full/max/0/default.gif", 501, "text/plain"}, Expected{"/iiif/", 303, "text/plain"},
                     Expected{"/viewer.js", 200, "text/javascript"}, Expected{"/index.html", 404, "text/plain"},
                     Expected{"/openseadragon/", 404, "text/plain"}, Expected{"/../p.cr", 404, "text/plain"}}) {
    Reply reply = served.get(e.path);
    EXPECT_EQ(reply.status, e.status) << e.path;
    EXPECT_TRUE(reply.content_type.starts_with(e.type_start)) << e.path << ": " << reply.content_type;
    ASSERT_TRUE(reply.body) << e.path;
    EXPECT_FALSE(reply.body->empty()) << e.path;
  }
  std::string page = *served.get("/").body;
  EXPECT_NE(page.find("data-dzi=\"image.dzi\""), std::string::npos) << "the page shows the image, by a relative URL";
  EXPECT_NE(page.find("<title>p.cr (600 × 400)"), std::string::npos) << page;
}

TEST_F(SiteTest, IiifIdIsTheAddressTheClientUsed) {
  Served served(cr, 0);
  EXPECT_NE(served.get("/iiif/info.json", "photos.example:9000").body->find("\"id\":\"http://photos.example:9000/iiif\""),
            std::string::npos);
  for (const char* odd : {"", "evil\",\"x\":\"", "a b", "host/path"})
    EXPECT_NE(served.get("/iiif/info.json", odd).body->find("\"id\":\"http://127.0.0.1:8080/iiif\""), std::string::npos)
        << "Host \"" << odd << "\" is not used";
}

// Whatever coding packed the file: the classic blocks, the efficient ones, a PSNR target.
TEST_F(SiteTest, TilesShowTheRebuiltLevelsWithinJpegError) {
  const std::vector<std::vector<std::string>> codings = {{}, {"-crmode", "efficient"}, {"-crmode", "efficient", "-crpsnr", "36"}};
  for (const auto& coding : codings) {
    std::vector<std::string> args = {"-t", "p.r64", "-crsize", "64"};
    args.insert(args.end(), coding.begin(), coding.end());
    args.insert(args.end(), {"-cr", "p.cr"});
    ASSERT_EQ(run_tool(args).status, 0);
    Served served(cr, 0);
    struct Expected {
      const char* path;
      int level, x, y, w, h, shrink;
    };
    for (Expected e : {Expected{"/image_files/10/0_0.jpg", 0, 0, 0, 64, 64, 1}, Expected{"/image_files/10/9_6.jpg", 0, 576, 384, 24, 16, 1},
                       Expected{"/image_files/9/4_3.jpg", 1, 256, 192, 44, 8, 1}, Expected{"/image_files/5/0_0.jpg", 5, 0, 0, 19, 13, 1},
                       Expected{"/image_files/2/0_0.jpg", 7, 0, 0, 5, 4, 2}, Expected{"/image_files/0/0_0.jpg", 7, 0, 0, 5, 4, 8},
                       Expected{"/iiif/512,0,128,128/44,/0/default.jpg", 1, 256, 0, 44, 64, 1}}) {
      SCOPED_TRACE(std::string(e.path) + (coding.empty() ? "" : " " + coding.back()));
      Image tile = decode(served.get(e.path));
      Image region = rebuilt(e.level, e.x, e.y, e.w, e.h);
      Image expected((e.w + e.shrink - 1) / e.shrink, (e.h + e.shrink - 1) / e.shrink);
      std::vector<unsigned char> four(4 * static_cast<size_t>(expected.w) * expected.h);
      shrink_box(four.data(), region.rgb.data(), e.w, e.h, e.shrink);
      for (size_t i = 0; i < expected.rgb.size(); ++i) expected.rgb[i] = four[i / 3 * 4 + i % 3];
      ASSERT_EQ(std::pair(tile.w, tile.h), std::pair(expected.w, expected.h));
      EXPECT_LT(mean_error(tile, expected), 10.0) << "small tiles of the whole photo lose most to JPEG's halved colour";
    }
  }
}

TEST(ShrinkBox, MeansOfWholeAndEdgeBoxes) {
  // 3 x 2 pixels, grey levels: 0 10 20 / 30 40 51; by 2 -> (0+10+30+40)/4 = 20, (20+51)/2 = 35.5 -> 36.
  const unsigned char grey[] = {0, 10, 20, 30, 40, 51};
  unsigned char rgb[18];
  for (int i = 0; i < 18; ++i) rgb[i] = grey[i / 3];
  unsigned char out[8];
  shrink_box(out, rgb, 3, 2, 2);
  EXPECT_EQ(std::vector<int>(out, out + 8), (std::vector<int>{20, 20, 20, 0, 36, 36, 36, 0}));
  unsigned char one[4];
  shrink_box(one, rgb, 3, 2, 4);
  EXPECT_EQ(one[0], 25) << "(0+10+20+30+40+51)/6 = 25.2";
}

TEST_F(SiteTest, BothProtocolsShareTilesAndTags) {
  Served served(cr);
  Reply dz = served.get("/image_files/9/4_3.jpg");
  Reply iiif = served.get("/iiif/512,384,128,128/44,8/0/default.jpg");
  EXPECT_EQ(*dz.body, *iiif.body);
  EXPECT_EQ(header(dz, "ETag"), header(iiif, "ETag"));
  EXPECT_EQ(header(dz, "Cache-Control"), "public, max-age=86400");
}

TEST_F(SiteTest, CurrentEntityTagGets304WithoutBody) {
  Served served(cr, 0);
  const char* paths[] = {"/image_files/10/1_1.jpg", "/image.dzi", "/iiif/info.json", "/", "/iiif/full/100,/0/gray.png"};
  for (const char* path : paths) {
    Reply first = served.get(path);
    std::string tag = header(first, "ETag");
    ASSERT_FALSE(tag.empty()) << path;
    for (const std::string& held : std::vector<std::string>{tag, "W/" + tag, "\"stale\", " + tag, "*"}) {
      Reply again = served.get(path, "", held);
      EXPECT_EQ(again.status, 304) << path << " with " << held;
      EXPECT_FALSE(again.body) << path;
    }
    EXPECT_EQ(served.get(path, "", "\"stale\"").status, 200) << path;
  }
  EXPECT_NE(header(served.get("/image_files/10/1_1.jpg"), "ETag"), header(served.get("/image_files/10/1_2.jpg"), "ETag"));
}

// Rewritten in place (a new time of change) or replaced by another file: every tag changes, and
// the replies are of the new file.
TEST_F(SiteTest, FileChangedWhileServingChangesEveryTag) {
  Served served(cr, 1 << 20);
  const char* paths[] = {"/image_files/10/1_1.jpg", "/image.dzi", "/iiif/info.json", "/", "/iiif/full/100,/0/gray.png"};
  std::vector<std::string> before;
  for (const char* path : paths) before.push_back(header(served.get(path), "ETag"));
  std::string dzi = *served.get("/image.dzi").body;
  ASSERT_EQ(run_tool({"-pr", sample_path("coffee.ppm"), "q.r64", "-l", "-crsize", "128", "-cr", "q.cr"}).status, 0);
  ASSERT_EQ(std::rename(scratch_path("q.cr").c_str(), cr.c_str()), 0);
  for (size_t i = 0; i < std::size(paths); ++i) {
    Reply now = served.get(paths[i]);
    EXPECT_EQ(now.status, 200) << paths[i];
    EXPECT_NE(header(now, "ETag"), before[i]) << paths[i] << ": a changed file changes the tags";
  }
  EXPECT_NE(*served.get("/image.dzi").body, dzi) << "the new file's rectangles";
  EXPECT_NE(served.get("/image.dzi").body->find("TileSize=\"128\""), std::string::npos);
  std::remove(cr.c_str());
  EXPECT_EQ(served.get("/image.dzi").status, 404) << "a file removed is gone";
}

TEST(TileCacheTest, DropsLeastRecentlyUsedToStayWithinBudget) {
  TileCache cache(300);
  auto tile = [](char c) { return std::make_shared<const std::string>(98, c); };  // 100 bytes with a 2-byte key
  cache.insert("aa", tile('a'));
  cache.insert("bb", tile('b'));
  cache.insert("cc", tile('c'));
  EXPECT_TRUE(cache.find("aa"));  // now the most recent
  cache.insert("dd", tile('d'));
  EXPECT_FALSE(cache.find("bb"));
  EXPECT_TRUE(cache.find("aa") && cache.find("cc") && cache.find("dd"));
  EXPECT_EQ(cache.bytes(), 300u);
  cache.insert("ee", std::make_shared<const std::string>(299, 'e'));
  EXPECT_FALSE(cache.find("ee")) << "larger than the whole budget";
  EXPECT_TRUE(cache.find("dd"));
  cache.insert("ff", std::make_shared<const std::string>(298, 'f'));
  EXPECT_TRUE(cache.find("ff")) << "exactly the whole budget";
  EXPECT_EQ(cache.bytes(), 300u);
  TileCache none(0);
  none.insert("aa", tile('a'));
  EXPECT_FALSE(none.find("aa"));
}

TEST_F(SiteTest, DamagedRectangleFailsItsTileOnly) {
  // Garbles the block of level 0's rectangle in column 1, row 0 (table entry 1).
  std::string bytes = read_file(cr);
  cr_test::Entry e = cr_test::entry(bytes, 1);
  ASSERT_EQ(e.type, 'j');
  for (uint32_t i = 2; i < e.size; ++i) bytes[e.ofs + i] = static_cast<char>(i * 7);
  write_file(cr, bytes);
  Served served(cr);
  for (int round = 0; round < 2; ++round) {
    Reply damaged = served.get("/image_files/10/1_0.jpg");
    EXPECT_EQ(damaged.status, 500);
    ASSERT_TRUE(damaged.body);
    EXPECT_EQ(*damaged.body, "rectangle (64, 0) of level 0 is damaged\n");
    EXPECT_EQ(served.get("/image_files/10/0_0.jpg").status, 200);
    EXPECT_EQ(served.get("/image_files/10/2_0.jpg").status, 200);
    EXPECT_EQ(served.get("/iiif/0,0,200,100/150,/0/default.jpg").status, 500) << "an image over it fails too";
  }
}

TEST_F(SiteTest, OpenRefusesWhatIsNotACrFile) {
  std::string message;
  write_file(scratch_path("photo.ppm"), read_file(sample_path("coffee.ppm")));
  EXPECT_FALSE(Images::open(scratch_path("photo.ppm"), &message));
  EXPECT_EQ(message, "\"" + scratch_path("photo.ppm") + "\" is not a CR file");
  EXPECT_FALSE(Images::open(scratch_path("none.cr"), &message));
  EXPECT_EQ(message, "cannot open the CR file \"" + scratch_path("none.cr") + "\": No such file or directory");
}

}  // namespace
