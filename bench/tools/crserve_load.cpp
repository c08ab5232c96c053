// Loads a running crserve with random Deep Zoom tiles of one level from concurrent keep-alive
// clients for a fixed time, and prints the tiles served per second, latency percentiles and
// failures (any status but 200, or a body that is not a JPEG stream).
//   crserve_load HOST PORT LEVEL COLUMNS ROWS CLIENTS SECONDS [DISTINCT]
// DISTINCT > 0 draws the tiles from the first DISTINCT of a fixed random order only, after one
// untimed pass over them: the cached case when they fit the server's cache.
#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <numeric>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Tile {
  int column, row;
};

struct Totals {
  std::vector<double> latencies_ms;
  long failures = 0;
};

bool fetch(httplib::Client& client, const std::string& level, Tile t) {
  std::string path = "/image_files/" + level + "/" + std::to_string(t.column) + "_" + std::to_string(t.row) + ".jpg";
  httplib::Result result = client.Get(path.c_str());
  return result && result->status == 200 && result->body.size() > 2 &&
         static_cast<unsigned char>(result->body[0]) == 0xFF && static_cast<unsigned char>(result->body[1]) == 0xD8;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 8) {
    std::fprintf(stderr, "usage: crserve_load HOST PORT LEVEL COLUMNS ROWS CLIENTS SECONDS [DISTINCT]\n");
    return 2;
  }
  std::string host = argv[1], level = argv[3];
  int port = std::atoi(argv[2]), columns = std::atoi(argv[4]), rows = std::atoi(argv[5]);
  int clients = std::atoi(argv[6]), seconds = std::atoi(argv[7]);
  int distinct = argc > 8 ? std::atoi(argv[8]) : 0;

  std::vector<Tile> order;
  for (int r = 0; r < rows; ++r)
    for (int c = 0; c < columns; ++c) order.push_back(Tile{c, r});
  std::mt19937 shuffle(12345);
  std::shuffle(order.begin(), order.end(), shuffle);
  if (distinct > 0) {
    order.resize(std::min<size_t>(order.size(), static_cast<size_t>(distinct)));
    httplib::Client warm(host, port);
    warm.set_keep_alive(true);
    warm.set_tcp_nodelay(true);
    for (Tile t : order) fetch(warm, level, t);
  }

  std::vector<Totals> totals(static_cast<size_t>(clients));
  std::vector<std::thread> threads;
  Clock::time_point end = Clock::now() + std::chrono::seconds(seconds);
  for (int i = 0; i < clients; ++i)
    threads.emplace_back([&, i] {
      httplib::Client client(host, port);
      client.set_keep_alive(true);
      client.set_tcp_nodelay(true);
      std::mt19937 pick(static_cast<unsigned>(i + 1));
      std::uniform_int_distribution<size_t> any(0, order.size() - 1);
      Totals& mine = totals[static_cast<size_t>(i)];
      while (Clock::now() < end) {
        Clock::time_point start = Clock::now();
        if (!fetch(client, level, order[any(pick)])) ++mine.failures;
        mine.latencies_ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
      }
    });
  for (std::thread& t : threads) t.join();

  std::vector<double> all;
  long failures = 0;
  for (const Totals& t : totals) {
    all.insert(all.end(), t.latencies_ms.begin(), t.latencies_ms.end());
    failures += t.failures;
  }
  std::sort(all.begin(), all.end());
  auto percentile = [&](double p) { return all.empty() ? 0.0 : all[static_cast<size_t>(p * (all.size() - 1))]; };
  std::printf("%ld requests in %d s: %.0f tiles/s, p50 %.1f ms, p99 %.1f ms, max %.1f ms, %ld failed\n",
              static_cast<long>(all.size()), seconds, static_cast<double>(all.size()) / seconds, percentile(0.5),
              percentile(0.99), all.empty() ? 0.0 : all.back(), failures);
  return failures == 0 ? 0 : 1;
}
