// An OpenSeadragon tile source that draws a CR file read in the browser: tile (x, y) of
// OpenSeadragon's level k is rectangle (x, y) of CR level maxLevel - k, both halving sizes with
// rounding up, so the grids match; levels coarser than the file's coarsest are not offered. Each
// tile is handed over as a canvas of its rebuilt pixels; a rectangle that cannot be rebuilt fails
// its tile alone, through the viewer's tile-load-failed event, with the CrError as the message.

// The finest OpenSeadragon level of an image: the first k with 2^k >= its longer side.
export function osdMaxLevel(width, height) {
  let k = 0;
  while (2 ** k < Math.max(width, height)) ++k;
  return k;
}

// The finest CR level OpenSeadragon draws for an image fitted into a viewer of width x height
// screen pixels: the finest whose pixels are drawn at least minPixelRatio screen pixels wide.
export function homeLevel(header, width, height, minPixelRatio = 0.5) {
  const scale = Math.min(width / header.width, height / header.height);
  const level = Math.ceil(Math.log2(minPixelRatio / scale) - 1e-9);
  return Math.min(header.coarsest, Math.max(0, level));
}

// A tile source for OpenSeadragon (the library's namespace) over an open CrReader. onFailure, if
// given, hears every tile that fails, with the CrError.
export function crTileSource(OpenSeadragon, reader, { onFailure = () => {} } = {}) {
  const { width, height, rectSize, coarsest } = reader.header;
  const maxLevel = osdMaxLevel(width, height);
  const source = new OpenSeadragon.TileSource({
    width, height, tileSize: rectSize, tileOverlap: 0, minLevel: maxLevel - coarsest, maxLevel,
  });
  source.getTileUrl = (level, x, y) => `${reader.url}#cr-level=${maxLevel - level}&x=${x}&y=${y}`;
  source.hasTransparency = () => false;
  source.downloadTileStart = (job) => {
    const { level, x, y } = job.tile;
    reader.rect(maxLevel - level, x, y).then(
      (rect) => {
        if (job.userData.aborted) return;
        const canvas = document.createElement("canvas");
        canvas.width = rect.width;
        canvas.height = rect.height;
        const context = canvas.getContext("2d", { willReadFrequently: true });
        context.putImageData(new ImageData(rect.pixels, rect.width, rect.height), 0, 0);
        job.finish(context, null, "context2d");
      },
      (error) => {
        onFailure(error);
        if (!job.userData.aborted) job.fail(error.message, null);
      });
  };
  source.downloadTileAbort = (job) => {
    job.userData.aborted = true;
  };
  return source;
}
