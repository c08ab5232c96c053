// The static viewer page: opens the CR file of ?src=URL, shows it in OpenSeadragon, and says in
// plain words what stops it: a host without byte ranges, a file that is not a CR file, a damaged
// rectangle (whose tile alone stays empty).
import { JpegDecoder } from "./decoder.js";
import { CrReader } from "./reader.js";
import { crTileSource } from "./tile_source.js";

const status = document.getElementById("status");
const failures = new Set();
const MAX_LINES = 5;

function say(line) {
  failures.add(line);
  const lines = [...failures];
  status.textContent = lines.slice(0, MAX_LINES).join("\n") + (lines.length > MAX_LINES ? `\n(and ${lines.length - MAX_LINES} more)` : "");
}

async function main() {
  const src = new URLSearchParams(location.search).get("src");
  if (!src) {
    say("Name the CR file to show in the page's address: static.html?src=FILE.cr");
    document.documentElement.dataset.cr = "failed";
    return;
  }
  const url = new URL(src, location.href).href;
  const decoder = new JpegDecoder();
  let reader;
  try {
    reader = await CrReader.open(url, { decodeJpeg: (bytes, w, h) => decoder.decode(bytes, w, h) });
  } catch (error) {
    decoder.close();
    say(`Cannot show ${src}: ${error.message}`);
    document.documentElement.dataset.cr = "failed";
    return;
  }
  window.crReader = reader;
  document.documentElement.dataset.cr = "open";
  window.viewer = OpenSeadragon({
    id: "viewer",
    prefixUrl: "openseadragon/images/",
    tileSources: crTileSource(OpenSeadragon, reader, { onFailure: (error) => say(`${src}: ${error.message}`) }),
    drawer: "canvas", // keeps the pixels readable by scripts
    showNavigator: true,
    showFullPageControl: true,
    maxZoomPixelRatio: 4,
    immediateRender: true,
    maxTilesPerFrame: 64, // a screen's tiles asked for at once, so that their reads merge
  });
}

main();
