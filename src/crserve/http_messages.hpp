// HTTP/1.1 as crserve speaks it, apart from sockets: the limits a connection lives within, which
// requests are refused before the Site sees them, the path a request target names, and the head
// written before a reply's body.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>
#include <ctime>

#include "site.hpp"

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

inline constexpr int kNoContent = 204;
inline constexpr int kPartialContent = 206;
inline constexpr int kSeeOther = 303;
inline constexpr int kNotModified = 304;
inline constexpr int kMethodNotAllowed = 405;
inline constexpr int kRangeNotSatisfiable = 416;
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
// but GET, HEAD and OPTIONS, 431 for too many header lines; 0 when it is answered.
int refusal_status(const RequestHead& head);
// The reply of such a refusal, or of a request that failed short of memory (500): a line of
// text, and for 405 the methods allowed.
Reply http_refusal(int status);

// The answer to OPTIONS: with CORS on, a preflight's (the methods, the headers the request asks
// for, how long a browser may keep the answer); without, the methods allowed.
Reply options_reply(bool cors, std::string_view requested_headers);

// The path a request target names: what follows a '?' or '#' dropped, %XX escapes decoded (a '%'
// without two hex digits after it stays as it is).
std::string path_of_target(std::string_view target);
// The query of a request target: what follows its first '?', up to a '#'.
std::string query_of_target(std::string_view target);

struct Framing {
  bool keep_alive = false;  // the connection stays open for the next request
  bool http10 = false;      // the request was HTTP/1.0, so keeping alive must be said
  bool cors = false;        // Access-Control-Allow-Origin: * for pages of any origin
  std::string date;         // the Date header's value
};

// The status line and header lines of `reply`, ending with the blank line; the headers in the
// order of their names. A body whose length is not known yet (a reply with the rest to come and no
// length) is sent chunked, or to HTTP/1.0 until the connection closes (keep_alive must then be
// false). A file's bytes say that ranges are answered, and with CORS let pages read how.
std::string reply_head(const Reply& reply, const Framing& framing);
// A part of a chunked body, framed; an empty part ends the body.
std::string chunk(std::string_view part);

// Dates as HTTP writes them ("Sun, 06 Nov 1994 08:49:37 GMT"), and read back: -1 when the text is
// not such a date.
std::string http_date(time_t t);
time_t parse_http_date(std::string_view text);

// Whether an If-None-Match header holds `tag` by the weak comparison (W/ ignored), or is "*".
bool matches_tag(std::string_view if_none_match, std::string_view tag);

}  // namespace crserve
