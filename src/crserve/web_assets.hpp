// The viewer page and OpenSeadragon, built into the program from web/ and third_party/openseadragon/
// so that the server needs no file beside it.
#pragma once

#include <string_view>

namespace crserve {

struct WebAsset {
  std::string_view path;  // as requested, e.g. "/openseadragon/openseadragon.min.js"
  std::string_view content_type;
  std::string_view bytes;
};

// The asset served at `path`; null when there is none.
const WebAsset* find_web_asset(std::string_view path);

}  // namespace crserve
