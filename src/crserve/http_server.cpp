// The HTTP side of crserve: cpp-httplib listens, hands every GET to the Site and copies its reply
// out. SIGINT and SIGTERM are taken by one thread that stops the server, so the process ends by
// returning from serve with every handle closed.
#include <malloc.h>
#include <signal.h>
#include <sys/stat.h>

#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <thread>

#include "crserve/crserve.hpp"
#include "crserve/site.hpp"
#include "parallel.hpp"

namespace crserve {

namespace {

constexpr int kMinConnections = 16;   // served at once at least, so keep-alive clients never queue
constexpr int kKeepAliveRequests = 1000;
constexpr time_t kTimeoutSeconds = 5;
constexpr size_t kMaxRequestBody = 64 * 1024;  // tile requests carry none

int fail(const std::string& message) {
  std::fprintf(stderr, "%s\n", message.c_str());
  return 1;
}

// Changes whenever the file is replaced or rewritten, for entity tags.
std::string identity_of(const struct stat& st) {
  return std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino) + ":" + std::to_string(st.st_size) + ":" +
         std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec);
}

std::string url_host(const std::string& bind, int port) {
  bool ipv6 = bind.find(':') != std::string::npos;
  return (ipv6 ? "[" + bind + "]" : bind) + ":" + std::to_string(port);
}

void answer(Site& site, bool cors, const httplib::Request& req, httplib::Response& res) {
  // cpp-httplib would compress every text reply the client accepts compressed, with Brotli at its
  // slowest setting: a second per request for the viewer's script. The tiles are JPEG already and
  // the rest is small, so replies go out as they are. (The request object is the library's own,
  // not a constant; it only hands it over as one.)
  const_cast<httplib::Request&>(req).headers.erase("Accept-Encoding");
  std::string host = req.get_header_value("Host");
  std::string if_none_match = req.get_header_value("If-None-Match");
  Reply reply = site.respond(Query{req.path, host, if_none_match});
  res.status = reply.status;
  for (const auto& [name, value] : reply.headers) res.set_header(name.c_str(), value);
  if (cors) res.set_header("Access-Control-Allow-Origin", "*");
  if (reply.body) res.set_content(*reply.body, reply.content_type.c_str());
}

// Binds the server; the port bound, or -1.
int bind_server(httplib::Server& server, const Options& o) {
  errno = 0;
  if (o.port == 0) return server.bind_to_any_port(o.bind);
  return server.bind_to_port(o.bind, o.port) ? o.port : -1;
}

// Connection threads enough for every keep-alive client at once; limits on what a request may hold.
void configure(httplib::Server& server, int readers) {
  int connections = std::max(kMinConnections, 4 * readers);
  server.new_task_queue = [connections] { return new httplib::ThreadPool(static_cast<size_t>(connections)); };
  server.set_tcp_nodelay(true);  // a tile goes out in one write; waiting for acknowledgements only adds latency
  server.set_keep_alive_max_count(kKeepAliveRequests);
  server.set_keep_alive_timeout(kTimeoutSeconds);
  server.set_read_timeout(kTimeoutSeconds, 0);
  server.set_write_timeout(kTimeoutSeconds, 0);
  server.set_payload_max_length(kMaxRequestBody);
  server.set_exception_handler([](const httplib::Request&, httplib::Response& res, std::exception_ptr) {
    res.status = 500;
    res.set_content("out of memory\n", "text/plain; charset=utf-8");
  });
}

// Blocks SIGINT and SIGTERM in this thread and every thread started after it, so that only the
// watcher of listen_until_signalled ever takes them.
sigset_t block_stop_signals() {
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  return stop_signals;
}

// Serves until one of the signals comes; false when the server stopped by itself.
bool listen_until_signalled(httplib::Server& server, const sigset_t& stop_signals) {
  std::atomic<bool> finished{false}, stopping{false};
  std::thread watcher([&] {
    const timespec tick{0, 100 * 1000 * 1000};
    while (!finished) {
      // Stopping is repeated until the server has stopped: a signal may come before it listens.
      if (stopping || sigtimedwait(&stop_signals, nullptr, &tick) > 0) {
        stopping = true;
        server.stop();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
    }
  });
  bool listened = server.listen_after_bind();
  finished = true;
  watcher.join();
  return listened || stopping;
}

}  // namespace

int serve(const Options& o) {
  int readers = o.threads > 0 ? o.threads : parallel_threads();
  set_parallel_threads(1);  // each request rebuilds its tile on its own thread
  // One heap per reader: with one per connection thread, each would keep the freed buffers of
  // the tiles it encoded, and memory would grow with the connections rather than the readers.
  mallopt(M_ARENA_MAX, std::max(2, readers));
  struct stat st;
  if (stat(o.file.c_str(), &st) < 0)
    return fail("cannot open the CR file \"" + o.file + "\": " + std::strerror(errno));
  std::string message;
  std::unique_ptr<TileMaker> maker = TileMaker::open(o.file, readers, &message);
  if (!maker) return fail(message);

  sigset_t stop_signals = block_stop_signals();
  signal(SIGPIPE, SIG_IGN);  // a client that hangs up is the write's failure, not the process's end
  httplib::Server server;
  configure(server, readers);
  int port = bind_server(server, o);
  if (port < 0) {
    std::string why = errno != 0 ? std::string(": ") + std::strerror(errno) : "";
    return fail("cannot listen on " + url_host(o.bind, o.port) + why);
  }
  Site site(*maker, static_cast<size_t>(o.cache_mb) << 20, identity_of(st), url_host(o.bind, port));
  server.Get(".*", [&site, &o](const httplib::Request& req, httplib::Response& res) { answer(site, o.cors, req, res); });

  std::printf("serving %s on http://%s/\n", o.file.c_str(), url_host(o.bind, port).c_str());
  std::fflush(stdout);
  if (!listen_until_signalled(server, stop_signals))
    return fail("the server on " + url_host(o.bind, port) + " stopped: " + std::strerror(errno));
  return 0;
}

}  // namespace crserve
