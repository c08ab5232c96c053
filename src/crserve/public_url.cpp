// Chooses the public base URL of a reply from the settings and the request's headers; pure.
#include "public_url.hpp"

#include <cctype>

namespace crserve {

namespace {

std::string_view trimmed(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

// The first of a comma-separated list: the value the proxy nearest the client wrote.
std::string_view first_of(std::string_view list) { return trimmed(list.substr(0, list.find(','))); }

bool plain_scheme(std::string_view s) { return s == "http" || s == "https"; }

// A path prefix of letters, digits, "-._~%" and "/", starting with "/".
bool plain_prefix(std::string_view p) {
  if (p.empty() || p.front() != '/' || p.size() > 1024) return false;
  for (char c : p)
    if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.' || c == '_' || c == '~' || c == '%' ||
          c == '/'))
      return false;
  return true;
}

// The value of `name` in the first element of a Forwarded header ("for=...;proto=https;host=x").
std::string_view forwarded_value(std::string_view header, std::string_view name) {
  std::string_view element = first_of(header);
  for (size_t start = 0; start <= element.size();) {
    size_t end = element.find(';', start);
    std::string_view pair = trimmed(element.substr(start, end == std::string_view::npos ? end : end - start));
    size_t eq = pair.find('=');
    if (eq != std::string_view::npos && pair.substr(0, eq).size() == name.size()) {
      bool same = true;
      for (size_t i = 0; i < name.size(); ++i)
        same = same && std::tolower(static_cast<unsigned char>(pair[i])) == name[i];
      std::string_view value = pair.substr(eq + 1);
      if (value.size() >= 2 && value.front() == '"' && value.back() == '"') value = value.substr(1, value.size() - 2);
      if (same) return value;
    }
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
  return {};
}

}  // namespace

bool plain_host(std::string_view host) {
  if (host.empty() || host.size() > 255) return false;
  for (char c : host)
    if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == ':' || c == '[' || c == ']'))
      return false;
  return true;
}

bool plain_base_url(std::string_view url) {
  size_t colon = url.find("://");
  if (colon == std::string_view::npos || !plain_scheme(url.substr(0, colon))) return false;
  std::string_view rest = url.substr(colon + 3);
  size_t slash = rest.find('/');
  std::string_view prefix = slash == std::string_view::npos ? std::string_view() : rest.substr(slash);
  return plain_host(rest.substr(0, slash)) && (prefix.empty() || plain_prefix(prefix));
}

std::string url_host(const std::string& address, int port) {
  bool ipv6 = address.find(':') != std::string::npos;
  return (ipv6 ? "[" + address + "]" : address) + ":" + std::to_string(port);
}

std::string public_base(const UrlSettings& settings, const UrlHeaders& headers) {
  if (!settings.base_url.empty()) return settings.base_url;
  std::string_view scheme = "http", host = headers.host, prefix;
  if (settings.trust_proxy) {
    std::string_view proto = headers.forwarded.empty() ? first_of(headers.forwarded_proto)
                                                       : forwarded_value(headers.forwarded, "proto");
    std::string_view named = headers.forwarded.empty() ? first_of(headers.forwarded_host)
                                                       : forwarded_value(headers.forwarded, "host");
    if (plain_scheme(proto)) scheme = proto;
    if (plain_host(named)) host = named;
    std::string_view p = first_of(headers.forwarded_prefix);
    while (p.size() > 1 && p.back() == '/') p.remove_suffix(1);
    if (plain_prefix(p) && p != "/") prefix = p;
  }
  if (!plain_host(host)) host = settings.wildcard_bind && plain_host(headers.local_host) ? headers.local_host
                                                                                         : settings.listen_host;
  return std::string(scheme) + "://" + std::string(host) + std::string(prefix);
}

}  // namespace crserve
