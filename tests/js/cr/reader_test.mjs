// The reader against files made by the built ppm2r64: every level of photos and of an odd-sized
// image, classic and efficient blocks, rebuilt sample for sample as cr2ppm rebuilds it; what a
// rectangle costs in requests and bytes; the refusals (a foreign file, a table cut short, a block
// past the end of the file, damaged blocks, each failing its own rectangles alone); and the bound
// of the cache of rebuilt rectangles.
import assert from "node:assert/strict";
import { copyFileSync, readFileSync, statSync, truncateSync, writeFileSync } from "node:fs";
import path from "node:path";
import { test } from "node:test";

import { CUT_SHORT, DAMAGED, MISSING, NOT_CR } from "../../../web/cr/errors.js";
import { CrReader } from "../../../web/cr/reader.js";
import { ENTRY_BYTES, HEADER_BYTES } from "../../../web/cr/header.js";
import { parseEntry } from "../../../web/cr/table.js";
import { cr2ppmLevel, djpeg, fileHost, makeCr, rgbOf, samples, scratch, writePpm } from "../support.mjs";

const dir = scratch();
const odd = writePpm(path.join(dir, "odd.ppm"), 333, 77, (x, y) => [(x * 7 + y * 3) & 255, (x * y) & 255, (x ^ y) & 255]);
const coffee = path.join(samples, "coffee.ppm");

function open(file, options = {}) {
  return CrReader.open(`file://${file}`, { fetch: fileHost(file, options), decodeJpeg: djpeg, ...options });
}

// The entry of the rectangle in `column` and `row` of `level`, read straight from the file.
function entryOf(file, reader, level, column, row) {
  const { firstEntry, columns } = reader.header.levels[level];
  return parseEntry(readFileSync(file), HEADER_BYTES + ENTRY_BYTES * (firstEntry + row * columns + column));
}

const files = [
  ["coffee, classic blocks of 64", coffee, ["-crsize", "64"]],
  ["coffee, efficient blocks of 128", coffee, ["-crsize", "128", "-crmode", "efficient"]],
  ["333 x 77, classic blocks of 64", odd, ["-crsize", "64"]],
  ["333 x 77, efficient blocks of 256", odd, ["-crmode", "efficient"]],
];

test("every level comes back as cr2ppm rebuilds it", async () => {
  for (const [name, image, options] of files) {
    const file = makeCr(dir, name.replace(/\W+/g, "-"), image, options);
    const reader = await open(file);
    for (let level = 0; level <= reader.header.coarsest; ++level) {
      const { width, height } = reader.header.levels[level];
      const expected = cr2ppmLevel(file, level);
      assert.deepEqual([width, height], [expected.width, expected.height], `${name}, level ${level}`);
      const got = rgbOf(await reader.region(level, 0, 0, width, height));
      assert.ok(got.equals(expected.rgb), `${name}, level ${level}: the samples differ`);
    }
    assert.ok(reader.stats.requests < 10 + reader.header.coarsest, `${name}: ${reader.stats.requests} requests`);
  }
});

test("a region at an odd place is cut from its rectangles", async () => {
  const file = makeCr(dir, "odd-region", odd, ["-crsize", "64"]);
  const reader = await open(file);
  const level = cr2ppmLevel(file, 1);
  const [x, y, w, h] = [61, 3, 70, 30];
  const expected = Buffer.alloc(3 * w * h);
  for (let row = 0; row < h; ++row) level.rgb.copy(expected, 3 * row * w, 3 * ((y + row) * level.width + x), 3 * ((y + row) * level.width + x + w));
  assert.ok(rgbOf(await reader.region(1, x, y, w, h)).equals(expected));
});

test("a rectangle costs the table rows and blocks of its chain; its rebuilt parent serves its siblings", async () => {
  const file = makeCr(dir, "coffee-chain", coffee, ["-crsize", "64"]);
  const log = [];
  const reader = await open(file, { log });
  await reader.rect(0, 5, 3);
  const size = statSync(file).size;
  assert.ok(log.every(([start, end]) => end - start < size / 4), `requests: ${JSON.stringify(log)}`);
  assert.ok(log.length <= 2 + reader.header.levels.length, `${log.length} requests`);
  const before = log.length;
  await reader.rect(0, 5, 3);
  assert.equal(log.length, before, "a rebuilt rectangle is not read again");
  await reader.rect(0, 4, 3);
  const sibling = entryOf(file, reader, 0, 4, 3);
  assert.deepEqual(log.slice(before), [[sibling.offset, sibling.offset + sibling.size]], "a sibling costs its block alone");
});

test("the cache of rebuilt rectangles stays within its bound", async () => {
  const file = makeCr(dir, "coffee-cache", coffee, ["-crsize", "64"]);
  const bound = 3 * 64 * 64 * 4;
  const reader = await open(file, { cacheBytes: bound });
  const expected = cr2ppmLevel(file, 0);
  const got = rgbOf(await reader.region(0, 0, 0, 600, 400));
  assert.ok(got.equals(expected.rgb));
  assert.ok(reader.cache.bytes <= bound && reader.cache.rects.size > 0, `${reader.cache.bytes} bytes cached`);
});

