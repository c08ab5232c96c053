// HTTP/1.1 as crserve speaks it, apart from sockets: refusals before the Site, request paths and
// reply heads. Pure functions, so the HTTP engine stays glue between these and the Site.
#include "http_messages.hpp"

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <utility>
#include <vector>

#include "protocols.hpp"

namespace crserve {

namespace {

using Field = std::pair<std::string, std::string>;

const char* reason(int status) {
  switch (status) {
    case 200: return "OK";
    case kNoContent: return "No Content";
    case kPartialContent: return "Partial Content";
    case kSeeOther: return "See Other";
    case kNotModified: return "Not Modified";
    case kBadRequest: return "Bad Request";
    case kNotFound: return "Not Found";
    case kMethodNotAllowed: return "Method Not Allowed";
    case kRangeNotSatisfiable: return "Range Not Satisfiable";
    case kHeaderTooLarge: return "Request Header Fields Too Large";
    case kServerError: return "Internal Server Error";
    case kNotImplemented: return "Not Implemented";
    default: return "Unknown";
  }
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string keep_alive_value() {
  return "timeout=" + std::to_string(kIdleTimeout.count()) + ", max=" + std::to_string(kKeepAliveRequests);
}

// Header names are compared without case, as HTTP does.
bool name_before(const Field& a, const Field& b) { return strcasecmp(a.first.c_str(), b.first.c_str()) < 0; }

constexpr const char* kAllowed = "GET, HEAD, OPTIONS";
// What a page of another origin reading a file by ranges needs to see of the replies.
constexpr const char* kExposedRangeHeaders = "Content-Range, Content-Length, Accept-Ranges, ETag";
constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
// How long a browser may keep the answer to a preflight, in seconds.
constexpr int kPreflightMaxAge = 86400;

// A list of header names as a preflight asks for them: tokens, commas and spaces only.
bool plain_header_list(std::string_view list) {
  if (list.size() > 1024) return false;
  for (char c : list)
    if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == ',' || c == ' ')) return false;
  return true;
}

// An entity tag without its weak mark.
std::string_view opaque(std::string_view tag) {
  while (!tag.empty() && (tag.front() == ' ' || tag.front() == '\t')) tag.remove_prefix(1);
  while (!tag.empty() && (tag.back() == ' ' || tag.back() == '\t')) tag.remove_suffix(1);
  return tag.starts_with("W/") ? tag.substr(2) : tag;
}

int number_at(std::string_view text, size_t at, size_t digits) {
  int n = 0;
  for (size_t i = at; i < at + digits; ++i) {
    if (i >= text.size() || text[i] < '0' || text[i] > '9') return -1;
    n = n * 10 + (text[i] - '0');
  }
  return n;
}

}  // namespace

int refusal_status(const RequestHead& head) {
  if (head.version != 10 && head.version != 11) return kBadRequest;
  if (head.method != "GET" && head.method != "HEAD" && head.method != "OPTIONS") return kMethodNotAllowed;
  if (head.fields > kMaxHeaderFields) return kHeaderTooLarge;
  if (head.announces_body) return kBadRequest;
  return 0;
}

Reply http_refusal(int status) {
  Reply reply;
  reply.status = status;
  const char* text = status == kMethodNotAllowed ? "method not allowed\n"
                     : status == kHeaderTooLarge ? "request header fields too large\n"
                     : status == kServerError    ? "out of memory\n"
                                                 : "bad request\n";
  reply.body = std::make_shared<const std::string>(text);
  if (status == kMethodNotAllowed) reply.headers.emplace_back("Allow", kAllowed);
  return reply;
}

Reply options_reply(bool cors, std::string_view requested_headers) {
  Reply reply;
  reply.status = kNoContent;
  reply.headers.emplace_back("Allow", kAllowed);
  if (!cors) return reply;
  reply.headers.emplace_back("Access-Control-Allow-Methods", kAllowed);
  if (!requested_headers.empty() && plain_header_list(requested_headers))
    reply.headers.emplace_back("Access-Control-Allow-Headers", std::string(requested_headers));
  reply.headers.emplace_back("Access-Control-Max-Age", std::to_string(kPreflightMaxAge));
  return reply;
}

