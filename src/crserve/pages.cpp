// Fills the viewer page and writes the list of images: plain string building, every value escaped.
#include "pages.hpp"

#include <cctype>
#include <cstdio>

namespace crserve {

namespace {

void replace_all(std::string& text, std::string_view from, std::string_view to) {
  for (size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size()) text.replace(at, from.size(), to);
}

std::string size_text(int w, int h) { return std::to_string(w) + " × " + std::to_string(h); }

std::string list_item(const PageImage& image) {
  std::string view = "view/" + image.encoded_id;
  std::string thumb = "iiif/" + image.encoded_id + "/full/" + std::to_string(image.thumb_w) + "," +
                      std::to_string(image.thumb_h) + "/0/default.jpg";
  return "<li><a href=\"" + view + "\"><img loading=\"lazy\" alt=\"\" src=\"" + thumb + "\" width=\"" +
         std::to_string(image.thumb_w) + "\" height=\"" + std::to_string(image.thumb_h) + "\"></a><a href=\"" + view +
         "\">" + html_escaped(image.name) + "</a><span>" + size_text(image.width, image.height) + "</span></li>\n";
}

std::string page_link(int page, std::string_view text) {
  return "<a href=\"?page=" + std::to_string(page) + "\">" + std::string(text) + "</a>";
}

}  // namespace

std::string percent_encoded(std::string_view name) {
  std::string out;
  for (unsigned char c : name) {
    if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
      out += static_cast<char>(c);
      continue;
    }
    char escape[4];
    std::snprintf(escape, sizeof escape, "%%%02X", c);
    out += escape;
  }
  return out;
}

std::string html_escaped(std::string_view text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default: out += c;
    }
  }
  return out;
}

std::string viewer_page(std::string_view page_template, const PageImage& image) {
  bool single = image.encoded_id.empty();
  std::string page(page_template);
  replace_all(page, "{{NAME}}", html_escaped(image.name));
  replace_all(page, "{{WIDTH}}", std::to_string(image.width));
  replace_all(page, "{{HEIGHT}}", std::to_string(image.height));
  replace_all(page, "{{ROOT}}", single ? "" : "../");
  replace_all(page, "{{DZI}}", single ? "image.dzi" : "../dzi/" + image.encoded_id + ".dzi");
  replace_all(page, "{{IIIF}}", single ? "iiif/info.json" : "../iiif/" + image.encoded_id + "/info.json");
  return page;
}

std::string listing_page(const std::vector<PageImage>& images, int page, int pages, size_t total) {
  std::string html =
      "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
      "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n<title>crserve: " +
      std::to_string(total) + " images</title>\n<style>\n"
      "  body { margin: 1em; background: #222; color: #eee; font: 14px/1.4 system-ui, sans-serif; }\n"
      "  a { color: #9cf; }\n  ul { list-style: none; padding: 0; display: flex; flex-wrap: wrap; gap: 12px; }\n"
      "  li { width: 180px; display: flex; flex-direction: column; align-items: center; text-align: center; "
      "overflow-wrap: anywhere; }\n"
      "  img { width: 160px; height: 160px; object-fit: contain; background: #111; image-rendering: auto; }\n"
      "  span { color: #aaa; }\n</style>\n</head>\n<body>\n<h1>" +
      std::to_string(total) + " images</h1>\n<ul>\n";
  for (const PageImage& image : images) html += list_item(image);
  html += "</ul>\n<p>";
  // Appended piece by piece: g++ 12 misreads "literal" + std::string as an overflow.
  if (page > 1) html.append(page_link(page - 1, "previous")).append(" ");
  html.append("page ").append(std::to_string(page)).append(" of ").append(std::to_string(pages));
  if (page < pages) html.append(" ").append(page_link(page + 1, "next"));
  html += "</p>\n</body>\n</html>\n";
  return html;
}

}  // namespace crserve
