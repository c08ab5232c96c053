// crserve end to end: the usage, the refusals before serving (bad options, a file that is not a CR
// file, a port in use), then a running server on a photo answering concurrent clients over
// loopback, with the CORS header when asked, HEAD as GET without the body and connections closed
// when the request says so, until SIGTERM or SIGINT ends it with status 0.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <httplib.h>

#include <chrono>
#include <thread>

#include "support/crserve_client.hpp"
#include "support/support.hpp"

using namespace test_support;

namespace {

RunResult run_crserve(const std::vector<std::string>& args) { return run_binary(CRSERVE_BINARY, args, {}); }

struct ServerTest : ::testing::Test {
  void SetUp() override { ASSERT_TRUE(make_photo_cr()); }
};

TEST(Usage, HelpAndNoArgumentsPrintOneLinePerOption) {
  for (std::vector<std::string> args : {std::vector<std::string>{}, {"-help"}, {"--help"}, {"x.cr", "-port", "1", "-help"}}) {
    RunResult r = run_crserve(args);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    for (const char* option : {"\n  -bind ADDR ", "\n  -port N ", "\n  -threads N ", "\n  -cache MB ", "\n  -rects MB ", "\n  -cors ",
                               "\n  -connections N ", "\n  -per-client N ", "\n  -max-area PIXELS ", "\n  -base-url URL ",
                               "\n  -trust-proxy "})
      EXPECT_NE(r.out.find(option), std::string::npos) << option;
  }
}

TEST_F(ServerTest, RefusalsBeforeServingAreOneMessageAndStatus1) {
  write_file(scratch_path("photo.cr"), read_file(sample_path("coffee.ppm")));
  write_file(scratch_path("cut.cr"), read_file(scratch_path("p.cr")).substr(0, 20));
  struct Expected {
    std::vector<std::string> args;
    std::string err;
  };
  for (const Expected& e : {Expected{{"p.cr", "-port", "65536"}, "invalid port \"65536\"\n"},
                            Expected{{"p.cr", "-port", "80x"}, "invalid port \"80x\"\n"},
                            Expected{{"p.cr", "-threads", "0"}, "invalid thread count \"0\"\n"},
                            Expected{{"p.cr", "-cache", "-1"}, "invalid cache size \"-1\"\n"},
                            Expected{{"p.cr", "-cache"}, "too few arguments for -cache\n"},
                            Expected{{"p.cr", "-rects", "1e3"}, "invalid cache size \"1e3\"\n"},
                            Expected{{"p.cr", "-max-area", "65535"}, "invalid pixel count \"65535\"\n"},
                            Expected{{"p.cr", "-base-url", "ftp://x/"}, "invalid base URL \"ftp://x/\"\n"},
                            Expected{{"p.cr", "-base-url", "http://a b/"}, "invalid base URL \"http://a b/\"\n"},
                            Expected{{"p.cr", "-base-url", "https://x/a\"b"}, "invalid base URL \"https://x/a\"b\"\n"},
                            Expected{{"p.cr", "-per-client", "0"}, "invalid connection count \"0\"\n"},
                            Expected{{"p.cr", "-zoom"}, "invalid option \"-zoom\"\n"},
                            Expected{{"p.cr", "-bind", ""}, "invalid address \"\"\n"},
                            Expected{{"p.cr", "-trust-proxy", "-max-area"}, "too few arguments for -max-area\n"},
                            Expected{{"-port", "80", "p.cr"}, "the CR file or folder comes first: crserve PATH [options]\n"},
                            Expected{{"photo.cr", "-port", "0"}, "\"photo.cr\" is not a CR file\n"},
                            Expected{{"none.cr", "-port", "0"}, "cannot open the CR file \"none.cr\": No such file or directory\n"},
                            Expected{{"cut.cr", "-port", "0"}, "\"cut.cr\" is cut short: its header or table is incomplete\n"},
                            Expected{{"p.cr", "-port", "0", "-bind", "no.such.host.invalid"}, ""}}) {
    RunResult r = run_crserve(e.args);
    EXPECT_EQ(r.status, 1) << e.args[0] << " " << e.args[1];
    if (!e.err.empty()) {
      EXPECT_EQ(r.err, e.err);
    }
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_EQ(r.out, "");
  }
}

TEST_F(ServerTest, PortInUseIsRefused) {
  int busy = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(busy, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(busy, 1), 0);
  socklen_t length = sizeof address;
  getsockname(busy, reinterpret_cast<sockaddr*>(&address), &length);
  std::string port = std::to_string(ntohs(address.sin_port));
  RunResult r = run_crserve({"p.cr", "-port", port});
  close(busy);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "cannot listen on 127.0.0.1:" + port + ": Address already in use\n");
}