std::string path_of_target(std::string_view target) {
  target = target.substr(0, target.find_first_of("?#"));
  std::string path;
  path.reserve(target.size());
  for (size_t i = 0; i < target.size(); ++i) {
    bool escape = target[i] == '%' && i + 2 < target.size();
    int high = escape ? hex_digit(target[i + 1]) : -1;
    int low = high >= 0 ? hex_digit(target[i + 2]) : -1;
    if (low < 0) {
      path += target[i];
      continue;
    }
    path += static_cast<char>(high * 16 + low);
    i += 2;
  }
  return path;
}

std::string query_of_target(std::string_view target) {
  target = target.substr(0, target.find('#'));
  size_t question = target.find('?');
  return question == std::string_view::npos ? "" : std::string(target.substr(question + 1));
}

std::string reply_head(const Reply& reply, const Framing& framing) {
  std::vector<Field> fields = reply.headers;
  bool bodiless = reply.status == kNotModified || reply.status == kNoContent;
  bool unknown_length = reply.rest && reply.length < 0;
  if (!bodiless && unknown_length && !framing.http10) fields.emplace_back("Transfer-Encoding", "chunked");
  if (!bodiless && !unknown_length)
    fields.emplace_back("Content-Length", std::to_string(reply.rest ? reply.length : reply.body ? reply.body->size() : 0));
  if (reply.byte_ranges) fields.emplace_back("Accept-Ranges", "bytes");
  if (reply.byte_ranges && framing.cors) fields.emplace_back("Access-Control-Expose-Headers", kExposedRangeHeaders);
  if (reply.body || reply.rest) fields.emplace_back("Content-Type", reply.content_type);
  if (!framing.date.empty()) fields.emplace_back("Date", framing.date);
  if (framing.cors) fields.emplace_back("Access-Control-Allow-Origin", "*");
  if (!framing.keep_alive) fields.emplace_back("Connection", "close");
  if (framing.keep_alive) fields.emplace_back("Keep-Alive", keep_alive_value());
  if (framing.keep_alive && framing.http10) fields.emplace_back("Connection", "keep-alive");
  std::stable_sort(fields.begin(), fields.end(), name_before);
  std::string head = "HTTP/1.1 " + std::to_string(reply.status) + " " + reason(reply.status) + "\r\n";
  for (const auto& [name, value] : fields) head += name + ": " + value + "\r\n";
  head += "\r\n";
  return head;
}

std::string chunk(std::string_view part) {
  char size[24];
  std::snprintf(size, sizeof size, "%zx\r\n", part.size());
  return size + std::string(part) + "\r\n";
}

std::string http_date(time_t t) {
  tm parts{};
  gmtime_r(&t, &parts);
  char text[40];
  std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d GMT", kDays[parts.tm_wday], parts.tm_mday,
                kMonths[parts.tm_mon], parts.tm_year + 1900, parts.tm_hour, parts.tm_min, parts.tm_sec);
  return text;
}

time_t parse_http_date(std::string_view text) {
  // "Sun, 06 Nov 1994 08:49:37 GMT": fixed places.
  if (text.size() != 29 || text.substr(3, 2) != ", " || text.substr(25) != " GMT") return -1;
  tm parts{};
  parts.tm_mday = number_at(text, 5, 2);
  parts.tm_mon = -1;
  for (int m = 0; m < 12; ++m)
    if (text.substr(8, 3) == kMonths[m]) parts.tm_mon = m;
  parts.tm_year = number_at(text, 12, 4) - 1900;
  parts.tm_hour = number_at(text, 17, 2);
  parts.tm_min = number_at(text, 20, 2);
  parts.tm_sec = number_at(text, 23, 2);
  if (parts.tm_mday < 1 || parts.tm_mon < 0 || parts.tm_year < 70 || parts.tm_hour < 0 || parts.tm_min < 0 ||
      parts.tm_sec < 0 || text[7] != ' ' || text[11] != ' ' || text[16] != ' ' || text[19] != ':' || text[22] != ':')
    return -1;
  return timegm(&parts);
}

bool matches_tag(std::string_view if_none_match, std::string_view tag) {
  if (opaque(if_none_match) == "*") return true;
  for (size_t start = 0; start <= if_none_match.size();) {
    size_t end = if_none_match.find(',', start);
    std::string_view one = if_none_match.substr(start, end == std::string_view::npos ? end : end - start);
    if (!opaque(one).empty() && opaque(one) == opaque(tag)) return true;
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
  return false;
}

}  // namespace crserve
