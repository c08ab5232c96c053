// What a Range header asks of a file, whether an If-Range lets it be answered, and the
// Content-Range written back, without a server: every form of range, the edges of the file, and
// the headers answered with the whole file instead.
#include <gtest/gtest.h>

#include <string>

#include "crserve/byte_ranges.hpp"
#include "crserve/http_messages.hpp"

using namespace crserve;

namespace {

constexpr uint64_t kSize = 1000;

// A plan as "first+length", "416" or "whole", to compare in one line.
std::string shown(const RangePlan& p) {
  if (p.answer == RangePlan::Answer::kWhole) return "whole";
  if (p.answer == RangePlan::Answer::kUnsatisfiable) return "416";
  return std::to_string(p.first) + "+" + std::to_string(p.length);
}

TEST(PlanRange, EachFormOfOneRangeIsItsPartClippedToTheFile) {
  struct Case {
    const char* range;
    const char* plan;
  };
  for (const Case& c : {Case{"bytes=0-99", "0+100"}, Case{"bytes=0-0", "0+1"}, Case{"bytes=999-999", "999+1"},
                        Case{"bytes=500-", "500+500"}, Case{"bytes=0-", "0+1000"}, Case{"bytes=900-5000", "900+100"},
                        Case{"bytes=-1", "999+1"}, Case{"bytes=-100", "900+100"}, Case{"bytes=-1000", "0+1000"},
                        Case{"bytes=-5000", "0+1000"}, Case{"bytes=10-99999999999999999999999", "10+990"},
                        Case{"Bytes=0-9", "0+10"}, Case{"BYTES=0-9", "0+10"}, Case{" bytes=0-9 ", "0+10"},
                        Case{"bytes= 0-9", "0+10"}, Case{"bytes=0-9,", "0+10"}, Case{"bytes=,, 0-9 ,", "0+10"}})
    EXPECT_EQ(shown(plan_range(c.range, kSize)), c.plan) << c.range;
}

TEST(PlanRange, NothingOfTheFileIs416) {
  for (const char* range : {"bytes=1000-", "bytes=1000-1000", "bytes=5000-6000", "bytes=-0", "bytes=99999999999999999999999-"})
    EXPECT_EQ(shown(plan_range(range, kSize)), "416") << range;
}

// Malformed headers are ignored, as HTTP asks; several ranges are answered with the whole file
// rather than a multipart body, which HTTP allows.
TEST(PlanRange, MalformedOtherUnitsAndSeveralRangesAreTheWholeFile) {
  for (const char* range : {"", "bytes", "bytes=", "bytes=,", "bytes=abc", "bytes=5", "bytes=9-5", "bytes=-", "bytes=--5",
                            "bytes=1-2-3", "bytes=0x10-20", "bytes=+1-2", "bytes=-+5", "bytes =0-9", "items=0-9", "bytes:0-9",
                            "bytes=0-9,20-29", "bytes=0-9, -5", "bytes=0-9,abc", "bytes=5000-,0-9"})
    EXPECT_EQ(shown(plan_range(range, kSize)), "whole") << range;
  EXPECT_EQ(shown(plan_range("bytes=0-9", 0)), "whole") << "an empty file has no range to give";
}

TEST(PlanRange, LooksAtABoundedNumberOfElements) {
  std::string commas(kMaxRangeElements, ',');
  EXPECT_EQ(shown(plan_range("bytes=" + commas.substr(1) + "0-9", kSize)), "0+10");
  EXPECT_EQ(shown(plan_range("bytes=" + commas + "0-9", kSize)), "whole");
  EXPECT_EQ(shown(plan_range("bytes=" + std::string(16000, ',') + "0-9", kSize)), "whole");
}

TEST(IfRange, HoldsForTheStrongTagOrExactlyTheTimeOfChange) {
  const std::string tag = "\"0123456789abcdef\"";
  const time_t modified = 784111777;
  EXPECT_TRUE(if_range_holds(tag, tag, modified));
  EXPECT_TRUE(if_range_holds(" " + tag + " ", tag, modified));
  EXPECT_TRUE(if_range_holds("Sun, 06 Nov 1994 08:49:37 GMT", tag, modified));
  for (const std::string& stale : {std::string("\"0123456789abcdee\""), "W/" + tag, std::string("*"), std::string("\"\""),
                                   std::string("Sun, 06 Nov 1994 08:49:38 GMT"), std::string("Sun, 06 Nov 1994 08:49:36 GMT"),
                                   std::string("yesterday"), tag + ", \"x\""})
    EXPECT_FALSE(if_range_holds(stale, tag, modified)) << stale;
  EXPECT_FALSE(if_range_holds("Thu, 01 Jan 1970 00:00:00 GMT", tag, 0)) << "no time of change known";
}

TEST(ContentRange, OfAPartAndOfARefusal) {
  EXPECT_EQ(content_range(plan_range("bytes=0-99", kSize), kSize), "bytes 0-99/1000");
  EXPECT_EQ(content_range(plan_range("bytes=-1", kSize), kSize), "bytes 999-999/1000");
  EXPECT_EQ(content_range(plan_range("bytes=4294967296-", 4294967306), 4294967306), "bytes 4294967296-4294967305/4294967306");
  EXPECT_EQ(unsatisfied_range(kSize), "bytes */1000");
}

// A file's bytes are sent with their length, a part at a time: never chunked, to HTTP/1.0 too;
// they alone say ranges are answered, and with CORS let other origins read how.
TEST(ReplyHead, FileBytesHaveTheirLengthAndSayRangesAreAnswered) {
  struct Rest : BodyStream {
    Step next(std::string*, std::string*) override { return Step::kDone; }
  };
  Reply reply;
  reply.status = kPartialContent;
  reply.content_type = "application/octet-stream";
  reply.rest = std::make_shared<Rest>();
  reply.length = 4294967296;
  reply.byte_ranges = true;
  for (bool http10 : {false, true}) {
    std::string head = reply_head(reply, Framing{true, http10, true, "d"});
    EXPECT_EQ(head.substr(0, head.find("\r\n")), "HTTP/1.1 206 Partial Content");
    EXPECT_NE(head.find("\r\nContent-Length: 4294967296\r\n"), std::string::npos) << head;
    EXPECT_EQ(head.find("Transfer-Encoding"), std::string::npos) << head;
    EXPECT_NE(head.find("\r\nAccept-Ranges: bytes\r\n"), std::string::npos) << head;
    EXPECT_NE(head.find("\r\nAccess-Control-Expose-Headers: Content-Range, Content-Length, Accept-Ranges, ETag\r\n"),
              std::string::npos) << head;
  }
  EXPECT_EQ(reply_head(reply, Framing{true, false, false, "d"}).find("Access-Control-Expose-Headers"), std::string::npos);
  reply.byte_ranges = false;
  reply.status = kRangeNotSatisfiable;
  std::string other = reply_head(reply, Framing{true, false, true, "d"});
  EXPECT_EQ(other.substr(0, other.find("\r\n")), "HTTP/1.1 416 Range Not Satisfiable");
  EXPECT_EQ(other.find("Accept-Ranges"), std::string::npos);
  EXPECT_EQ(other.find("Access-Control-Expose-Headers"), std::string::npos);
}

}  // namespace