TEST_F(ServerTest, ServesConcurrentClientsUntilSigterm) {
  CrserveProcess server({"-threads", "2", "-cache", "1"});
  ASSERT_GT(server.port(), 0) << server.line();
  EXPECT_EQ(server.line(), "serving " + scratch_path("p.cr") + " on http://127.0.0.1:" + std::to_string(server.port()) + "/");
  std::vector<std::thread> clients;
  std::atomic<int> wrong{0};
  for (int c = 0; c < 6; ++c)
    clients.emplace_back([&, c] {
      httplib::Client client("127.0.0.1", server.port());
      for (int i = 0; i < 40; ++i) {
        int column = (c + i) % 11, row = i % 8;  // column 10 and row 7 lie outside: 404
        std::string path = "/image_files/10/" + std::to_string(column) + "_" + std::to_string(row) + ".jpg";
        auto r = client.Get(path.c_str());
        int expected = column < 10 && row < 7 ? 200 : 404;
        if (!r || r->status != expected) ++wrong;
        auto bad = client.Get("/iiif/700,0,64,64/max/0/default.jpg");
        if (!bad || bad->status != 400) ++wrong;
      }
    });
  for (std::thread& t : clients) t.join();
  EXPECT_EQ(wrong, 0);
  httplib::Client client("127.0.0.1", server.port());
  auto dzi = client.Get("/image.dzi");
  ASSERT_TRUE(dzi);
  EXPECT_EQ(dzi->status, 200);
  EXPECT_FALSE(dzi->has_header("Access-Control-Allow-Origin"));
  auto info = client.Get("/iiif/info.json");
  ASSERT_TRUE(info);
  EXPECT_NE(info->body.find("\"id\":\"http://127.0.0.1:" + std::to_string(server.port()) + "/iiif\""), std::string::npos);
  auto tile = client.Get("/image_files/10/0_0.jpg");
  ASSERT_TRUE(tile);
  httplib::Headers if_none_match = {{"If-None-Match", tile->get_header_value("ETag")}};
  auto again = client.Get("/image_files/10/0_0.jpg", if_none_match);
  ASSERT_TRUE(again);
  EXPECT_EQ(again->status, 304);
  auto post = client.Post("/image.dzi", "x", "text/plain");
  ASSERT_TRUE(post);
  EXPECT_EQ(post->status, 405) << "only GET, HEAD and OPTIONS are served";
  EXPECT_EQ(post->get_header_value("Allow"), "GET, HEAD, OPTIONS");
  EXPECT_EQ(server.stop(SIGTERM), 0);
}

TEST_F(ServerTest, CorsHeaderOnRequestAndSigintEnds) {
  CrserveProcess server({"-cors"});
  ASSERT_GT(server.port(), 0) << server.line();
  httplib::Client client("127.0.0.1", server.port());
  for (const char* path : {"/image.dzi", "/image_files/10/0_0.jpg", "/nothing"}) {
    auto r = client.Get(path);
    ASSERT_TRUE(r) << path;
    EXPECT_EQ(r->get_header_value("Access-Control-Allow-Origin"), "*") << path;
  }
  EXPECT_EQ(server.stop(SIGINT), 0);
}

TEST_F(ServerTest, ViewerPageAndScriptGoOutUncompressed) {
  // Compressing the viewer's script on every request took about a second with Brotli.
  CrserveProcess server({});
  ASSERT_GT(server.port(), 0) << server.line();
  httplib::Client client("127.0.0.1", server.port());
  for (const char* path : {"/", "/openseadragon/openseadragon.min.js"}) {
    auto r = client.Get(path, httplib::Headers{{"Accept-Encoding", "gzip, deflate, br"}});
    ASSERT_TRUE(r) << path;
    EXPECT_EQ(r->status, 200) << path;
    EXPECT_FALSE(r->has_header("Content-Encoding")) << path;
  }
  auto script = client.Get("/openseadragon/openseadragon.min.js");
  EXPECT_TRUE(script && script->body.starts_with("//! openseadragon"));
  EXPECT_EQ(server.stop(SIGTERM), 0);
}

TEST_F(ServerTest, HeadGetsTheHeadOfGetWithoutItsBody) {
  CrserveProcess server({});
  Socket socket(server.port());
  ASSERT_TRUE(socket.send("HEAD /image_files/10/0_0.jpg HTTP/1.1\r\nHost: h\r\n\r\n"));
  RawReply head = read_reply(socket, true);
  RawReply full = get(socket, "/image_files/10/0_0.jpg");  // were a body sent after the head, this would read it
  EXPECT_EQ(head.status, 200);
  EXPECT_EQ(full.status, 200);
  EXPECT_EQ(head.body, "");
  EXPECT_EQ(head.header("Content-Length"), std::to_string(full.body.size()));
  EXPECT_EQ(head.header("ETag"), full.header("ETag"));
  EXPECT_EQ(head.header("Content-Type"), "image/jpeg");
}

TEST_F(ServerTest, ConnectionCloseAndHttp10EndTheConnectionAfterTheReply) {
  CrserveProcess server({});
  for (const char* request : {"GET /image.dzi HTTP/1.1\r\nHost: h\r\nConnection: close\r\n\r\n", "GET /image.dzi HTTP/1.0\r\n\r\n"}) {
    Socket socket(server.port());
    ASSERT_TRUE(socket.send(request));
    EXPECT_EQ(read_reply(socket).status, 200) << request;
    EXPECT_TRUE(socket.closed_within(1)) << request;
  }
  Socket kept(server.port());
  EXPECT_EQ(get(kept, "/image.dzi").status, 200);
  EXPECT_FALSE(kept.closed_within(0.2));
  EXPECT_EQ(get(kept, "/image.dzi").status, 200);
}

}  // namespace
