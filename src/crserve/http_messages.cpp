// HTTP/1.1 as crserve speaks it, apart from sockets: refusals before the Site, request paths and
// reply heads. Pure functions, so the HTTP engine stays glue between these and the Site.
#include "crserve/http_messages.hpp"

#include <strings.h>

#include <algorithm>
#include <utility>
#include <vector>

#include "crserve/protocols.hpp"

namespace crserve {

namespace {

using Field = std::pair<std::string, std::string>;

const char* reason(int status) {
  switch (status) {
    case 200: return "OK";
    case 304: return "Not Modified";
    case kBadRequest: return "Bad Request";
    case kNotFound: return "Not Found";
    case kMethodNotAllowed: return "Method Not Allowed";
    case kHeaderTooLarge: return "Request Header Fields Too Large";
    case kServerError: return "Internal Server Error";
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

}  // namespace

int refusal_status(const RequestHead& head) {
  if (head.version != 10 && head.version != 11) return kBadRequest;
  if (head.method != "GET" && head.method != "HEAD") return kMethodNotAllowed;
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
  if (status == kMethodNotAllowed) reply.headers.emplace_back("Allow", "GET, HEAD");
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

std::string reply_head(const Reply& reply, const Framing& framing) {
  std::vector<Field> fields = reply.headers;
  size_t length = reply.body ? reply.body->size() : 0;
  fields.emplace_back("Content-Length", std::to_string(length));
  if (reply.body) fields.emplace_back("Content-Type", reply.content_type);
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

}  // namespace crserve
