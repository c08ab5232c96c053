// crserve against clients that are slow, greedy or many, over loopback: heads trickled a line a
// second, header floods, requests with bodies, more connections than allowed, a stop under load and
// a thousand keep-alive clients. Latency bounds here are promises of the server (a tile within a
// second, an exit within a second of SIGTERM), generous against the work they measure.
#include <poll.h>
#include <sys/socket.h>
#include <signal.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <thread>

#include "support/crserve_client.hpp"
#include "support/support.hpp"

using namespace test_support;

namespace {

using Clock = std::chrono::steady_clock;

constexpr double kTileLatencyBound = 1.0;  // seconds: every tile, whatever else the server holds
constexpr double kAtOnce = 1.0;            // seconds: a refusal that needs no waiting
// The sanitizers slow a server that serves a thousand clients several times over.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr double kSanitizerSlowdown = 4;
#else
constexpr double kSanitizerSlowdown = 1;
#endif

double seconds_since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

std::string tile_path(int i) { return "/image_files/10/" + std::to_string(i % 10) + "_" + std::to_string(i / 10 % 7) + ".jpg"; }

std::string loopback_address(int host) { return "127.0.0." + std::to_string(host); }

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values.empty() ? 0 : values[values.size() / 2];
}

// Connections that send a request line, then one header line a second, never ending their head;
// each is opened again when the server closes it, until the tricklers are destroyed. They come
// from `addresses` consecutive addresses from 127.0.0.first, `per_address` from each.
class Tricklers {
 public:
  Tricklers(int port, int first, int addresses, int per_address) : port_(port) {
    for (int a = 0; a < addresses; ++a)
      for (int i = 0; i < per_address; ++i) open(loopback_address(first + a));
    thread_ = std::thread([this] { run(); });
  }
  ~Tricklers() {
    stop_ = true;
    thread_.join();
  }
  // The seconds each connection lived, from its request line to the server closing it.
  std::vector<double> lifetimes() {
    std::lock_guard lock(mutex_);
    return lifetimes_;
  }
  size_t count() const { return open_.size(); }

 private:
  struct Trickler {
    Socket socket;
    std::string from;
    Clock::time_point started;
  };

  void open(const std::string& from) {
    Trickler t{Socket(port_, from.c_str()), from, Clock::now()};
    t.socket.send("GET /image.dzi HTTP/1.1\r\n");
    open_.push_back(std::move(t));
  }

