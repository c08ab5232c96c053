// The header and the level geometry of CR files: the table layout ppm2r64 writes, odd sizes and
// the smallest levels, and the refusal of files that are not CR files or lack part of their table.
import assert from "node:assert/strict";
import { test } from "node:test";

import { CUT_SHORT, NOT_CR } from "../../../web/cr/errors.js";
import { levelGeometry, parseHeader, rectOf } from "../../../web/cr/header.js";

function header(width, height, side, entries = 0) {
  const bytes = new Uint8Array(16);
  const view = new DataView(bytes.buffer);
  bytes.set([0x43, 0x52, 0x00]);
  view.setInt16(4, width);
  view.setInt16(6, height);
  view.setUint16(8, side);
  view.setUint32(12, entries);
  return bytes;
}

test("levels halve rounding up, each with its first table entry", () => {
  const table = [
    // width, height, side: level sizes, first entries, bytes before the blocks
    [1000, 600, 256, ["1000x600", "500x300", "250x150", "125x75", "63x38", "32x19", "16x10", "8x5", "4x3"], [0, 12, 16, 17, 18, 19, 20, 21, 22], 304],
    [1000, 600, 64, ["1000x600", "500x300", "250x150", "125x75", "63x38", "32x19", "16x10", "8x5", "4x3"], [0, 160, 200, 212, 216, 217, 218, 219, 220], 2680],
    [333, 77, 64, ["333x77", "167x39", "84x20", "42x10", "21x5", "11x3"], [0, 12, 15, 17, 18, 19], 16 + 12 * 21],
    [3, 3, 64, ["3x3"], [0], 40],
    [5, 4, 256, ["5x4"], [0], 40],
    [32767, 3, 256, ["32767x3"], [0], 16 + 12 * 192],
  ];
  for (const [width, height, side, sizes, firsts, dataStart] of table) {
    const h = parseHeader(header(width, height, side));
    const name = `${width} x ${height} in ${side}`;
    assert.deepEqual(h.levels.map((l) => `${l.width}x${l.height}`), sizes, name);
    assert.deepEqual(h.levels.map((l) => l.firstEntry), firsts, name);
    assert.equal(h.dataStart, dataStart, name);
    assert.equal(h.coarsest, sizes.length - 1, name);
  }
});

test("the rectangles of a level's right and bottom edges are clipped to it", () => {
  const h = parseHeader(header(333, 77, 64));
  assert.deepEqual(rectOf(h, 0, 5, 1), { level: 0, column: 5, row: 1, x: 320, y: 64, width: 13, height: 13 });
  assert.deepEqual(rectOf(h, 1, 2, 0), { level: 1, column: 2, row: 0, x: 128, y: 0, width: 39, height: 39 });
  assert.equal(levelGeometry(333, 77, 64).levels[0].columns, 6);
});

test("refuses what is not a CR header, and a file cut inside its table", () => {
  const refusals = [
    [new Uint8Array(0), NOT_CR, /empty/],
    [new TextEncoder().encode("P6\n600 400\n255\n......"), NOT_CR, /not a CR file/],
    [header(600, 400, 64).subarray(0, 10), CUT_SHORT, /cut short/],
    [header(0, 400, 64), NOT_CR, /0 x 400/],
    [header(600, 400, 0), NOT_CR, /rectangles of 0/],
    [header(600, 400, 512), NOT_CR, /rectangles of 512/],
    [header(2, 400, 64), NOT_CR, /no level/],
  ];
  for (const [bytes, kind, message] of refusals) {
    assert.throws(() => parseHeader(bytes), (e) => e.kind === kind && message.test(e.message));
  }
  // 1000 x 600 in 256 lays out 24 entries: the blocks start at 304.
  assert.throws(() => parseHeader(header(1000, 600, 256), 303), (e) => e.kind === CUT_SHORT && /table ends at byte 304/.test(e.message));
  assert.equal(parseHeader(header(1000, 600, 256), 304).dataStart, 304);
});