test("refuses a file that is not a CR file, and one cut inside its table", async () => {
  await assert.rejects(open(coffee), (e) => e.kind === NOT_CR);
  const cut = path.join(dir, "cut.cr");
  copyFileSync(makeCr(dir, "coffee-cut", coffee, ["-crsize", "64"]), cut);
  const reader = await open(cut);
  truncateSync(cut, reader.header.dataStart - 1);
  await assert.rejects(open(cut), (e) => e.kind === CUT_SHORT && /cut short/.test(e.message));
});

// The rectangle of level 0 whose block comes last in the file.
function lastBlock(file, reader) {
  let last = null;
  const { columns, rows } = reader.header.levels[0];
  for (let row = 0; row < rows; ++row) {
    for (let column = 0; column < columns; ++column) {
      const entry = entryOf(file, reader, 0, column, row);
      if (!last || entry.offset > last.entry.offset) last = { column, row, entry };
    }
  }
  return last;
}

test("a block past the end of the file fails its rectangle alone", async () => {
  const file = path.join(dir, "short.cr");
  copyFileSync(makeCr(dir, "coffee-short", coffee, ["-crsize", "64"]), file);
  const { column, row, entry } = lastBlock(file, await open(file));
  truncateSync(file, entry.offset + entry.size - 1);
  const reader = await open(file);
  const log = [];
  reader.ranges.fetch = fileHost(file, { log });
  await assert.rejects(reader.rect(0, column, row),
    (e) => e.kind === MISSING && e.message.startsWith(`rectangle (${64 * column}, ${64 * row}) of level 0 is missing or cut short`));
  assert.ok(log.every(([start]) => start !== entry.offset), "a block known to run past the end is not asked for");
  await reader.rect(0, column - 1, row);
});

test("a damaged block fails its rectangle, and a damaged parent its children, alone", async () => {
  const file = path.join(dir, "damaged.cr");
  copyFileSync(makeCr(dir, "coffee-damaged", coffee, ["-crsize", "64"]), file);
  const reader0 = await open(file);
  const bytes = readFileSync(file);
  const jpeg = entryOf(file, reader0, 0, 3, 2);
  bytes.fill(0x55, jpeg.offset + 2, jpeg.offset + jpeg.size); // the stream's markers gone
  const parent = entryOf(file, reader0, 1, 4, 0);
  bytes.fill(0xff, parent.offset + parent.size - 80, parent.offset + parent.size - 40); // markers amid its data
  writeFileSync(file, bytes);
  const reader = await open(file);
  await assert.rejects(reader.rect(0, 3, 2), (e) => e.kind === DAMAGED && e.message.startsWith("rectangle (192, 128) of level 0 is damaged"));
  await assert.rejects(reader.rect(0, 8, 1), (e) => e.kind === DAMAGED && e.message.startsWith("rectangle (256, 0) of level 1 is damaged"));
  const expected = cr2ppmLevel(makeCr(dir, "coffee-damaged", coffee, ["-crsize", "64"]), 0);
  const got = rgbOf(await reader.region(0, 0, 0, 192, 128));
  for (let row = 0; row < 128; ++row) assert.ok(got.subarray(576 * row, 576 * (row + 1)).equals(expected.rgb.subarray(1800 * row, 1800 * row + 576)));
});

test("entries that cannot be right fail their rectangle before anything is read", async () => {
  const file = path.join(dir, "entries.cr");
  copyFileSync(makeCr(dir, "coffee-entries", coffee, ["-crsize", "64"]), file);
  const reader0 = await open(file);
  const bytes = readFileSync(file);
  const at = (column) => HEADER_BYTES + ENTRY_BYTES * column; // level 0, row 0
  bytes.writeUInt32BE(2 << 20, at(0) + 8); // a block longer than any of 64 x 64
  bytes.fill(0, at(1), at(1) + ENTRY_BYTES); // no block
  bytes.writeUInt8(0x78, at(2) + 4); // a kind of block that does not exist
  bytes.writeUInt32BE(20, at(3)); // a block inside the table
  writeFileSync(file, bytes);
  const log = [];
  const reader = await open(file, { log });
  await Promise.all([reader.rect(1, 0, 0), reader.rect(1, 1, 0), reader.table.row(0, 0)]);
  const reads = log.length;
  const cases = [[0, DAMAGED, /longer than any/], [1, MISSING, /entry is empty/], [2, DAMAGED, /unknown kind/], [3, DAMAGED, /inside the table/]];
  for (const [column, kind, why] of cases) {
    await assert.rejects(reader.rect(0, column, 0), (e) => e.kind === kind && why.test(e.message), String(why));
  }
  assert.equal(log.length, reads);
  assert.equal(reader0.header.levels.length, reader.header.levels.length);
});
