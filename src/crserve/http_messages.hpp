// HTTP/1.1 as crserve speaks it, apart from sockets: the limits a connection lives within, which
// requests are refused before the Site sees them, the path a request target names, and the head
// written before a reply's body.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>

#include "crserve/site.hpp"

namespace crserve {

// A connection waits this long for the next request, costing a socket and no thread.
inline constexpr std::chrono::seconds kIdleTimeout{15};
// A request's head must arrive whole within this time of its first byte, however it trickles in.
inline constexpr std::chrono::seconds kHeaderDeadline{5};
// A client that takes nothing of its reply for this long has its connection cut; one that takes
// it slowly but steadily (a phone on a poor line fetching the viewer's script) gets it whole.
inline constexpr std::chrono::seconds kWriteStall{10};
// After a refusal, what the client still sends is read and dropped for this long (or up to
// kDrainBytes), so that closing does not reset the connection before the client reads the refusal.
inline constexpr std::chrono::milliseconds kDrainTime{1000};
inline constexpr size_t kDrainBytes = 1 << 20;
// Replies in flight at SIGINT or SIGTERM are finished for this long, then cut.
inline constexpr std::chrono::milliseconds kStopGrace{500};
// Requests served on one connection before it is closed.
inline constexpr int kKeepAliveRequests = 1000;
// A request head (its request line and header lines) beyond either gets 431.
inline constexpr size_t kMaxHeaderBytes = 16 * 1024;
inline constexpr size_t kMaxHeaderFields = 100;

inline constexpr int kMethodNotAllowed = 405;
inline constexpr int kHeaderTooLarge = 431;
inline constexpr int kServerError = 500;

// What the server takes from a request's head.
struct RequestHead {
  std::string_view method;
  int version = 11;             // 10 or 11 for HTTP/1.0 and 1.1
  size_t fields = 0;            // header lines
  bool announces_body = false;  // a Content-Length above 0 or a Transfer-Encoding
};

// The status a request is refused with before the Site sees it, its connection closed: 400 for an
// HTTP version other than 1.0 and 1.1 or a body (no request served carries one), 405 for a method
// but GET and HEAD, 431 for too many header lines; 0 when the Site answers it.
int refusal_status(const RequestHead& head);
// The reply of such a refusal, or of a request that failed short of memory (500): a line of
// text, and for 405 the methods allowed.
Reply http_refusal(int status);

// The path a request target names: what follows a '?' or '#' dropped, %XX escapes decoded (a '%'
// without two hex digits after it stays as it is).
std::string path_of_target(std::string_view target);

struct Framing {
  bool keep_alive = false;  // the connection stays open for the next request
  bool http10 = false;      // the request was HTTP/1.0, so keeping alive must be said
  bool cors = false;        // Access-Control-Allow-Origin: * for pages of any origin
};

// The status line and header lines of `reply`, ending with the blank line; the headers in the
// order of their names.
std::string reply_head(const Reply& reply, const Framing& framing);

}  // namespace crserve
