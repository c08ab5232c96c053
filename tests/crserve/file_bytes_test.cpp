// crserve over loopback serving CR files' own bytes, for readers that fetch them by ranges: the
// whole file and every form of range byte for byte, 416, HEAD, conditional requests by tag and by
// If-Range, CORS, folder names (and those that try to leave the folder), a file cut short or
// changed while being sent, and a large file sent in bounded memory.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <regex>
#include <thread>

#include "crserve/http_messages.hpp"
#include "support/crserve_client.hpp"
#include "support/support.hpp"

using namespace test_support;

namespace {

// Bytes added after the CR file's blocks: the file is then several of the parts it is sent in,
// and not a whole number of them.
constexpr size_t kTail = 300000;

struct FileBytesTest : ::testing::Test {
  // big.cr: p.cr with random bytes after it.
  void SetUp() override {
    ASSERT_TRUE(make_photo_cr());
    std::mt19937 random(7);
    std::string tail(kTail, '\0');
    for (char& c : tail) c = static_cast<char>(random());
    bytes = read_file(scratch_path("p.cr")) + tail;
    path = scratch_path("big.cr");
    write_file(path, bytes);
  }
  std::string path, bytes;
};

RawReply ask(Socket& socket, std::string_view method, std::string_view path, std::string_view headers = "",
             std::string_view version = "HTTP/1.1") {
  std::string request = std::string(method) + " " + std::string(path) + " " + std::string(version) + "\r\nHost: h\r\n" +
                        std::string(headers) + "\r\n";
  if (!socket.send(request)) return {};
  return read_reply(socket, method == "HEAD");
}

RawReply ranged(Socket& socket, std::string_view range, std::string_view path = "/image.cr") {
  return ask(socket, "GET", path, "Range: " + std::string(range) + "\r\n");
}

std::string last_modified_of(const std::string& path) {
  struct stat st;
  stat(path.c_str(), &st);
  return crserve::http_date(st.st_mtim.tv_sec);
}

TEST_F(FileBytesTest, WholeFileIsItsBytesOnKeptAliveConnectionsAndToHttp10) {
  CrserveProcess server({}, path);
  ASSERT_GT(server.port(), 0) << server.line();
  Socket socket(server.port());
  for (int again = 0; again < 2; ++again) {
    RawReply whole = ask(socket, "GET", "/image.cr");
    ASSERT_EQ(whole.status, 200);
    EXPECT_TRUE(whole.body == bytes) << "the file's bytes exactly";
    EXPECT_EQ(whole.header("Content-Length"), std::to_string(bytes.size()));
    EXPECT_EQ(whole.header("Transfer-Encoding"), "");
    EXPECT_EQ(whole.header("Accept-Ranges"), "bytes");
    EXPECT_EQ(whole.header("Content-Type"), "application/octet-stream");
    EXPECT_EQ(whole.header("Cache-Control"), "no-cache");
    EXPECT_EQ(whole.header("Last-Modified"), last_modified_of(path));
    EXPECT_EQ(whole.header("ETag").size(), 18u) << whole.head;
    EXPECT_EQ(whole.header("Content-Range"), "");
  }
  Socket old(server.port());
  RawReply http10 = ask(old, "GET", "/image.cr", "Connection: keep-alive\r\n", "HTTP/1.0");
  EXPECT_TRUE(http10.status == 200 && http10.body == bytes);
  EXPECT_EQ(http10.header("Content-Length"), std::to_string(bytes.size()));
  EXPECT_EQ(ask(old, "GET", "/image.dzi", "Connection: keep-alive\r\n", "HTTP/1.0").status, 200)
      << "with its length known, the connection stays";
}

TEST_F(FileBytesTest, EachFormOfRangeIsItsPartOfTheFile) {
  CrserveProcess server({}, path);
  Socket socket(server.port());
  const size_t size = bytes.size();
  struct Case {
    std::string range;
    size_t first, length;
  };
  for (const Case& c : {Case{"bytes=0-99", 0, 100}, Case{"bytes=65530-65545", 65530, 16}, Case{"bytes=100000-", 100000, size - 100000},
                        Case{"bytes=-100", size - 100, 100}, Case{"bytes=-" + std::to_string(size + 10), 0, size},
                        Case{"bytes=10-" + std::to_string(size + 1000), 10, size - 10}, Case{"bytes=0-" + std::to_string(size - 1), 0, size},
                        Case{"bytes=" + std::to_string(size - 1) + "-", size - 1, 1}}) {
    RawReply part = ranged(socket, c.range);
    ASSERT_EQ(part.status, 206) << c.range;
    EXPECT_EQ(part.header("Content-Range"),
              "bytes " + std::to_string(c.first) + "-" + std::to_string(c.first + c.length - 1) + "/" + std::to_string(size))
        << c.range;
    EXPECT_EQ(part.header("Content-Length"), std::to_string(c.length)) << c.range;
    EXPECT_EQ(part.header("Accept-Ranges"), "bytes") << c.range;
    EXPECT_TRUE(part.body == bytes.substr(c.first, c.length)) << c.range;
  }
  for (const std::string& range : {"bytes=" + std::to_string(size) + "-", "bytes=" + std::to_string(size + 5) + "-" + std::to_string(size + 9),
                                   std::string("bytes=-0")}) {
    RawReply refused = ranged(socket, range);
    EXPECT_EQ(refused.status, 416) << range;
    EXPECT_EQ(refused.header("Content-Range"), "bytes */" + std::to_string(size)) << range;
  }
  for (const char* range : {"bytes=0-9,20-29", "bytes=9-5", "bytes=abc", "pages=1-2"}) {
    RawReply whole = ranged(socket, range);
    EXPECT_EQ(whole.status, 200) << range;
    EXPECT_TRUE(whole.body == bytes) << range;
    EXPECT_EQ(whole.header("Content-Range"), "") << range;
  }
}

// HEAD asks for the head GET would have, and ranges are defined of GET alone.
TEST_F(FileBytesTest, HeadIsTheHeadOfTheWholeFileWithoutItsBody) {
  CrserveProcess server({}, path);
  Socket socket(server.port());
  RawReply whole = ask(socket, "GET", "/image.cr");
  for (const char* headers : {"", "Range: bytes=0-99\r\n"}) {
    RawReply head = ask(socket, "HEAD", "/image.cr", headers);
    EXPECT_EQ(head.status, 200) << headers;
    EXPECT_EQ(head.body, "");
    EXPECT_EQ(head.header("Content-Length"), std::to_string(bytes.size()));
    EXPECT_EQ(head.header("ETag"), whole.header("ETag"));
    EXPECT_EQ(head.header("Accept-Ranges"), "bytes");
  }
  EXPECT_EQ(ranged(socket, "bytes=0-3").body, bytes.substr(0, 4)) << "no body was left on the connection";
}

TEST_F(FileBytesTest, ConditionalRequestsByTagAndIfRange) {
  CrserveProcess server({}, path);
  Socket socket(server.port());
  std::string tag = ask(socket, "GET", "/image.cr").header("ETag");
  ASSERT_FALSE(tag.empty());
  RawReply held = ask(socket, "GET", "/image.cr", "If-None-Match: " + tag + "\r\nRange: bytes=0-9\r\n");
  EXPECT_EQ(held.status, 304);
  EXPECT_EQ(held.body, "");
  EXPECT_EQ(held.header("ETag"), tag);
  EXPECT_EQ(ask(socket, "GET", "/image.cr", "If-None-Match: \"other\"\r\n").status, 200);
  RawReply fresh = ask(socket, "GET", "/image.cr", "If-Range: " + tag + "\r\nRange: bytes=10-19\r\n");
  EXPECT_EQ(fresh.status, 206);
  EXPECT_EQ(fresh.body, bytes.substr(10, 10));
  RawReply by_date = ask(socket, "GET", "/image.cr", "If-Range: " + last_modified_of(path) + "\r\nRange: bytes=10-19\r\n");
  EXPECT_EQ(by_date.status, 206);
  for (const std::string& stale : {std::string("\"0000000000000000\""), "W/" + tag, std::string("Thu, 01 Jan 1970 00:00:01 GMT")}) {
    RawReply whole = ask(socket, "GET", "/image.cr", "If-Range: " + stale + "\r\nRange: bytes=10-19\r\n");
    EXPECT_EQ(whole.status, 200) << stale;
    EXPECT_TRUE(whole.body == bytes) << stale;
  }
  // Another version of the file has another tag: a reader holding ranges of the old one gets the
  // whole new one rather than a part of it.
  bytes[bytes.size() - 1] ^= 1;
  write_file(path, bytes);
  timespec later[2] = {{0, UTIME_OMIT}, {1800000000, 0}};
  utimensat(AT_FDCWD, path.c_str(), later, 0);
  RawReply changed = ask(socket, "GET", "/image.cr", "If-Range: " + tag + "\r\nRange: bytes=10-19\r\n");
  EXPECT_EQ(changed.status, 200);
  EXPECT_NE(changed.header("ETag"), tag);
  EXPECT_TRUE(changed.body == bytes);
  EXPECT_EQ(ask(socket, "GET", "/image.cr", "If-None-Match: " + tag + "\r\n").status, 200);
}

TEST_F(FileBytesTest, CorsLetsOtherOriginsReadRangesAndPreflightsAllowRange) {
  {
    CrserveProcess server({"-cors"}, path);
    Socket socket(server.port());
    RawReply part = ranged(socket, "bytes=0-9");
    EXPECT_EQ(part.header("Access-Control-Allow-Origin"), "*");
    EXPECT_EQ(part.header("Access-Control-Expose-Headers"), "Content-Range, Content-Length, Accept-Ranges, ETag");
    RawReply preflight = ask(socket, "OPTIONS", "/image.cr",
                             "Origin: http://other.example\r\nAccess-Control-Request-Method: GET\r\n"
                             "Access-Control-Request-Headers: range\r\n");
    EXPECT_EQ(preflight.status, 204);
    EXPECT_EQ(preflight.header("Access-Control-Allow-Origin"), "*");
    EXPECT_EQ(preflight.header("Access-Control-Allow-Headers"), "range");
    EXPECT_NE(preflight.header("Access-Control-Allow-Methods").find("GET"), std::string::npos);
    EXPECT_EQ(ask(socket, "GET", "/image.dzi").header("Access-Control-Expose-Headers"), "");
  }
  CrserveProcess server({}, path);
  Socket socket(server.port());
  EXPECT_EQ(ranged(socket, "bytes=0-9").header("Access-Control-Expose-Headers"), "");
  for (const char* other : {"/", "/image.dzi", "/image_files/10/0_0.jpg", "/iiif/info.json", "/static.html", "/nothing"})
    EXPECT_EQ(get(socket, other).header("Accept-Ranges"), "") << other << " answers no range";
}

TEST_F(FileBytesTest, FolderServesTheFileOfEachNameItListsAndNoOther) {
  std::string root = scratch_path("lib");
  std::filesystem::create_directories(root + "/maps");
  write_file(root + "/maps/19 01.cr", bytes);
  std::filesystem::copy_file(scratch_path("p.cr"), root + "/coffee.cr");
  write_file(root + "/junk.cr", "not a CR file");
  write_file(root + "/maps/plain", bytes);
  CrserveProcess server({}, root);
  ASSERT_GT(server.port(), 0) << server.line();
  Socket socket(server.port());
  for (const char* name : {"/files/maps%2F19%2001.cr", "/files/maps/19%2001.cr"}) {
    RawReply file = get(socket, name);
    EXPECT_EQ(file.status, 200) << name;
    EXPECT_TRUE(file.body == bytes) << name;
    EXPECT_EQ(ranged(socket, "bytes=-7", name).body, bytes.substr(bytes.size() - 7)) << name;
  }
  EXPECT_TRUE(get(socket, "/files/coffee.cr").body == read_file(scratch_path("p.cr")));
  std::string absolute = "/files/" + std::regex_replace(scratch_path("p"), std::regex("/"), "%2F") + ".cr";
  for (std::string refused : {"/files/none.cr", "/files/junk.cr", "/files/maps/plain", "/files/maps/plain.cr", "/files/..%2Fp.cr",
                              "/files/%2E%2E/p.cr", "/files//coffee.cr", "/files/.cr", "/files/coffee", "/files/maps.cr",
                              "/files/coffee.cr/", "/image.cr", absolute.c_str()}) {
    RawReply reply = get(socket, refused);
    EXPECT_EQ(reply.status, 404) << refused;
    EXPECT_EQ(reply.header("Accept-Ranges"), "") << refused;
  }
  CrserveProcess single({}, path);
  Socket other(single.port());
  EXPECT_EQ(get(other, "/files/big.cr").status, 404) << "a single file is /image.cr alone";
}

// A body cut off before its Content-Length: what came, and whether the connection then closed.
struct CutBody {
  std::string body;
  size_t announced = 0;
  bool closed = false;
};

CutBody read_until_close(Socket& socket) {
  CutBody cut;
  std::string bytes;
  char chunk[65536];
  ssize_t n;
  while ((n = recv(socket.fd(), chunk, sizeof chunk, 0)) > 0) bytes.append(chunk, static_cast<size_t>(n));
  cut.closed = n == 0;
  size_t end = bytes.find("\r\n\r\n");
  if (end == std::string::npos) return cut;
  RawReply head{200, bytes.substr(0, end + 2), ""};
  cut.announced = std::strtoull(head.header("Content-Length").c_str(), nullptr, 10);
  cut.body = bytes.substr(end + 4);
  return cut;
}

// The server may have sent what the sockets' buffers hold when the file changes: the file is much
// larger than those.
TEST_F(FileBytesTest, AFileCutShortOrChangedWhileSentCutsTheConnection) {
  constexpr off_t kLarge = 64 << 20;
  for (bool shrink : {true, false}) {
    ASSERT_EQ(truncate(path.c_str(), kLarge), 0);
    CrserveProcess server({}, path);
    Socket socket(server.port(), "127.0.0.1", 10);
    ASSERT_TRUE(socket.send("GET /image.cr HTTP/1.1\r\nHost: h\r\n\r\n"));
    ASSERT_TRUE(socket.readable_within(5));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (shrink) {
      ASSERT_EQ(truncate(path.c_str(), 1 << 20), 0);
    } else {
      int fd = open(path.c_str(), O_WRONLY);
      ASSERT_EQ(pwrite(fd, "x", 1, kLarge - 1), 1);
      close(fd);
    }
    CutBody cut = read_until_close(socket);
    EXPECT_EQ(cut.announced, static_cast<size_t>(kLarge)) << shrink;
    EXPECT_TRUE(cut.closed) << shrink;
    EXPECT_LT(cut.body.size(), static_cast<size_t>(kLarge) - (1 << 20)) << shrink;
    EXPECT_TRUE(cut.body.substr(0, std::min(cut.body.size(), bytes.size())) == bytes.substr(0, std::min(cut.body.size(), bytes.size())))
        << shrink;
    EXPECT_EQ(cut.body.find_first_not_of('\0', bytes.size()), std::string::npos) << "nothing but the file's bytes";
    Socket next(server.port());
    RawReply after = get(next, "/image.cr");
    EXPECT_EQ(after.status, 200) << "the server goes on";
    EXPECT_EQ(after.header("Content-Length"), std::to_string(shrink ? 1 << 20 : kLarge));
    EXPECT_EQ(server.stop(SIGTERM), 0);
    write_file(path, bytes);
  }
}

TEST_F(FileBytesTest, ALargeFileIsSentWholeInBoundedMemory) {
  // Large enough that holding it whole would pass the bound; smaller where no bound is checked.
  constexpr off_t kLarge = kPeakIsTheTools ? 256 << 20 : 32 << 20;
  constexpr long kBoundKib = 64 << 10;
  ASSERT_EQ(truncate(path.c_str(), kLarge), 0);  // a hole after the CR file reads as zeros
  CrserveProcess server({}, path);
  Socket socket(server.port(), "127.0.0.1", 30);
  ASSERT_TRUE(socket.send("GET /image.cr HTTP/1.1\r\nHost: h\r\nConnection: close\r\n\r\n"));
  std::string head;
  size_t body = 0;
  bool same = true;
  auto check = [&](std::string_view got) {
    for (size_t i = 0; i < got.size(); ++i, ++body)
      if (got[i] != (body < bytes.size() ? bytes[body] : '\0')) same = false;
  };
  char chunk[65536];
  ssize_t n;
  bool in_body = false;
  while ((n = recv(socket.fd(), chunk, sizeof chunk, 0)) > 0) {
    std::string_view got(chunk, static_cast<size_t>(n));
    if (in_body) {
      check(got);
      continue;
    }
    head.append(got);
    size_t end = head.find("\r\n\r\n");
    if (end == std::string::npos) continue;
    in_body = true;
    check(std::string_view(head).substr(end + 4));
    head.resize(end + 4);
  }
  EXPECT_EQ(body, static_cast<size_t>(kLarge));
  EXPECT_TRUE(same);
  long peak = process_status(server.pid(), "VmHWM");
  std::printf("a file of %lld MiB sent whole: server peak %ld KiB\n", static_cast<long long>(kLarge >> 20), peak);
  if (kPeakIsTheTools) {
    EXPECT_LT(peak, kBoundKib);
  }
}

}  // namespace
