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
  const std::string date = "Sun, 06 Nov 1994 08:49:37 GMT";
  EXPECT_EQ(reply_head(reply, Framing{true, false, true, date}),
            "HTTP/1.1 200 OK\r\nAccess-Control-Allow-Origin: *\r\nCache-Control: public, max-age=86400\r\n"
            "Content-Length: 5\r\nContent-Type: image/jpeg\r\nDate: " + date + "\r\nETag: \"t\"\r\n"
            "Keep-Alive: timeout=15, max=1000\r\n\r\n");
  EXPECT_NE(reply_head(reply, Framing{true, true, false, date}).find("\r\nConnection: keep-alive\r\n"), std::string::npos)
      << "HTTP/1.0 is told the connection stays";
  reply.status = 304;
  reply.body = nullptr;
  EXPECT_EQ(reply_head(reply, Framing{false, false, false, date}),
            "HTTP/1.1 304 Not Modified\r\nCache-Control: public, max-age=86400\r\nConnection: close\r\n"
            "Date: " + date + "\r\nETag: \"t\"\r\n\r\n")
      << "a 304 says no length: it is not the length of the body it stands for";
}

// A body whose length is not known when its head is written: chunked, or for HTTP/1.0 until the
// connection closes.
TEST(ReplyHead, BodyOfUnknownLengthIsChunkedOrRunsToTheClose) {
  struct Rest : BodyStream {
    Step next(std::string*, std::string*) override { return Step::kDone; }
  };
  Reply reply;
  reply.status = 200;
  reply.content_type = "image/jpeg";
  reply.body = std::make_shared<const std::string>("first part");
  reply.rest = std::make_shared<Rest>();
  std::string head = reply_head(reply, Framing{true, false, false, "d"});
  EXPECT_NE(head.find("\r\nTransfer-Encoding: chunked\r\n"), std::string::npos);
  EXPECT_EQ(head.find("Content-Length"), std::string::npos);
  std::string old = reply_head(reply, Framing{false, true, false, "d"});
  EXPECT_EQ(old.find("Transfer-Encoding"), std::string::npos);
  EXPECT_EQ(old.find("Content-Length"), std::string::npos);
  EXPECT_NE(old.find("\r\nConnection: close\r\n"), std::string::npos);
  EXPECT_EQ(chunk("hello"), "5\r\nhello\r\n");
  EXPECT_EQ(chunk(std::string(26, 'x')).substr(0, 4), "1a\r\n");
  EXPECT_EQ(chunk(""), "0\r\n\r\n");
}

TEST(HttpDates, WrittenAndReadBack) {
  EXPECT_EQ(http_date(784111777), "Sun, 06 Nov 1994 08:49:37 GMT");
  EXPECT_EQ(http_date(0), "Thu, 01 Jan 1970 00:00:00 GMT");
  EXPECT_EQ(parse_http_date("Sun, 06 Nov 1994 08:49:37 GMT"), 784111777);
  EXPECT_EQ(parse_http_date(http_date(1800000000)), 1800000000);
  for (const char* bad : {"", "Sunday, 06-Nov-94 08:49:37 GMT", "Sun Nov  6 08:49:37 1994", "Sun, 06 Nov 1994 08:49:37 UTC",
                          "Sun, 06 Xyz 1994 08:49:37 GMT", "Sun, 0x Nov 1994 08:49:37 GMT", "Sun, 06 Nov 1994 08-49-37 GMT"})
    EXPECT_EQ(parse_http_date(bad), -1) << bad;
}

TEST(EntityTags, WeakComparisonOverListsAndTheWildcard) {
  const char* tag = "\"abc\"";
  for (const char* held : {"\"abc\"", "W/\"abc\"", "\"x\", \"abc\"", "\"x\",W/\"abc\" ", "*", " * "})
    EXPECT_TRUE(matches_tag(held, tag)) << held;
  for (const char* held : {"", "\"ab\"", "abc", "\"abc", "\"x\", \"y\"", "W/\"abcd\"", ","})
    EXPECT_FALSE(matches_tag(held, tag)) << held;
  EXPECT_TRUE(matches_tag("\"abc\"", "W/\"abc\"")) << "weak on either side";
}

TEST(Options, PreflightWithCorsAndTheMethodsWithout) {
  auto field = [](const Reply& r, const std::string& name) {
    for (const auto& [n, v] : r.headers)
      if (n == name) return v;
    return std::string("(none)");
  };
  Reply preflight = options_reply(true, "content-type, x-requested-with");
  EXPECT_EQ(preflight.status, 204);
  EXPECT_EQ(field(preflight, "Access-Control-Allow-Methods"), "GET, HEAD, OPTIONS");
  EXPECT_EQ(field(preflight, "Access-Control-Allow-Headers"), "content-type, x-requested-with");
  EXPECT_EQ(field(preflight, "Access-Control-Max-Age"), "86400");
  EXPECT_EQ(field(options_reply(true, "a\r\nb: c"), "Access-Control-Allow-Headers"), "(none)") << "only names are echoed";
  Reply plain = options_reply(false, "content-type");
  EXPECT_EQ(plain.status, 204);
  EXPECT_EQ(field(plain, "Allow"), "GET, HEAD, OPTIONS");
  EXPECT_EQ(field(plain, "Access-Control-Allow-Methods"), "(none)");
  EXPECT_EQ(reply_head(plain, Framing{true, false, false, "d"}).find("Content-Length"), std::string::npos);
  EXPECT_EQ(field(http_refusal(405), "Allow"), "GET, HEAD, OPTIONS");
  EXPECT_EQ(refusal_status(RequestHead{"OPTIONS", 11, 3, false}), 0);
  for (const char* method : {"POST", "PUT", "DELETE", "PATCH", "TRACE", "CONNECT", "get"})
    EXPECT_EQ(refusal_status(RequestHead{method, 11, 3, false}), 405) << method;
}

TEST(QueryOfTarget, WhatFollowsTheFirstQuestionMark) {
  EXPECT_EQ(query_of_target("/?page=2"), "page=2");
  EXPECT_EQ(query_of_target("/?page=2#top"), "page=2");
  EXPECT_EQ(query_of_target("/a?b?c"), "b?c");
  EXPECT_EQ(query_of_target("/a#b?c"), "");
  EXPECT_EQ(query_of_target("/"), "");
}

}  // namespace
