// crserve on a folder over loopback: the list of its images with thumbnails that are served, each
// image's viewer, Deep Zoom and IIIF by its percent-encoded name (or the name a proxy decoded),
// names that try to leave the folder, the public URL behind proxies, and memory under concurrent
// large images.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <regex>
#include <thread>

#include "support/crserve_client.hpp"
#include "support/support.hpp"

using namespace test_support;

namespace {

struct FolderTest : ::testing::Test {
  // lib/coffee.cr and lib/maps/19 01.cr, and secret.cr beside the folder.
  void SetUp() override {
    ASSERT_TRUE(make_photo_cr());
    root = scratch_path("lib");
    std::filesystem::create_directories(root + "/maps");
    std::filesystem::copy_file(scratch_path("p.cr"), root + "/coffee.cr");
    std::filesystem::copy_file(scratch_path("p.cr"), root + "/maps/19 01.cr");
    std::filesystem::copy_file(scratch_path("p.cr"), scratch_path("secret.cr"));
  }
  std::string root;
};

RawReply ask(Socket& socket, const std::string& request) {
  if (!socket.send(request)) return {};
  return read_reply(socket);
}

TEST_F(FolderTest, ListsItsImagesAndServesEachByItsName) {
  CrserveProcess server({}, root);
  ASSERT_GT(server.port(), 0) << server.line();
  EXPECT_EQ(server.line(), "serving " + root + " on http://127.0.0.1:" + std::to_string(server.port()) + "/");
  Socket socket(server.port());
  RawReply list = get(socket, "/");
  ASSERT_EQ(list.status, 200);
  EXPECT_EQ(list.header("Content-Type"), "text/html; charset=utf-8");
  EXPECT_NE(list.body.find("<a href=\"view/maps%2F19%2001\">maps/19 01</a>"), std::string::npos) << list.body;
  EXPECT_NE(list.body.find("600 × 400"), std::string::npos);
  std::smatch thumb;
  std::regex thumbs("src=\"(iiif/[^\"]+)\"");
  int thumbnails = 0;
  for (auto it = std::sregex_iterator(list.body.begin(), list.body.end(), thumbs); it != std::sregex_iterator(); ++it) {
    RawReply image = get(socket, std::string("/").append((*it)[1].str()));
    EXPECT_EQ(image.status, 200) << (*it)[1];
    EXPECT_EQ(image.header("Content-Type"), "image/jpeg");
    ++thumbnails;
  }
  EXPECT_EQ(thumbnails, 2);
  EXPECT_EQ(list.body.find("href=\"/"), std::string::npos) << "relative URLs only";
  RawReply page = get(socket, "/view/maps%2F19%2001");
  ASSERT_EQ(page.status, 200);
  EXPECT_NE(page.body.find("data-dzi=\"../dzi/maps%2F19%2001.dzi\""), std::string::npos) << page.body;
  EXPECT_NE(page.body.find("src=\"../openseadragon/openseadragon.min.js\""), std::string::npos);
  EXPECT_NE(page.body.find("<title>maps/19 01 (600 × 400)"), std::string::npos);
  for (const char* path : {"/dzi/maps%2F19%2001.dzi", "/dzi/maps%2F19%2001_files/10/9_6.jpg", "/dzi/maps/19%2001_files/10/9_6.jpg",
                           "/iiif/maps%2F19%2001/info.json", "/iiif/maps%2F19%2001/full/max/0/default.jpg",
                           "/iiif/maps/19%2001/0,0,64,64/64,/0/default.jpg", "/dzi/coffee.dzi", "/openseadragon/openseadragon.min.js",
                           "/viewer.js"})
    EXPECT_EQ(get(socket, path).status, 200) << path;
  RawReply info = get(socket, "/iiif/maps%2F19%2001/info.json");
  EXPECT_NE(info.body.find("\"id\":\"http://localhost/iiif/maps%2F19%2001\""), std::string::npos) << info.body;
  RawReply base = get(socket, "/iiif/maps%2F19%2001");
  EXPECT_EQ(base.status, 303);
  EXPECT_EQ(base.header("Location"), "http://localhost/iiif/maps%2F19%2001/info.json");
  EXPECT_EQ(get(socket, "/image.dzi").status, 404) << "the single file's paths are not a folder's";
}

TEST_F(FolderTest, NamesThatLeaveTheFolderAre404) {
  std::filesystem::create_symlink("../secret.cr", root + "/out.cr");
  CrserveProcess server({}, root);
  Socket socket(server.port());
  for (const char* path : {"/dzi/..%2Fsecret.dzi", "/dzi/%2E%2E%2Fsecret.dzi", "/iiif/..%2Fsecret/info.json",
                           "/iiif/%2Ftmp%2Fsecret/info.json", "/view/..%2Fsecret", "/dzi/out.dzi", "/iiif/out/info.json",
                           "/dzi/maps%2F..%2F..%2Fsecret_files/10/0_0.jpg", "/dzi/nothing.dzi", "/view/", "/dzi/.dzi"})
    EXPECT_EQ(get(socket, path).status, 404) << path;
}

// The public URL in info.json's id and in redirects.
TEST_F(FolderTest, ProxiesNameThePublicUrlOnlyWhenTrusted) {
  const std::string proxied =
      "X-Forwarded-Proto: https\r\nX-Forwarded-Host: images.example.org\r\nX-Forwarded-Prefix: /collections/\r\n";
  auto info_id = [&](int port, const std::string& headers, const char* from = "127.0.0.1") {
    Socket socket(port, from);
    RawReply info = ask(socket, "GET /iiif/coffee/info.json HTTP/1.1\r\nHost: inner:8080\r\n" + headers + "\r\n");
    std::smatch id;
    return std::regex_search(info.body, id, std::regex("\"id\":\"([^\"]*)\"")) ? id[1].str() : "";
  };
  {
    CrserveProcess plain({}, root);
    EXPECT_EQ(info_id(plain.port(), proxied), "http://inner:8080/iiif/coffee") << "untrusted headers are ignored";
  }
  {
    CrserveProcess trusting({"-trust-proxy"}, root);
    EXPECT_EQ(info_id(trusting.port(), proxied), "https://images.example.org/collections/iiif/coffee");
    EXPECT_EQ(info_id(trusting.port(), "Forwarded: for=1.2.3.4;proto=https;host=a.example\r\n" + proxied),
              "https://a.example/collections/iiif/coffee")
        << "Forwarded names no prefix: X-Forwarded-Prefix still does";
    Socket socket(trusting.port());
    RawReply base = ask(socket, "GET /iiif/coffee HTTP/1.1\r\nHost: inner\r\n" + proxied + "\r\n");
    EXPECT_EQ(base.header("Location"), "https://images.example.org/collections/iiif/coffee/info.json");
  }
  {
    CrserveProcess fixed({"-base-url", "https://museum.example/images/", "-trust-proxy"}, root);
    EXPECT_EQ(info_id(fixed.port(), proxied), "https://museum.example/images/iiif/coffee");
  }
  // HTTP/1.0 without a Host to a server on every address: the address the connection arrived at
  // (127.0.0.1, where the socket helper connects), not 0.0.0.0.
  CrserveProcess wildcard({"-bind", "0.0.0.0"}, root);
  Socket old(wildcard.port());
  RawReply info = ask(old, "GET /iiif/coffee/info.json HTTP/1.0\r\n\r\n");
  EXPECT_NE(info.body.find("\"id\":\"http://127.0.0.1:" + std::to_string(wildcard.port()) + "/iiif/coffee\""),
            std::string::npos)
      << info.body;
}

// Sixteen clients each take the whole image at the largest size the limits allow, at once: the
// server holds a band of each, not the images.
TEST_F(FolderTest, ConcurrentLargeImagesKeepTheServerWithinItsBands) {
  write_photo_ppm("big.ppm", 2048, 2048);
  ASSERT_EQ(run_tool({"-pr", "big.ppm", "big.r64", "-l", "-cr", "lib/big.cr"}).status, 0);
  CrserveProcess server({"-cache", "0", "-rects", "8", "-threads", "2", "-max-area", "4194304"}, root);
  std::atomic<int> whole{0};
  std::vector<std::thread> clients;
  for (int c = 0; c < 16; ++c)
    clients.emplace_back([&] {
      Socket socket(server.port(), "127.0.0.1", 60);
      RawReply image = get(socket, "/iiif/big/full/max/0/default.jpg");
      whole += image.status == 200 && image.body.size() > 100000 && image.body.ends_with("\xFF\xD9");
    });
  for (std::thread& t : clients) t.join();
  EXPECT_EQ(whole, 16);
  long peak = process_status(server.pid(), "VmHWM");
  std::printf("16 images of 2048 x 2048 at once: server peak %ld KiB\n", peak);
  if (kPeakIsTheTools) {
    EXPECT_LT(peak, 64L << 10);
  }
}

}  // namespace
