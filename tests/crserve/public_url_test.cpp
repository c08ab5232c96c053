// The public address replies name: -base-url first, then a trusted proxy's headers, then Host, and
// without one the address listened on or, for a wildcard one, the one the connection arrived at.
#include <gtest/gtest.h>

#include "crserve/public_url.hpp"

using namespace crserve;

namespace {

UrlHeaders with(std::string_view host, std::string_view forwarded = "", std::string_view proto = "",
                std::string_view forwarded_host = "", std::string_view prefix = "", std::string_view local = "") {
  return UrlHeaders{host, forwarded, proto, forwarded_host, prefix, local};
}

TEST(PublicBase, FromTheSettingsTheProxyAndTheRequest) {
  const UrlSettings plain{"", false, "127.0.0.1:8080", false};
  const UrlSettings trusting{"", true, "127.0.0.1:8080", false};
  const UrlSettings fixed{"https://images.example.org/museum", true, "127.0.0.1:8080", false};
  const UrlSettings wildcard{"", false, "[::]:8080", true};
  struct Case {
    const char* what;
    UrlSettings settings;
    UrlHeaders headers;
    const char* base;
  };
  const Case cases[] = {
      {"Host", plain, with("photos.example:9000"), "http://photos.example:9000"},
      {"no Host", plain, with(""), "http://127.0.0.1:8080"},
      {"a Host unfit for a URL", plain, with("evil\",\"x"), "http://127.0.0.1:8080"},
      {"proxy headers untrusted", plain, with("h", "proto=https;host=x.org", "https", "x.org", "/p"), "http://h"},
      {"Forwarded", trusting, with("h", "for=1.2.3.4;proto=https;host=x.org"), "https://x.org"},
      {"Forwarded quoted, case", trusting, with("h", "For=1.2.3.4; Proto=https; Host=\"x.org:8443\""), "https://x.org:8443"},
      {"Forwarded, first proxy", trusting, with("h", "proto=https;host=a.org, proto=http;host=b.org"), "https://a.org"},
      {"Forwarded over X-Forwarded", trusting, with("h", "host=a.org", "https", "b.org"), "http://a.org"},
      {"X-Forwarded-*", trusting, with("h", "", "https", "x.org", "/images/coffee/"), "https://x.org/images/coffee"},
      {"X-Forwarded lists", trusting, with("h", "", "https, http", "x.org, y.org", "/a, /b"), "https://x.org/a"},
      {"odd scheme ignored", trusting, with("h", "", "ftp", "", ""), "http://h"},
      {"odd prefix ignored", trusting, with("h", "", "", "", "/a\"><script>"), "http://h"},
      {"relative prefix ignored", trusting, with("h", "", "", "", "images"), "http://h"},
      {"prefix of one slash", trusting, with("h", "", "", "", "/"), "http://h"},
      {"odd proxy host, Host instead", trusting, with("h", "", "", "a b", ""), "http://h"},
      {"-base-url", fixed, with("h", "host=x.org", "http", "y.org", "/p"), "https://images.example.org/museum"},
      {"wildcard, no Host", wildcard, with("", "", "", "", "", "127.0.0.7:8080"), "http://127.0.0.7:8080"},
      {"wildcard, IPv6, no Host", wildcard, with("", "", "", "", "", "[::1]:8080"), "http://[::1]:8080"},
      {"wildcard, Host", wildcard, with("h:1", "", "", "", "", "127.0.0.7:8080"), "http://h:1"},
      {"not wildcard, no Host", plain, with("", "", "", "", "", "127.0.0.7:8080"), "http://127.0.0.1:8080"},
  };
  for (const Case& c : cases) EXPECT_EQ(public_base(c.settings, c.headers), c.base) << c.what;
}

TEST(PublicBase, BaseUrlsAndHostsFitForAUrl) {
  for (const char* good : {"http://h", "https://h.example:8443/a/b", "http://[::1]:80/x", "http://127.0.0.1"})
    EXPECT_TRUE(plain_base_url(good)) << good;
  for (const char* bad : {"", "h", "ftp://h", "http://", "http://a b", "http://h/a b", "http://h/a\"", "http://h/<",
                          "javascript:alert(1)", "http://h?x=1"})
    EXPECT_FALSE(plain_base_url(bad)) << bad;
  EXPECT_EQ(url_host("::", 8080), "[::]:8080");
  EXPECT_EQ(url_host("127.0.0.1", 80), "127.0.0.1:80");
}

}  // namespace
