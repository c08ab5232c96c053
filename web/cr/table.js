// The table of a CR file, read a row of rectangles at a time when a view first needs one of them:
// the table of a large image runs to megabytes, of which a screen needs a few rows per level. Each
// 12-byte entry gives its block's offset, kind ('j' JPEG, 'n' plain), the three channel offsets
// of the residuals (signed bytes) and the block's length.
import { ENTRY_BYTES, HEADER_BYTES } from "./header.js";

export const JPEG = 0x6a; // 'j'
export const PLAIN = 0x6e; // 'n'

// The entry at `at` of `bytes`: {offset, type, cal: [red, green, blue], size}.
export function parseEntry(bytes, at) {
  const view = new DataView(bytes.buffer, bytes.byteOffset + at, ENTRY_BYTES);
  return {
    offset: view.getUint32(0),
    type: view.getUint8(4),
    cal: [view.getInt8(5), view.getInt8(6), view.getInt8(7)],
    size: view.getUint32(8),
  };
}

export class Table {
  constructor(header, reader) {
    this.header = header;
    this.reader = reader;
    this.rows = new Map(); // "level/row" -> promise of the row's entry bytes
  }

  // The entry of the rectangle in `column` and `row` of `level`.
  async entry(level, column, row) {
    const bytes = await this.row(level, row);
    return parseEntry(bytes, column * ENTRY_BYTES);
  }

  row(level, row) {
    const key = `${level}/${row}`;
    let bytes = this.rows.get(key);
    if (!bytes) {
      const { columns, firstEntry } = this.header.levels[level];
      const start = HEADER_BYTES + ENTRY_BYTES * (firstEntry + row * columns);
      bytes = this.reader.read(start, start + ENTRY_BYTES * columns);
      bytes.catch(() => this.rows.delete(key)); // a failed read is tried again when next asked for
      this.rows.set(key, bytes);
    }
    return bytes;
  }
}
