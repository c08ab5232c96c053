// The reconstruction rule of CR files. A rectangle of the coarsest level is its block's samples; any
// other is its parent's rebuilt pixels, each predicting a 2 x 2 block of the child's, plus the
// residual each coded sample stands for, clamped to 0..255. Coded samples are the residual plus the
// channel's offset on 32..223 and compressed by 32/332 outside that band; divisions truncate.
// Pixels are RGBA, 4 bytes each, rows top to bottom, alpha 255.

const BAND_LOW = 32;
const BAND_HIGH = 223;
const PLAIN_HEADER = 2; // width - 1 and height - 1
const JPEG_HEADER_BYTES = 16 << 10;
const JPEG_BLOCK_BYTES = 2 * 211 + 3;

// The residual, before the channel's offset is taken off, that coded sample s stands for.
export function residualOfSample(s) {
  if (s > BAND_HIGH) return Math.trunc((332 * s - 74368) / 32) + 224;
  if (s < BAND_LOW) return Math.trunc((332 * s - 10624) / 32) + 32;
  return s;
}

const RESIDUALS = Int16Array.from({ length: 256 }, (_, s) => residualOfSample(s));

// The longest block a w x h rectangle can need: a plain block exactly its size; a baseline JPEG
// stream of three components whose every 8 x 8 block takes its longest Huffman codes, every byte
// stuffed, plus room for markers and tables. Longer blocks are damaged before they are read.
export function blockBytesLimit(type, w, h) {
  if (type === 0x6e) return PLAIN_HEADER + 3 * w * h;
  if (type === 0x6a) return JPEG_HEADER_BYTES + 3 * (Math.floor(w / 8) + 5) * (Math.floor(h / 8) + 5) * JPEG_BLOCK_BYTES;
  return 0;
}

// The samples of a plain block of a w x h rectangle as RGBA, or null when the block is not one.
export function plainSamples(block, w, h) {
  if (block.length !== PLAIN_HEADER + 3 * w * h || block[0] !== w - 1 || block[1] !== h - 1) return null;
  const out = new Uint8ClampedArray(4 * w * h);
  for (let i = 0, at = PLAIN_HEADER; i < out.length; i += 4, at += 3) {
    out[i] = block[at];
    out[i + 1] = block[at + 1];
    out[i + 2] = block[at + 2];
    out[i + 3] = 255;
  }
  return out;
}

// Rebuilds the pixels of `rect` ({x, y, width, height} in its level) from its decoded samples
// (RGBA; rewritten in place and returned as a clamped array) and its channel offsets `cal`; parent is the rebuilt
// rectangle of the level above ({x, y, width, pixels}), null for the coarsest level.
export function rebuild(rect, decoded, cal, parent) {
  const { width, height } = rect;
  const samples = decoded instanceof Uint8ClampedArray ? decoded : new Uint8ClampedArray(decoded.buffer, decoded.byteOffset, decoded.length);
  if (!parent) {
    for (let i = 3; i < samples.length; i += 4) samples[i] = 255;
    return samples;
  }
  const red = RESIDUALS.map((r) => r - cal[0]);
  const green = RESIDUALS.map((r) => r - cal[1]);
  const blue = RESIDUALS.map((r) => r - cal[2]);
  const up = parent.pixels;
  // Children start on even columns and rows: pixel x of a row takes parent pixel x / 2 of row y / 2.
  const firstColumn = (rect.x >> 1) - parent.x;
  for (let y = 0; y < height; ++y) {
    const above = 4 * (((rect.y + y) >> 1) - parent.y) * parent.width + 4 * firstColumn;
    let at = 4 * y * width;
    for (let x = 0; x < width; ++x, at += 4) {
      const p = above + 4 * (x >> 1);
      samples[at] = up[p] + red[samples[at]]; // the clamped array clamps to 0..255
      samples[at + 1] = up[p + 1] + green[samples[at + 1]];
      samples[at + 2] = up[p + 2] + blue[samples[at + 2]];
      samples[at + 3] = 255;
    }
  }
  return samples;
}
