// The address clients reach the server at, for the URLs written into replies (IIIF's `id`, the
// redirect of a service's base): "-base-url" when given; otherwise the scheme, host and path
// prefix a trusted proxy names (Forwarded, X-Forwarded-Proto, -Host, -Prefix); otherwise the Host
// header, and without one the address the server listens on, or for a wildcard one the address
// the connection arrived at. Only plain values are taken: a header fit for nothing else is ignored.
#pragma once

#include <string>
#include <string_view>

namespace crserve {

struct UrlSettings {
  std::string base_url;        // "-base-url", empty when not given
  bool trust_proxy = false;    // "-trust-proxy": the Forwarded and X-Forwarded-* headers are followed
  std::string listen_host;     // the address and port listened on, as in a URL
  bool wildcard_bind = false;  // listening on every address (:: or 0.0.0.0)
};

struct UrlHeaders {
  std::string_view host, forwarded, forwarded_proto, forwarded_host, forwarded_prefix;
  std::string_view local_host;  // the address and port the connection arrived at, as in a URL
};

// The URL of the server's root, without a trailing "/": "http://host:port" or
// "https://example.org/images".
std::string public_base(const UrlSettings& settings, const UrlHeaders& headers);

// A host fit to go into a URL: a name or address and an optional port, nothing else.
bool plain_host(std::string_view host);

// A URL or address as "-base-url" and "-bind" give it, made fit for a URL: an IPv6 address in
// brackets, and no trailing "/".
std::string url_host(const std::string& address, int port);
bool plain_base_url(std::string_view url);

}  // namespace crserve
