// The static viewer page: opens the CR file of ?src=URL, shows it in OpenSeadragon, and says in
// plain words what stops it: a host without byte ranges, a file that is not a CR file, a damaged
// rectangle (whose tile alone stays empty).
import { JpegDecoder } from "./decoder.js";
import { CrReader } from "./reader.js";
import { crTileSource, homeLevel } from "./tile_source.js";

const status = document.getElementById("status");
const failures = new Set();
const MAX_LINES = 5;
const MAX_PREFETCHED = 64;
const VIEWER_CACHE_BYTES = 32 << 20;

// The tiles OpenSeadragon keeps drawn, each holding its pixels: up to VIEWER_CACHE_BYTES of them,
// but never fewer than three screens' worth, which it needs to draw without fetching in a loop.
function viewerCacheTiles(rectSize) {
  const box = document.getElementById("viewer").getBoundingClientRect();
  const across = (side) => Math.ceil((side * devicePixelRatio) / rectSize) + 1;
  return Math.max(3 * across(box.width) * across(box.height), Math.floor(VIEWER_CACHE_BYTES / (4 * rectSize * rectSize)));
}

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
  await prefetchHomeView(reader);
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
    maxImageCacheCount: viewerCacheTiles(reader.header.rectSize),
  });
}

// Starts rebuilding the rectangles of the first screen, those of the level the whole image fits the
// window at, and returns once their blocks are being read: they arrive while the viewer sets itself
// up, which keeps the page's thread busy. Failures are told when the tiles ask for them.
async function prefetchHomeView(reader) {
  const box = document.getElementById("viewer").getBoundingClientRect();
  const first = homeLevel(reader.header, box.width * devicePixelRatio, box.height * devicePixelRatio);
  const { columns, rows } = reader.header.levels[first];
  if (columns * rows > MAX_PREFETCHED) return;
  for (let row = 0; row < rows; ++row) {
    for (let column = 0; column < columns; ++column) reader.rect(first, column, row).catch(() => {});
  }
  const tableRows = [];
  for (let level = first; level <= reader.header.coarsest; ++level) {
    for (let row = 0; row < reader.header.levels[level].rows; ++row) tableRows.push(reader.table.row(level, row));
  }
  await Promise.allSettled(tableRows);
  await new Promise((resolve) => setTimeout(resolve, 0)); // the blocks' reads go out first
}

main();
