// The HTML the server writes: the viewer page of one image, filled into web/index.html, and the
// list of a folder's images. Every URL in them is relative to the page, so that they work under
// whatever path a proxy serves them at.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace crserve {

// An image as a page shows it.
struct PageImage {
  std::string name;         // shown: the path below the folder, or the file's name
  std::string encoded_id;   // the name as one path segment (percent-encoded); empty for a single file
  int width = 0, height = 0;
  int thumb_w = 0, thumb_h = 0;  // a size the image is offered at whole, for the list
};

// The viewer page: `page_template` with its {{NAME}}, {{WIDTH}}, {{HEIGHT}}, {{ROOT}}, {{DZI}} and
// {{IIIF}} filled. The page of a single file is the server's root; a folder's are /view/{id}.
std::string viewer_page(std::string_view page_template, const PageImage& image);

// The list of a folder's images, page `page` (from 1) of `pages`, `total` images in all.
std::string listing_page(const std::vector<PageImage>& images, int page, int pages, size_t total);

// A name as one path segment: every byte but letters, digits and "-._~" as %XX.
std::string percent_encoded(std::string_view name);
// Text fit for HTML content and attribute values.
std::string html_escaped(std::string_view text);

}  // namespace crserve
