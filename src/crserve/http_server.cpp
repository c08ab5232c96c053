// The HTTP side of crserve: one thread runs an event loop (Boost.Beast on Asio) that accepts
// connections, reads request heads within their deadline and writes replies; a tile that must be
// made goes to a pool of as many workers as readers, and its reply comes back to the loop. Idle
// connections cost a socket and no thread. SIGINT and SIGTERM stop the accepting, let the replies
// in flight finish for a short grace, and end the loop. This is the one file that includes Beast.
#include <malloc.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/read.hpp>

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <optional>
#include <unordered_set>

#include "connection_limits.hpp"
#include "crserve.hpp"
#include "http_messages.hpp"
#include "protocols.hpp"
#include "public_url.hpp"
#include "render.hpp"
#include "site.hpp"
#include "parallel.hpp"

namespace crserve {

namespace {

namespace asio = boost::asio;
namespace http = boost::beast::http;
using tcp = asio::ip::tcp;
using boost::system::error_code;

// A descriptor shortage when accepting is waited out rather than retried at once.
constexpr std::chrono::milliseconds kAcceptRetry{50};
constexpr size_t kDrainChunk = 4096;

TOOL_STATUS failure(const std::string& line) { return tool_failure("%s\n", line.c_str()); }

std::string_view view(boost::string_view s) { return {s.data(), s.size()}; }

using RequestParser = http::request_parser<http::empty_body>;

// A query that owns its strings, to travel to a worker.
struct HeldQuery {
  std::string path, query, if_none_match, if_modified_since, range, if_range;
  std::string host, forwarded, forwarded_proto, forwarded_host, forwarded_prefix, local_host;
  Query held() const {
    return Query{path, query, if_none_match, if_modified_since, range, if_range,
                 UrlHeaders{host, forwarded, forwarded_proto, forwarded_host, forwarded_prefix, local_host}};
  }
};

class Server;

// One client connection: waits for a request, reads its head, has it answered, writes the reply,
// and again, each step within its deadline. Every pending operation holds the connection.
class Connection : public std::enable_shared_from_this<Connection> {
 public:
  Connection(Server& server, tcp::socket socket, std::string client)
      : server_(server), socket_(std::move(socket)), deadline_(socket_.get_executor()), client_(std::move(client)) {}
  ~Connection() { close(); }

  void start() { wait_for_request(); }
  // At SIGINT or SIGTERM: closed at once unless its reply is on its way, which closes it after.
  void stop();
  void close();
  // A reply made by a worker, back on the loop.
  void send(const Reply& reply);

 private:
  enum class State { kWaiting, kReading, kAnswering, kWriting, kDraining, kClosed };

  void skip_empty_lines();
  void wait_for_request();
  void read_head();
  void on_head(error_code ec);
  HeldQuery held_query(const http::request<http::empty_body>& request);
  void answer(const HeldQuery& q);
  void make_more();
  void write_more();
  void on_sent(error_code ec);
  void refuse(int status);
  void finish();
  void drain();
  void arm(std::chrono::steady_clock::duration limit);

  Server& server_;
  tcp::socket socket_;
  asio::steady_timer deadline_;
  std::string client_;  // the peer's address, as the connection limits count it
  State state_ = State::kWaiting;
  boost::beast::flat_buffer buffer_{kMaxHeaderBytes};
  std::optional<RequestParser> parser_;
  int served_ = 0;
  bool keep_alive_ = false, head_only_ = false, http10_ = false;
  std::string head_;
  Bytes body_;
  std::shared_ptr<BodyStream> rest_;  // the parts of the reply's body still to make
  bool chunked_ = false;
  size_t written_ = 0;  // bytes of head_ and body_ the client has taken
  std::unique_ptr<std::array<char, kDrainChunk>> scratch_;
  size_t drained_ = 0;
};

// The listening socket, the open connections and their limits, the workers and the stop.
class Server {
 public:
  Server(bool cors, int workers, ConnectionLimits limits)
      : cors(cors), limits_(std::move(limits)), workers(static_cast<size_t>(workers)) {}

