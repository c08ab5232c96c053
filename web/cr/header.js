// The 16-byte header of a CR file and the geometry it implies: the levels (each half the one
// below, rounded up, while both sides stay at least 3 pixels), their grids of rectangles and where
// each level's entries start in the table. Numbers in the file are big-endian.
import { CrError, CUT_SHORT, NOT_CR } from "./errors.js";

export const HEADER_BYTES = 16;
export const ENTRY_BYTES = 12;
export const MAX_RECT_SIDE = 256;
const MAX_LEVELS = 32;
const PREAMBLE = [0x43, 0x52, 0x00]; // "CR" and a zero byte

const halfUp = (n) => (n >> 1) + (n & 1);

// The levels of an image of width x height in rectangles of `side`: [{width, height, columns,
// rows, firstEntry}], finest first, and the entries the table holds on disk (the walk counts the
// entries of the first level too small to exist, never used, at the table's end).
export function levelGeometry(width, height, side) {
  const levels = [];
  let entries = 0;
  let w = width;
  let h = height;
  for (let i = 0; i < MAX_LEVELS; ++i) {
    const columns = w > 0 ? Math.ceil(w / side) : 0;
    const rows = h > 0 ? Math.ceil(h / side) : 0;
    const level = { width: w, height: h, columns, rows, firstEntry: entries };
    entries += columns * rows;
    w = halfUp(w);
    h = halfUp(h);
    if (w < 2 || h < 2) break;
    levels.push(level);
  }
  return { levels, tableEntries: entries };
}

// The header's fields and geometry; refuses bytes that are not a CR header, and a file (of
// fileSize bytes, when known) too short for its own table.
export function parseHeader(bytes, fileSize = null) {
  if (bytes.length < HEADER_BYTES) {
    throw new CrError(bytes.length === 0 ? NOT_CR : CUT_SHORT,
      bytes.length === 0 ? "the file is empty, not a CR file" : `the file is cut short: ${bytes.length} bytes, less than a CR header`);
  }
  if (!PREAMBLE.every((b, i) => bytes[i] === b)) throw new CrError(NOT_CR, "the file is not a CR file: it does not start with \"CR\" and a zero byte");
  const view = new DataView(bytes.buffer, bytes.byteOffset, HEADER_BYTES);
  const width = view.getInt16(4);
  const height = view.getInt16(6);
  const rectSize = view.getUint16(8);
  if (width < 1 || height < 1 || rectSize < 1 || rectSize > MAX_RECT_SIDE) {
    throw new CrError(NOT_CR, `the file is not a CR file: its header gives ${width} x ${height} pixels in rectangles of ${rectSize}`);
  }
  const { levels, tableEntries } = levelGeometry(width, height, rectSize);
  if (levels.length === 0) throw new CrError(NOT_CR, `the CR file holds no level: ${width} x ${height} pixels is too small`);
  const dataStart = HEADER_BYTES + ENTRY_BYTES * tableEntries;
  if (fileSize !== null && fileSize < dataStart) {
    throw new CrError(CUT_SHORT, `the CR file is cut short: its table ends at byte ${dataStart}, the file at ${fileSize}`);
  }
  return { width, height, rectSize, levels, coarsest: levels.length - 1, dataStart, fileSize };
}

// Place and size of the rectangle in `column` and `row` of `level`, clipped to the level.
export function rectOf(header, level, column, row) {
  const { width, height } = header.levels[level];
  const x = column * header.rectSize;
  const y = row * header.rectSize;
  return { level, column, row, x, y, width: Math.min(header.rectSize, width - x), height: Math.min(header.rectSize, height - y) };
}
