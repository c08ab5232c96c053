// crserve over loopback as caches, proxies and browsers expect HTTP: ranges never answered with a
// cut body, OPTIONS and CORS preflights, other methods refused with the methods allowed,
// conditional requests by tag and by date, a Date on every reply, and images sent as they are made
// (chunked, or to HTTP/1.0 until the close), cut off rather than ended when a rectangle fails.
#include <gtest/gtest.h>

#include <cstring>

#include "r64/cr/cr_files.hpp"
#include "support/crserve_client.hpp"
#include "support/support.hpp"

using namespace test_support;

namespace {

struct HttpRulesTest : ::testing::Test {
  void SetUp() override { ASSERT_TRUE(make_photo_cr()); }
};

RawReply ask(Socket& socket, const std::string& request, bool head_only = false) {
  if (!socket.send(request)) return {};
  return read_reply(socket, head_only);
}

std::string get_with(std::string_view path, std::string_view headers) {
  return "GET " + std::string(path) + " HTTP/1.1\r\nHost: h\r\n" + std::string(headers) + "\r\n";
}

TEST_F(HttpRulesTest, RangesAreIgnoredAndTheWholeBodySent) {
  CrserveProcess server({});
  ASSERT_GT(server.port(), 0) << server.line();
  Socket socket(server.port());
  for (const char* path : {"/image_files/10/0_0.jpg", "/iiif/full/200,/0/default.png", "/iiif/full/max/0/default.jpg", "/image.dzi"}) {
    RawReply whole = get(socket, path);
    RawReply ranged = ask(socket, get_with(path, "Range: bytes=0-99\r\n"));
    EXPECT_EQ(ranged.status, 200) << path;
    EXPECT_EQ(ranged.body, whole.body) << path;
    EXPECT_GT(ranged.body.size(), 100u) << path;
    EXPECT_EQ(ranged.header("Content-Range"), "") << path;
  }
}

TEST_F(HttpRulesTest, OptionsAnswersPreflightsWithCorsAndTheMethodsWithout) {
  const std::string preflight =
      "OPTIONS /iiif/info.json HTTP/1.1\r\nHost: h\r\nOrigin: http://other.example\r\n"
      "Access-Control-Request-Method: GET\r\nAccess-Control-Request-Headers: range, x-custom\r\n\r\n";
  {
    CrserveProcess server({"-cors"});
    Socket socket(server.port());
    RawReply reply = ask(socket, preflight);
    EXPECT_EQ(reply.status, 204);
    EXPECT_EQ(reply.header("Access-Control-Allow-Origin"), "*");
    EXPECT_EQ(reply.header("Access-Control-Allow-Methods"), "GET, HEAD, OPTIONS");
    EXPECT_EQ(reply.header("Access-Control-Allow-Headers"), "range, x-custom");
    EXPECT_EQ(reply.header("Access-Control-Max-Age"), "86400");
    EXPECT_EQ(reply.body, "");
    EXPECT_EQ(get(socket, "/image.dzi").status, 200) << "the connection goes on";
  }
  CrserveProcess server({});
  Socket socket(server.port());
  RawReply reply = ask(socket, preflight);
  EXPECT_EQ(reply.status, 204);
  EXPECT_EQ(reply.header("Allow"), "GET, HEAD, OPTIONS");
  EXPECT_EQ(reply.header("Access-Control-Allow-Origin"), "");
  EXPECT_EQ(reply.header("Access-Control-Allow-Methods"), "");
  for (const char* method : {"POST", "PUT", "DELETE", "PATCH"}) {
    Socket other(server.port());
    RawReply refused = ask(other, std::string(method) + " /image.dzi HTTP/1.1\r\nHost: h\r\n\r\n");
    EXPECT_EQ(refused.status, 405) << method;
    EXPECT_EQ(refused.header("Allow"), "GET, HEAD, OPTIONS") << method;
  }
}

TEST_F(HttpRulesTest, ConditionalRequestsByTagAndDateAndADateOnEveryReply) {
  CrserveProcess server({});
  Socket socket(server.port());
  RawReply tile = get(socket, "/image_files/10/1_1.jpg");
  std::string tag = tile.header("ETag"), modified = tile.header("Last-Modified");
  ASSERT_FALSE(tag.empty());
  ASSERT_EQ(modified.size(), 29u) << "an HTTP date: " << modified;
  struct Case {
    std::string headers;
    int status;
  };
  for (const Case& c : {Case{"If-None-Match: " + tag + "\r\n", 304}, Case{"If-None-Match: W/" + tag + "\r\n", 304},
                        Case{"If-None-Match: \"a\", " + tag + "\r\n", 304}, Case{"If-None-Match: *\r\n", 304},
                        Case{"If-None-Match: \"a\", \"b\"\r\n", 200}, Case{"If-Modified-Since: " + modified + "\r\n", 304},
                        Case{"If-Modified-Since: Thu, 01 Jan 1970 00:00:00 GMT\r\n", 200},
                        Case{"If-Modified-Since: yesterday\r\n", 200},
                        Case{"If-None-Match: \"a\"\r\nIf-Modified-Since: " + modified + "\r\n", 200}}) {
    RawReply reply = ask(socket, get_with("/image_files/10/1_1.jpg", c.headers));
    EXPECT_EQ(reply.status, c.status) << c.headers;
    EXPECT_FALSE(reply.header("Date").empty()) << c.headers;
    if (c.status == 304) {
      EXPECT_EQ(reply.header("Content-Length"), "") << "a 304 says no length";
      EXPECT_EQ(reply.header("ETag"), tag);
    }
  }
  for (const char* path : {"/", "/nothing", "/image_files/99/0_0.jpg", "/iiif/full/max/45/default.jpg", "/iiif"}) {
    RawReply reply = get(socket, path);
    EXPECT_NE(reply.status, 0) << path;
    EXPECT_FALSE(reply.header("Date").empty()) << path;
  }
  Socket refused(server.port());
  EXPECT_FALSE(ask(refused, "DELETE / HTTP/1.1\r\nHost: h\r\n\r\n").header("Date").empty());
}

// ^max of the photo: 5016 x 3344, megabytes of JPEG made a band at a time.
TEST_F(HttpRulesTest, LargeImagesAreSentAsTheyAreMade) {
  CrserveProcess server({});
  const char* path = "/iiif/full/^max/0/default.jpg";
  Socket socket(server.port(), "127.0.0.1", 30);
  RawReply chunked = get(socket, path);
  ASSERT_EQ(chunked.status, 200);
  EXPECT_EQ(chunked.header("Transfer-Encoding"), "chunked");
  EXPECT_EQ(chunked.header("Content-Length"), "");
  EXPECT_GT(chunked.body.size(), 1u << 20);
  EXPECT_TRUE(chunked.body.starts_with("\xFF\xD8") && chunked.body.ends_with("\xFF\xD9")) << "one whole JPEG stream";
  RawReply head = ask(socket, "HEAD /iiif/full/^max/0/default.jpg HTTP/1.1\r\nHost: h\r\n\r\n", true);
  EXPECT_EQ(head.status, 200);
  EXPECT_EQ(head.header("ETag"), chunked.header("ETag"));
  EXPECT_EQ(get(socket, "/image.dzi").status, 200) << "the connection goes on after both";
  Socket old(server.port(), "127.0.0.1", 30);
  RawReply to_the_close = ask(old, "GET /iiif/full/^max/0/default.jpg HTTP/1.0\r\n\r\n");
  ASSERT_EQ(to_the_close.status, 200);
  EXPECT_EQ(to_the_close.header("Transfer-Encoding"), "");
  EXPECT_EQ(to_the_close.body, chunked.body) << "HTTP/1.0 reads to the close";
}

TEST_F(HttpRulesTest, AnImageWhoseRectangleFailsIsCutOff) {
  // Garbles the block of the last rectangle of level 0 (10 x 7 rectangles of 64): ^max reads
  // level 0, and reaches it last, long after the head has gone.
  std::string cr = read_file(scratch_path("p.cr"));
  cr_test::Entry last = cr_test::entry(cr, 69);
  for (uint32_t i = 0; i < last.size; ++i) cr[last.ofs + i] = static_cast<char>(i * 7 + 1);
  write_file(scratch_path("p.cr"), cr);
  CrserveProcess server({});
  Socket socket(server.port(), "127.0.0.1", 30);
  RawReply cut = get(socket, "/iiif/full/^max/0/default.jpg");
  EXPECT_EQ(cut.status, 0) << "no last chunk: the body is known to be cut";
  EXPECT_NE(cut.head.find("200 OK"), std::string::npos);
  EXPECT_TRUE(socket.closed_within(5));
  Socket again(server.port());
  EXPECT_EQ(get(again, "/iiif/full/200,/0/default.jpg").status, 200) << "the server goes on";
}

}  // namespace