  // Binds and listens; the port, or -1 with errno set.
  int listen(const std::string& address, int port);
  // Serves the site until SIGINT or SIGTERM.
  void run(Site& site);
  // Drops a connection from the count once it is closed.
  void forget(Connection* c, const std::string& client);
  // The Date of replies made now, written once a second.
  const std::string& date() {
    time_t now = std::time(nullptr);
    if (now != date_at_) date_ = http_date(date_at_ = now);
    return date_;
  }

  Site* site = nullptr;
  const bool cors;
  bool stopping = false;

 private:
  void accept();
  void on_accepted(error_code ec, tcp::socket socket);
  void begin_stop();
  void end_stop();

  // Declared before the loop: handlers still queued in it hold connections, which forget
  // themselves here when the loop is destroyed.
  ConnectionLimits limits_;
  std::unordered_set<Connection*> open_;
  time_t date_at_ = 0;
  std::string date_;

 public:
  asio::io_context io{1};
  asio::thread_pool workers;  // stopped and joined before the loop goes

 private:
  tcp::acceptor acceptor_{io};
  asio::signal_set signals_{io, SIGINT, SIGTERM};
  asio::steady_timer retry_{io};
  asio::steady_timer grace_{io};
};

void Connection::arm(std::chrono::steady_clock::duration limit) {
  deadline_.expires_after(limit);
  deadline_.async_wait([self = shared_from_this()](error_code) {
    // A later arm cancels this wait; only a deadline that really passed closes.
    if (self->deadline_.expiry() <= std::chrono::steady_clock::now()) self->close();
  });
}

// Empty lines before a request line are ignored, as HTTP asks of servers: some clients end a
// request with one more line break than it needs.
void Connection::skip_empty_lines() {
  auto bytes = static_cast<const char*>(buffer_.data().data());
  size_t n = 0;
  while (n < buffer_.size() && (bytes[n] == '\r' || bytes[n] == '\n')) ++n;
  buffer_.consume(n);
}

void Connection::wait_for_request() {
  skip_empty_lines();
  if (buffer_.size() > 0) return read_head();  // the next request came with the last one
  state_ = State::kWaiting;
  buffer_.shrink_to_fit();  // an idle connection keeps no buffer
  arm(kIdleTimeout);
  socket_.async_wait(tcp::socket::wait_read, [self = shared_from_this()](error_code ec) {
    if (ec || self->state_ != State::kWaiting) return self->close();
    self->read_head();
  });
}

void Connection::read_head() {
  state_ = State::kReading;
  parser_.emplace();
  parser_->header_limit(kMaxHeaderBytes);
  arm(kHeaderDeadline);
  http::async_read_header(socket_, buffer_, *parser_,
                          [self = shared_from_this()](error_code ec, size_t) { self->on_head(ec); });
}

// What the refusals before the Site look at.
RequestHead head_of(const RequestParser& parser) {
  const auto& request = parser.get();
  RequestHead head;
  head.method = view(request.method_string());
  head.version = static_cast<int>(request.version());
  head.fields = static_cast<size_t>(std::distance(request.begin(), request.end()));
  head.announces_body = (parser.content_length() && *parser.content_length() > 0) ||
                        request.find(http::field::transfer_encoding) != request.end();
  return head;
}

// What the Site looks at in a request, with the address the connection arrived at.
HeldQuery Connection::held_query(const http::request<http::empty_body>& request) {
  auto field = [&](auto name) { return std::string(view(request[name])); };
  HeldQuery q;
  q.path = path_of_target(view(request.target()));
  q.query = query_of_target(view(request.target()));
  q.if_none_match = field(http::field::if_none_match);
  q.if_modified_since = field(http::field::if_modified_since);
  if (request.method() == http::verb::get) q.range = field(http::field::range);  // ranges are of GET alone
  q.if_range = field(http::field::if_range);
  q.host = field(http::field::host);
  q.forwarded = field(http::field::forwarded);
  q.forwarded_proto = std::string(view(request["X-Forwarded-Proto"]));
  q.forwarded_host = std::string(view(request["X-Forwarded-Host"]));
  q.forwarded_prefix = std::string(view(request["X-Forwarded-Prefix"]));
  error_code ec;
  tcp::endpoint local = socket_.local_endpoint(ec);
  if (!ec) q.local_host = url_host(local.address().to_string(), local.port());
  return q;
}

// The status a head that could not be read is refused with; 0 when the connection just ends (the
// client left, or the deadline passed).
int refusal_of_unread_head(error_code ec) {
  if (ec == http::error::header_limit || ec == http::error::buffer_overflow) return kHeaderTooLarge;
  const boost::system::error_category& parsing = http::make_error_code(http::error::bad_method).category();
  bool malformed = ec.category() == parsing && ec != http::error::end_of_stream;
  return malformed ? kBadRequest : 0;
}

void Connection::on_head(error_code ec) {
  if (state_ != State::kReading) return;
  if (ec) {
    int status = refusal_of_unread_head(ec);
    return status != 0 ? refuse(status) : close();
  }
  const auto& request = parser_->get();
  keep_alive_ = parser_->keep_alive();
  head_only_ = request.method() == http::verb::head;
  http10_ = request.version() == 10;
  if (int status = refusal_status(head_of(*parser_))) return refuse(status);
  if (request.method() == http::verb::options) {
    Reply reply = options_reply(server_.cors, view(request[http::field::access_control_request_headers]));
    parser_.reset();
    return send(reply);
  }
  HeldQuery q = held_query(request);
  parser_.reset();
  answer(q);
}

// From memory on the loop when it can be; a tile to make goes to a worker.
void Connection::answer(const HeldQuery& q) {
  state_ = State::kAnswering;
  deadline_.expires_at(asio::steady_timer::time_point::max());  // the work is bounded; so is the stop's grace
  if (std::optional<Reply> reply = server_.site->respond_from_memory(q.held())) return send(*reply);
  Server& server = server_;
  asio::post(server.workers, [&server, self = shared_from_this(), q]() mutable {
    Reply reply;
    try {
      reply = server.site->respond(q.held());
    } catch (const std::exception&) {  // short of memory: this tile fails, the server goes on
      reply = http_refusal(kServerError);
    }
    // The reference moves to the loop, so that the connection always ends there.
    asio::post(server.io, [self = std::move(self), reply = std::move(reply)] { self->send(reply); });
  });
}

void Connection::send(const Reply& reply) {
  if (state_ == State::kClosed) return;
  state_ = State::kWriting;
  if (server_.stopping || served_ + 1 >= kKeepAliveRequests) keep_alive_ = false;
  bool unknown_length = reply.rest && reply.length < 0;
  if (unknown_length && http10_) keep_alive_ = false;  // HTTP/1.0 learns such a body's end when the connection closes
  head_ = reply_head(reply, Framing{keep_alive_, http10_, server_.cors, server_.date()});
  rest_ = head_only_ ? nullptr : reply.rest;
  chunked_ = rest_ && unknown_length && !http10_;
  body_ = head_only_ || !reply.body ? nullptr : chunked_ ? std::make_shared<const std::string>(chunk(*reply.body)) : reply.body;
  written_ = 0;
  write_more();
}

// The next part of a body made a part at a time, on a worker; sent from the loop. A part that
// cannot be made cuts the connection, so that no client takes a cut image for a whole one.
void Connection::make_more() {
  state_ = State::kAnswering;
  deadline_.expires_at(asio::steady_timer::time_point::max());  // the client waits on the server now
  Server& server = server_;
  asio::post(server.workers, [&server, self = shared_from_this()]() mutable {
    auto part = std::make_shared<std::string>();
    std::string failure;
    BodyStream::Step step = BodyStream::Step::kFailed;
    try {
      step = self->rest_->next(part.get(), &failure);
    } catch (const std::exception&) {
      failure = "out of memory";
    }
    asio::post(server.io, [self = std::move(self), part, step, failure] {
      if (self->state_ == State::kClosed) return;
      if (step == BodyStream::Step::kFailed) {
        std::fprintf(stderr, "%s: %s\n", self->rest_->subject(), failure.c_str());
        return self->close();
      }
      if (step == BodyStream::Step::kDone) self->rest_ = nullptr;
      std::string framed = !self->chunked_ ? *part : (part->empty() ? "" : chunk(*part)) + (self->rest_ ? "" : chunk(""));
      self->state_ = State::kWriting;
      self->body_ = std::make_shared<const std::string>(std::move(framed));
      self->written_ = 0;
      self->write_more();
    });
  });
}

// Writes what the client has not taken yet; every step that moves bytes gives it kWriteStall more.
void Connection::write_more() {
  asio::const_buffer head = asio::buffer(head_), body = body_ ? asio::buffer(*body_) : asio::const_buffer();
  if (written_ == head.size() + body.size()) return on_sent({});
  std::array<asio::const_buffer, 2> rest = {head + written_, body + (written_ - std::min(written_, head.size()))};
  arm(kWriteStall);
  socket_.async_write_some(rest, [self = shared_from_this()](error_code ec, size_t n) {
    if (ec || self->state_ != State::kWriting) return self->on_sent(ec);
    self->written_ += n;
    self->write_more();
  });
}

void Connection::on_sent(error_code ec) {
  if (state_ != State::kWriting) return;
  head_.clear();
  body_ = nullptr;
  if (ec) return close();
  if (rest_) return make_more();
  ++served_;
  if (keep_alive_) return wait_for_request();
  finish();
}

void Connection::refuse(int status) {
  keep_alive_ = false;
  buffer_.clear();
  parser_.reset();
  send(http_refusal(status));
}

// Ends a connection after its last reply. What the client may still be sending is read and
// dropped for a while first: closing with bytes unread would reset the connection, and the client
// could lose the reply.
void Connection::finish() {
  error_code ignored;
  socket_.shutdown(tcp::socket::shutdown_send, ignored);
  if (server_.stopping) return close();
  state_ = State::kDraining;
  scratch_ = std::make_unique<std::array<char, kDrainChunk>>();
  arm(kDrainTime);
  drain();
}

void Connection::drain() {
  socket_.async_read_some(asio::buffer(*scratch_), [self = shared_from_this()](error_code ec, size_t n) {
    self->drained_ += n;
    if (ec || self->state_ != State::kDraining || self->drained_ > kDrainBytes) return self->close();
    self->drain();
  });
}

void Connection::stop() {
  if (state_ == State::kAnswering || state_ == State::kWriting) {
    keep_alive_ = false;
    return;
  }
  close();
}

void Connection::close() {
  if (state_ == State::kClosed) return;
  state_ = State::kClosed;
  error_code ignored;
  socket_.close(ignored);
  deadline_.cancel();
  server_.forget(this, client_);
}

int Server::listen(const std::string& address, int port) {
  error_code ec;
  tcp::resolver resolver(io);
  auto found = resolver.resolve(address, std::to_string(port), tcp::resolver::passive, ec);
  if (ec || found.empty()) {
    errno = 0;
    return -1;
  }
  tcp::endpoint endpoint = found.begin()->endpoint();
  acceptor_.open(endpoint.protocol(), ec);
  if (!ec) acceptor_.set_option(tcp::acceptor::reuse_address(true), ec);
  if (!ec) acceptor_.bind(endpoint, ec);
  if (!ec) acceptor_.listen(asio::socket_base::max_listen_connections, ec);
  if (ec) {
    errno = ec.value();
    return -1;
  }
  return acceptor_.local_endpoint(ec).port();
}

void Server::run(Site& served) {
  site = &served;
  signals_.async_wait([this](error_code ec, int) {
    if (!ec) begin_stop();
  });
  accept();
  for (;;) {
    try {
      io.run();
      break;
    } catch (const std::exception& e) {
      // A handler short of memory loses its connection; the others go on.
      std::fprintf(stderr, "%s\n", e.what());
    }
  }
  workers.stop();  // tiles not started yet are dropped: their connections are closed already
  workers.join();
}

void Server::accept() {
  acceptor_.async_accept([this](error_code ec, tcp::socket socket) { on_accepted(ec, std::move(socket)); });
}

void Server::on_accepted(error_code ec, tcp::socket socket) {
  if (stopping || ec == asio::error::operation_aborted) return;
  if (ec) {
    retry_.expires_after(kAcceptRetry);
    retry_.async_wait([this](error_code) {
      if (!stopping) accept();
    });
    return;
  }
  accept();
  error_code ignored;
  std::string client = socket.remote_endpoint(ignored).address().to_string();
  if (!limits_.admit(client)) {
    socket.close(ignored);  // beyond a limit: closed at once
    return;
  }
  socket.set_option(tcp::no_delay(true), ignored);  // a reply goes out in one write; no waiting for acknowledgements
  auto connection = std::make_shared<Connection>(*this, std::move(socket), std::move(client));
  open_.insert(connection.get());
  connection->start();
}

void Server::forget(Connection* c, const std::string& client) {
  if (open_.erase(c) == 0) return;
  limits_.release(client);
  if (stopping && open_.empty()) end_stop();
}

void Server::begin_stop() {
  stopping = true;
  error_code ignored;
  acceptor_.close(ignored);
  retry_.cancel();
  std::vector<Connection*> open(open_.begin(), open_.end());
  for (Connection* c : open) c->stop();
  if (open_.empty()) return end_stop();
  grace_.expires_after(kStopGrace);
  grace_.async_wait([this](error_code ec) {
    if (!ec) end_stop();
  });
}

// Cuts what is still open and leaves the loop.
void Server::end_stop() {
  grace_.cancel();
  std::vector<Connection*> open(open_.begin(), open_.end());
  for (Connection* c : open) c->close();
  io.stop();
}

}  // namespace

TOOL_STATUS serve(const Options& o) {
  int workers = threads_or_cores(o.threads);
  // One heap per worker and one for the loop: more would keep freed tile buffers apiece.
  mallopt(M_ARENA_MAX, std::max(2, workers + 1));
  std::string message;
  std::unique_ptr<Images> images = Images::open(o.path, &message);
  if (!images) return failure(message);
  std::unique_ptr<TileMaker> maker = TileMaker::open(*images, static_cast<size_t>(o.rects_mb) << 20);
  if (!maker) return failure("out of memory opening \"" + o.path + "\"");
  images->on_forget([&maker](unsigned long serial) { maker->forget(serial); });

  std::signal(SIGPIPE, SIG_IGN);  // a client that hangs up is the write's failure, not the process's end
  try {
    Server server(o.cors, workers, ConnectionLimits(connections_allowed(o.connections, kMaxOpenHandles), o.per_client));
    int port = server.listen(o.bind, o.port);
    if (port < 0) {
      std::string why = errno != 0 ? std::string(": ") + std::strerror(errno) : "";
      return failure("cannot listen on " + url_host(o.bind, o.port) + why);
    }
    SiteSettings settings;
    settings.cache_bytes = static_cast<size_t>(o.cache_mb) << 20;
    settings.limits.max_area = o.max_area;
    settings.url = UrlSettings{o.base_url, o.trust_proxy, url_host(o.bind, port), o.bind == "::" || o.bind == "0.0.0.0"};
    Site site(*images, *maker, settings);
    std::printf("serving %s on http://%s/\n", o.path.c_str(), url_host(o.bind, port).c_str());
    std::fflush(stdout);
    server.run(site);
    images->on_forget(nullptr);
    return {};
  } catch (const std::exception& e) {
    return failure(std::string("the server stopped: ") + e.what());
  }
}

}  // namespace crserve
