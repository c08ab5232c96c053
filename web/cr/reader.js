// Opens a CR file by URL and rebuilds any rectangle or region of any level, reading no more of the
// file than they need: the header, the table rows of the rectangles and of their ancestors, and
// their blocks, all by range requests merged per turn of the event loop. A rectangle is rebuilt
// from its rebuilt parent (asked for first, so that the reads of a whole chain go out together)
// and its decoded block; rebuilt rectangles are cached up to a bound in bytes.
import { CrError, DAMAGED, MISSING, rectFailure } from "./errors.js";
import { HEADER_BYTES, parseHeader, rectOf } from "./header.js";
import { RangeReader } from "./ranges.js";
import { blockBytesLimit, plainSamples, rebuild } from "./reconstruct.js";
import { RectCache } from "./rect_cache.js";
import { JPEG, PLAIN, Table } from "./table.js";

export const DEFAULT_CACHE_BYTES = 64 << 20;

export class CrReader {
  // options: fetch (default the page's), decodeJpeg(bytes, width, height) -> promise of RGBA
  // samples (required for files with JPEG blocks), cacheBytes, maxGap and maxSpan (range merging).
  static async open(url, options = {}) {
    const ranges = new RangeReader(url, options);
    const first = await ranges.open(HEADER_BYTES);
    return new CrReader(url, parseHeader(first, ranges.size), ranges, options);
  }

  constructor(url, header, ranges, { decodeJpeg, cacheBytes = DEFAULT_CACHE_BYTES } = {}) {
    this.url = url;
    this.header = header;
    this.ranges = ranges;
    this.table = new Table(header, ranges);
    this.decodeJpeg = decodeJpeg;
    this.cache = new RectCache(cacheBytes);
    this.rebuilding = new Map(); // key -> promise of a rectangle being rebuilt
  }

  // Requests and bytes read so far.
  get stats() {
    return this.ranges.stats;
  }

  // The rebuilt rectangle in `column` and `row` of `level`: {level, column, row, x, y, width,
  // height, pixels (RGBA)}. Rejects with a CrError naming the rectangle at fault.
  rect(level, column, row) {
    const key = `${level}/${column}/${row}`;
    const cached = this.cache.get(key);
    if (cached) return Promise.resolve(cached);
    let pending = this.rebuilding.get(key);
    if (!pending) {
      pending = this.rebuildRect(rectOf(this.header, level, column, row)).then(
        (rect) => {
          this.rebuilding.delete(key);
          this.cache.put(key, rect);
          return rect;
        },
        (error) => {
          this.rebuilding.delete(key);
          throw error;
        });
      this.rebuilding.set(key, pending);
    }
    return pending;
  }

  async rebuildRect(rect) {
    const root = rect.level === this.header.coarsest;
    const parent = root ? null : this.rect(rect.level + 1, rect.column >> 1, rect.row >> 1);
    const entry = this.table.entry(rect.level, rect.column, rect.row);
    const samples = entry.then((e) => this.samples(rect, e));
    parent?.catch(() => {}); // a failure is awaited below, in order: the parent's first
    samples.catch(() => {});
    await parent;
    rect.pixels = rebuild(rect, await samples, (await entry).cal, await parent);
    return rect;
  }

  // The decoded samples of a rectangle's block.
  async samples(rect, entry) {
    const block = await this.block(rect, entry);
    if (entry.type === PLAIN) {
      const samples = plainSamples(block, rect.width, rect.height);
      if (!samples) throw rectFailure(DAMAGED, rect, `its plain block is not of ${rect.width} x ${rect.height} pixels`);
      return samples;
    }
    try {
      return await this.decodeJpeg(block, rect.width, rect.height);
    } catch (error) {
      throw rectFailure(DAMAGED, rect, error.message);
    }
  }

  // The bytes of a rectangle's block, checked against what its entry and the file allow first.
  async block(rect, { offset, type, size }) {
    if (offset === 0 || size === 0) throw rectFailure(MISSING, rect, "its table entry is empty");
    if (type !== JPEG && type !== PLAIN) throw rectFailure(DAMAGED, rect, `its block is of an unknown kind (${type})`);
    const limit = blockBytesLimit(type, rect.width, rect.height);
    if (size > limit) throw rectFailure(DAMAGED, rect, `its block of ${size} bytes is longer than any of its rectangle (${limit})`);
    if (offset < this.header.dataStart) throw rectFailure(DAMAGED, rect, `its block starts at byte ${offset}, inside the table`);
    const fileSize = this.ranges.size ?? Infinity;
    if (offset + size > fileSize) {
      throw rectFailure(MISSING, rect, `its block, bytes ${offset} to ${offset + size - 1}, runs past the end of the file (${fileSize} bytes)`);
    }
    try {
      return await this.ranges.read(offset, offset + size);
    } catch (error) {
      if (error instanceof CrError && error.kind === MISSING) throw rectFailure(MISSING, rect, error.message);
      throw error;
    }
  }

  // The RGBA pixels of the w x h region at (x, y) of `level`, which must lie inside it.
  async region(level, x, y, w, h) {
    const side = this.header.rectSize;
    const out = new Uint8ClampedArray(4 * w * h);
    const rects = [];
    for (let row = Math.floor(y / side); row <= Math.floor((y + h - 1) / side); ++row) {
      for (let column = Math.floor(x / side); column <= Math.floor((x + w - 1) / side); ++column) rects.push(this.rect(level, column, row));
    }
    for (const rect of await Promise.all(rects)) {
      const x0 = Math.max(x, rect.x);
      const x1 = Math.min(x + w, rect.x + rect.width);
      for (let row = Math.max(y, rect.y); row < Math.min(y + h, rect.y + rect.height); ++row) {
        const from = 4 * ((row - rect.y) * rect.width + (x0 - rect.x));
        out.set(rect.pixels.subarray(from, from + 4 * (x1 - x0)), 4 * ((row - y) * w + (x0 - x)));
      }
    }
    return out;
  }
}
