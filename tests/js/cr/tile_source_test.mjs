// The tile source's geometry: OpenSeadragon's levels against the file's, and the level the first
// screen draws, whose rectangles the page reads before the viewer asks.
import assert from "node:assert/strict";
import { test } from "node:test";

import { levelGeometry } from "../../../web/cr/header.js";
import { homeLevel, osdMaxLevel } from "../../../web/cr/tile_source.js";

test("OpenSeadragon's finest level is the first whose 2^k covers the longer side", () => {
  for (const [width, height, level] of [[1, 1, 0], [3, 3, 2], [600, 400, 10], [1024, 7, 10], [1025, 7, 11], [16384, 16384, 14], [32767, 3, 15]]) {
    assert.equal(osdMaxLevel(width, height), level, `${width} x ${height}`);
  }
});

test("OpenSeadragon's level k is the file's level maxLevel - k, of the same size", () => {
  for (const [width, height] of [[1000, 600], [333, 77], [16384, 16384], [32767, 5]]) {
    levelGeometry(width, height, 256).levels.forEach((level, i) => {
      const scale = 2 ** i; // OpenSeadragon's level maxLevel - i
      assert.deepEqual([Math.ceil(width / scale), Math.ceil(height / scale)], [level.width, level.height], `${width} x ${height}, level ${i}`);
    });
  }
});

test("the first screen draws the finest level whose pixels are at least half a screen pixel", () => {
  const header = (side, coarsest) => ({ width: side, height: side, coarsest });
  assert.equal(homeLevel(header(4096, 10), 1280, 800), 2); // 800 / 4096 x 4 = 0.78; x 2 = 0.39
  assert.equal(homeLevel(header(16384, 12), 1280, 800), 4);
  assert.equal(homeLevel(header(16384, 12), 1024, 1024), 3); // exactly half a pixel: 1024 / 16384 x 8
  assert.equal(homeLevel(header(600, 7), 1280, 800), 0);
  assert.equal(homeLevel({ width: 32767, height: 3, coarsest: 0 }, 1280, 800), 0);
});
