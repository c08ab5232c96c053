// What the HTTP engine takes from a request target, and the head it writes before a reply's body,
// without sockets.
#include <gtest/gtest.h>

#include "crserve/http_messages.hpp"

using namespace crserve;

namespace {

TEST(PathOfTarget, DropsQueryAndFragmentAndDecodesEscapes) {
  struct Case {
    const char* target;
    const char* path;
  };
  for (const Case& c : {Case{"/image.dzi", "/image.dzi"}, Case{"/image.dzi?x=1", "/image.dzi"},
                        Case{"/image.dzi#top", "/image.dzi"}, Case{"/?/image.dzi", "/"},
                        Case{"/%69mage%2Edzi", "/image.dzi"}, Case{"/iiif/0%2C0%2C64%2C64/64,/0/default.jpg", "/iiif/0,0,64,64/64,/0/default.jpg"},
                        Case{"/image.dzi%3Fx", "/image.dzi?x"}, Case{"/a%2", "/a%2"}, Case{"/a%zz", "/a%zz"},
                        Case{"/a%", "/a%"}, Case{"/a+b", "/a+b"}, Case{"http://h/image.dzi", "http://h/image.dzi"}})
    EXPECT_EQ(path_of_target(c.target), c.path) << c.target;
  EXPECT_EQ(path_of_target("/a%00b"), std::string("/a\0b", 4));
}

TEST(ReplyHead, SaysHowTheConnectionGoesOnAndKeepsTheHeadersInNameOrder) {
  Reply reply;
  reply.status = 200;
  reply.content_type = "image/jpeg";
  reply.body = std::make_shared<const std::string>("12345");
  reply.headers = {{"ETag", "\"t\""}, {"Cache-Control", "public, max-age=86400"}};
  EXPECT_EQ(reply_head(reply, Framing{true, false, true}),
            "HTTP/1.1 200 OK\r\nAccess-Control-Allow-Origin: *\r\nCache-Control: public, max-age=86400\r\n"
            "Content-Length: 5\r\nContent-Type: image/jpeg\r\nETag: \"t\"\r\nKeep-Alive: timeout=15, max=1000\r\n\r\n");
  reply.status = 304;
  reply.body = nullptr;
  EXPECT_EQ(reply_head(reply, Framing{false, false, false}),
            "HTTP/1.1 304 Not Modified\r\nCache-Control: public, max-age=86400\r\nConnection: close\r\n"
            "Content-Length: 0\r\nETag: \"t\"\r\n\r\n");
  EXPECT_NE(reply_head(reply, Framing{true, true, false}).find("\r\nConnection: keep-alive\r\n"), std::string::npos)
      << "HTTP/1.0 is told the connection stays";
}

}  // namespace