  void run() {
    Clock::time_point next_line = Clock::now();
    while (!stop_) {
      bool line_due = Clock::now() >= next_line;
      if (line_due) next_line += std::chrono::seconds(1);
      for (Trickler& t : open_) {
        bool closed = t.socket.closed_within(0) || (line_due && !t.socket.send("X-a: b\r\n"));
        if (!closed) continue;
        {
          std::lock_guard lock(mutex_);
          lifetimes_.push_back(seconds_since(t.started));
        }
        t = Trickler{Socket(port_, t.from.c_str()), t.from, Clock::now()};
        t.socket.send("GET /image.dzi HTTP/1.1\r\n");
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }

  int port_;
  std::vector<Trickler> open_;
  std::vector<double> lifetimes_;
  std::mutex mutex_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// Fetches `count` tiles on one kept-alive connection; the seconds each took, up to the first that
// failed.
std::vector<double> fetch_tiles(int port, int count) {
  std::vector<double> latencies;
  Socket client(port, "127.0.0.1", 2 * kTileLatencyBound);
  for (int i = 0; i < count; ++i) {
    Clock::time_point start = Clock::now();
    if (get(client, tile_path(i)).status != 200) break;
    latencies.push_back(seconds_since(start));
  }
  return latencies;
}

// One of many keep-alive clients driven together from one thread: it asks for tile after tile on
// its connection, the next once the last reply is whole.
struct KeepAliveClient {
  KeepAliveClient(int port, const std::string& from, int first_tile) : socket(port, from.c_str()), next_tile(first_tile) {}
  Socket socket;
  int next_tile, replies = 0;
  std::string received;
  double served = -1;  // seconds after the start when its last reply was whole

  bool ask() { return socket.send("GET " + tile_path(next_tile) + " HTTP/1.1\r\nHost: h\r\n\r\n"); }
  // Takes the bytes that came; true when they complete a reply of 200.
  bool take(const char* bytes, size_t n) {
    received.append(bytes, n);
    size_t head_end = received.find("\r\n\r\n");
    if (head_end == std::string::npos) return false;
    RawReply reply;
    reply.head = received.substr(0, head_end + 2);
    size_t whole = head_end + 4 + static_cast<size_t>(std::atol(reply.header("Content-Length").c_str()));
    if (received.size() < whole) return false;
    bool ok = received.compare(0, 12, "HTTP/1.1 200") == 0;
    received.erase(0, whole);
    return ok;
  }
};

// Has every client fetch `tiles` tiles, all at once, polling their sockets on this thread; the
// seconds after `start` when each had all its replies (-1 for one that failed or ran out of time).
std::vector<double> serve_all(std::vector<KeepAliveClient>& clients, int tiles, Clock::time_point start, double limit) {
  std::vector<pollfd> fds;
  for (KeepAliveClient& c : clients) {
    c.ask();
    fds.push_back(pollfd{c.socket.fd(), POLLIN, 0});
  }
  size_t waiting = clients.size();
  char chunk[65536];
  while (waiting > 0 && seconds_since(start) < limit && poll(fds.data(), fds.size(), 100) >= 0)
    for (size_t i = 0; i < clients.size(); ++i) {
      if (!(fds[i].revents & POLLIN)) continue;
      KeepAliveClient& c = clients[i];
      ssize_t n = recv(fds[i].fd, chunk, sizeof chunk, MSG_DONTWAIT);
      bool whole = n > 0 && c.take(chunk, static_cast<size_t>(n));
      if (n > 0 && !whole) continue;
      if (whole && ++c.replies < tiles) {
        c.next_tile += 11;
        c.ask();
        continue;
      }
      if (whole) c.served = seconds_since(start);
      fds[i].fd = -1;  // done, or failed: polled no more
      --waiting;
    }
  std::vector<double> served;
  for (const KeepAliveClient& c : clients) served.push_back(c.served);
  return served;
}

struct ClientLimitsTest : ::testing::Test {
  void SetUp() override { ASSERT_TRUE(make_photo_cr()); }
};

TEST_F(ClientLimitsTest, SlowHeadsDoNotDelayTilesAndAreClosedAtTheirDeadline) {
  CrserveProcess server({"-threads", "2"});
  ASSERT_GT(server.port(), 0) << server.line();
  Tricklers slow(server.port(), 2, 1, 16);
  std::this_thread::sleep_for(std::chrono::seconds(1));
  std::vector<double> latencies = fetch_tiles(server.port(), 10);
  ASSERT_EQ(latencies.size(), 10u) << "a tile failed beside 16 slow heads";
  EXPECT_LT(*std::max_element(latencies.begin(), latencies.end()), kTileLatencyBound);
  Clock::time_point start = Clock::now();
  while (slow.lifetimes().size() < 16 && seconds_since(start) < 10)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  std::vector<double> lifetimes = slow.lifetimes();
  std::printf("10 tiles beside 16 slow heads: max %.1f ms; %zu heads closed after %.1f to %.1f s\n",
              1000 * *std::max_element(latencies.begin(), latencies.end()), lifetimes.size(),
              lifetimes.empty() ? 0 : *std::min_element(lifetimes.begin(), lifetimes.end()),
              lifetimes.empty() ? 0 : *std::max_element(lifetimes.begin(), lifetimes.end()));
  ASSERT_GE(lifetimes.size(), 16u) << "slow heads still open after 10 s";
  for (double lived : lifetimes) {
    EXPECT_GT(lived, 4.0);  // the head deadline is 5 s from the first byte
    EXPECT_LT(lived, 7.0);
  }
}

TEST_F(ClientLimitsTest, TwoHundredTricklingConnectionsLeaveEveryUncachedTileWithinASecond) {
  // Ten addresses of twenty each, below the default limit per client.
  CrserveProcess server({"-threads", "2", "-cache", "0"});
  ASSERT_GT(server.port(), 0) << server.line();
  Tricklers slow(server.port(), 10, 10, 20);
  std::vector<double> latencies = fetch_tiles(server.port(), 100);
  ASSERT_EQ(latencies.size(), 100u) << "a tile failed beside 200 trickling connections";
  double worst = *std::max_element(latencies.begin(), latencies.end());
  std::printf("100 uncached tiles beside %zu trickling connections: median %.1f ms, max %.1f ms\n", slow.count(),
              1000 * median(latencies), 1000 * worst);
  EXPECT_LT(worst, kTileLatencyBound);
}

TEST_F(ClientLimitsTest, ConnectionsBeyondThePerClientAndTotalLimitsAreClosedAtOnce) {
  CrserveProcess server({"-per-client", "4", "-connections", "8"});
  ASSERT_GT(server.port(), 0) << server.line();
  std::vector<Socket> held;
  for (int i = 0; i < 4; ++i) {
    held.emplace_back(server.port(), "127.0.0.2");
    EXPECT_EQ(get(held.back(), "/image.dzi").status, 200);
  }
  Socket fifth(server.port(), "127.0.0.2");
  EXPECT_TRUE(fifth.closed_within(kAtOnce)) << "a fifth connection from one address";
  Socket other(server.port(), "127.0.0.1");
  EXPECT_EQ(get(other, "/image.dzi").status, 200) << "another address is still served";
  for (int i = 0; i < 3; ++i) {
    held.emplace_back(server.port(), "127.0.0.3");
    EXPECT_EQ(get(held.back(), "/image.dzi").status, 200);
  }
  Socket ninth(server.port(), "127.0.0.4");
  EXPECT_TRUE(ninth.closed_within(kAtOnce)) << "a ninth connection in all";
  held.front().close();
  int status = 0;
  for (Clock::time_point start = Clock::now(); status != 200 && seconds_since(start) < kAtOnce;) {
    Socket again(server.port(), "127.0.0.4");
    status = get(again, "/image.dzi").status;
  }
  EXPECT_EQ(status, 200) << "a connection closed makes room for another";
}

TEST_F(ClientLimitsTest, HeaderFloodGets431AfterBoundedBytesAndLeavesMemoryAsItWas) {
  CrserveProcess server({});
  ASSERT_GT(server.port(), 0) << server.line();
  long before_kib = process_status(server.pid(), "VmRSS");
  Socket flood(server.port());
  ASSERT_TRUE(flood.send("GET /image.dzi HTTP/1.1\r\nHost: h\r\n"));
  std::string lines;
  for (int i = 0; i < 8192; ++i) lines += "X-a: b\r\n";
  const size_t three_million_lines = 3'000'000 * 8;
  size_t sent = 0;
  while (sent < three_million_lines && !flood.readable_within(0) && flood.send(lines)) sent += lines.size();
  RawReply reply = read_reply(flood);
  long after_kib = process_status(server.pid(), "VmRSS");
  std::printf("431 after %zu KiB of header lines; server memory %ld KiB before, %ld KiB after\n", sent >> 10,
              before_kib, after_kib);
  EXPECT_EQ(reply.status, 431);
  EXPECT_EQ(reply.header("Connection"), "close");
  EXPECT_LT(sent, 8u << 20) << "the server reads a bounded head, then refuses";
  EXPECT_LT(after_kib - before_kib, 4096);
  EXPECT_TRUE(flood.closed_within(2 * kAtOnce));
}

TEST_F(ClientLimitsTest, OtherMethodsGet405AtOnceWithoutTheirBody) {
  CrserveProcess server({});
  ASSERT_GT(server.port(), 0) << server.line();
  Socket post(server.port());
  Clock::time_point start = Clock::now();
  ASSERT_TRUE(post.send("POST /image.dzi HTTP/1.1\r\nHost: h\r\nContent-Length: 10\r\n\r\n"));  // the body never comes
  RawReply reply = read_reply(post);
  EXPECT_LT(seconds_since(start), kAtOnce);
  EXPECT_EQ(reply.status, 405);
  EXPECT_EQ(reply.header("Allow"), "GET, HEAD, OPTIONS");
  EXPECT_TRUE(post.closed_within(kAtOnce));
}

TEST_F(ClientLimitsTest, GetWithABodyIsRefusedAtOnce) {
  CrserveProcess server({});
  ASSERT_GT(server.port(), 0) << server.line();
  for (const char* announced : {"Content-Length: 5", "Transfer-Encoding: chunked"}) {
    Socket client(server.port());
    Clock::time_point start = Clock::now();
    ASSERT_TRUE(client.send("GET /image.dzi HTTP/1.1\r\nHost: h\r\n" + std::string(announced) + "\r\n\r\n"));
    EXPECT_EQ(read_reply(client).status, 400) << announced;
    EXPECT_LT(seconds_since(start), kAtOnce) << announced;
    EXPECT_TRUE(client.closed_within(kAtOnce)) << announced;
  }
}

TEST_F(ClientLimitsTest, SigtermEndsWithinASecondUnderLoad) {
  CrserveProcess server({"-threads", "2", "-cache", "0"});
  ASSERT_GT(server.port(), 0) << server.line();
  Tricklers slow(server.port(), 10, 10, 20);
  std::atomic<bool> stop{false};
  std::atomic<int> served{0};
  std::vector<std::thread> loaders;
  for (int c = 0; c < 4; ++c)
    loaders.emplace_back([&] {
      while (!stop) {
        Socket client(server.port());
        for (int i = 0; !stop && get(client, tile_path(i)).status == 200; ++i) ++served;
      }
    });
  std::this_thread::sleep_for(std::chrono::seconds(1));
  double took = 0;
  int status = server.stop_within(SIGTERM, 5, &took);
  stop = true;
  for (std::thread& t : loaders) t.join();
  std::printf("SIGTERM after %d tiles, beside %zu slow connections: exit %d after %.0f ms\n", served.load(),
              slow.count(), status, 1000 * took);
  EXPECT_GT(served, 0);
  EXPECT_EQ(status, 0);
  EXPECT_LT(took, 1.0);
}

TEST_F(ClientLimitsTest, ThousandKeepAliveClientsAreServedAndIdleOnesHoldNoThread) {
  constexpr int kClients = 1000, kTilesEach = 3, kAddresses = 20;  // 50 from each address
  constexpr double kServedBound = 3.0 * kSanitizerSlowdown;
  raise_open_file_limit();
  CrserveProcess server({"-threads", "2"});
  ASSERT_GT(server.port(), 0) << server.line();
  Clock::time_point start = Clock::now();
  std::vector<KeepAliveClient> clients;
  for (int c = 0; c < kClients; ++c) clients.emplace_back(server.port(), loopback_address(40 + c % kAddresses), c);
  std::vector<double> served = serve_all(clients, kTilesEach, start, 2 * kServedBound);
  // Every connection stays open, idle, while these are looked at.
  long threads = process_status(server.pid(), "Threads");
  std::vector<double> latencies = fetch_tiles(server.port(), 1);

  std::vector<double> sorted = served;
  std::sort(sorted.begin(), sorted.end());
  auto at = [&](double q) { return sorted[static_cast<size_t>(q * (kClients - 1))]; };
  std::printf("%d keep-alive clients, %d tiles each: all served after p50 %.2f s, p90 %.2f s, p99 %.2f s, max %.2f s; "
              "%ld server threads beside them\n",
              kClients, kTilesEach, at(0.5), at(0.9), at(0.99), sorted.back(), threads);
  EXPECT_GE(sorted.front(), 0) << "a client was not served";
  EXPECT_LT(sorted.back(), kServedBound);
  EXPECT_LE(threads, 2 + 2) << "the loop, the workers and at most a sanitizer's own thread";
  ASSERT_EQ(latencies.size(), 1u) << "a tile beside 1,000 idle keep-alive connections";
  EXPECT_LT(latencies[0], kTileLatencyBound);
}

}  // namespace
