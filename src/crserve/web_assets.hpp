// The viewer page and OpenSeadragon, built into the program from web/ and third_party/openseadragon/
// so that the server needs no file beside it.
#pragma once

#include <span>
#include <string_view>

namespace crserve {

struct WebAsset {
  std::string_view path;  // as requested, e.g. "/openseadragon/openseadragon.min.js"
  std::string_view content_type;
  std::string_view bytes;
};

// Every asset, each served at its path.
std::span<const WebAsset> web_assets();

}  // namespace crserve
