// The reconstruction rule on small cases worked by hand: the sample mapping's reference values,
// each parent pixel predicting a 2 x 2 block of its child (also for children at odd places of a
// level), the clamp to 0..255, plain blocks and the longest block a rectangle may have.
import assert from "node:assert/strict";
import { test } from "node:test";

import { blockBytesLimit, plainSamples, rebuild, residualOfSample } from "../../../web/cr/reconstruct.js";

test("coded samples stand for their residuals: identity on 32..223, 332/32 outside", () => {
  const reference = [[0, -300], [17, -123], [31, 22], [32, 32], [127, 127], [223, 223], [224, 224], [225, 234], [239, 379], [255, 545]];
  for (const [sample, residual] of reference) assert.equal(residualOfSample(sample), residual, `sample ${sample}`);
});

function rgba(...pixels) {
  return Uint8ClampedArray.from(pixels.flatMap(([r, g, b]) => [r, g, b, 255]));
}

test("each parent pixel predicts a 2 x 2 block; samples add their residual less the channel's offset", () => {
  // Parent: 2 x 1 pixels at (0, 0) of level 1; child: 3 x 2 at (0, 0) of level 0.
  const parent = { x: 0, y: 0, width: 2, pixels: rgba([100, 50, 200], [10, 20, 30]) };
  const samples = rgba([127, 127, 127], [128, 127, 127], [127, 137, 127],
                       [126, 127, 117], [240, 127, 127], [127, 127, 0]);
  const cal = [127, 127, 127];
  const out = rebuild({ x: 0, y: 0, width: 3, height: 2 }, samples, cal, parent);
  assert.deepEqual([...out], [...rgba([100, 50, 200], [101, 50, 200], [10, 30, 30],
                                      [99, 50, 190], [255, 50, 200], [10, 20, 0])]);
});

test("a child at an odd place of its level takes the parent's pixels from the matching column and row", () => {
  // Level 0 of 300 pixels in rectangles of 64 would put the child at x = 256: parent column 128.
  const parentPixels = [];
  for (let i = 0; i < 4 * 4; ++i) parentPixels.push([i, 0, 0]);
  const parent = { x: 64, y: 32, width: 4, pixels: rgba(...parentPixels) }; // 4 x 4 at (64, 32)
  const child = { x: 130, y: 66, width: 2, height: 2 }; // covers parent pixels (65, 33)
  const out = rebuild(child, rgba([0, 0, 0], [0, 0, 0], [0, 0, 0], [0, 0, 0]).map((v, i) => (i % 4 === 3 ? v : 64)), [64, 64, 64], parent);
  const expected = 1 * 4 + 1; // row 33 - 32, column 65 - 64
  assert.deepEqual([...out].filter((_, i) => i % 4 === 0), [expected, expected, expected, expected]);
});

test("the coarsest rectangle is its samples", () => {
  const samples = Uint8ClampedArray.from([1, 2, 3, 0, 4, 5, 6, 0]);
  assert.deepEqual([...rebuild({ x: 0, y: 0, width: 2, height: 1 }, samples, [5, 5, 5], null)], [1, 2, 3, 255, 4, 5, 6, 255]);
});

test("plain blocks carry their size and every sample; anything else is not one", () => {
  const block = Uint8Array.from([1, 0, 10, 20, 30, 40, 50, 60]);
  assert.deepEqual([...plainSamples(block, 2, 1)], [10, 20, 30, 255, 40, 50, 60, 255]);
  assert.equal(plainSamples(block, 1, 2), null);
  assert.equal(plainSamples(block.subarray(0, 7), 2, 1), null);
  assert.equal(plainSamples(Uint8Array.from([...block, 0]), 2, 1), null);
});

test("blocks longer than their rectangle can need are known before they are read", () => {
  assert.equal(blockBytesLimit(0x6e, 15, 256), 2 + 3 * 15 * 256);
  assert.equal(blockBytesLimit(0x6a, 256, 256), 16384 + 3 * 37 * 37 * 425);
  assert.equal(blockBytesLimit(0x6a, 16, 16), 16384 + 3 * 7 * 7 * 425);
  assert.equal(blockBytesLimit(0x41, 64, 64), 0);
});
