// Range requests: neighbouring reads merge into one request, far ones do not; every reply must be
// the 206 of the range asked for, and a host that ignores ranges is told apart, by the header its
// reply lacks, without reading the file it sends.
import assert from "node:assert/strict";
import { writeFileSync } from "node:fs";
import path from "node:path";
import { test } from "node:test";

import { CUT_SHORT, HTTP, MISSING, NO_RANGES } from "../../../web/cr/errors.js";
import { mergeRanges, parseContentRange, RangeReader } from "../../../web/cr/ranges.js";
import { fileHost, scratch } from "../support.mjs";

const r = (start, end) => ({ start, end });

test("merges ranges that overlap, touch or lie within the gap, whatever their order", () => {
  const ranges = [r(100, 200), r(0, 40), r(200, 300), r(350, 400), r(10, 20), r(5000, 5100)];
  const spans = mergeRanges(ranges, { maxGap: 50 });
  assert.deepEqual(spans.map(({ start, end }) => [start, end]), [[0, 40], [100, 400], [5000, 5100]]);
  assert.deepEqual(spans.map((s) => s.members), [[1, 4], [0, 2, 3], [5]]);
  assert.deepEqual(mergeRanges(ranges, { maxGap: 49 }).map((s) => [s.start, s.end]), [[0, 40], [100, 300], [350, 400], [5000, 5100]]);
  assert.deepEqual(mergeRanges([r(0, 10), r(10, 20)], { maxGap: 0 }).length, 1);
  assert.deepEqual(mergeRanges([]), []);
});

test("a merged span stays within the longest request", () => {
  const ranges = [r(0, 600), r(600, 1200), r(1200, 1800), r(1800, 5000)];
  const spans = mergeRanges(ranges, { maxGap: 0, maxSpan: 1200 });
  assert.deepEqual(spans.map((s) => [s.start, s.end]), [[0, 1200], [1200, 1800], [1800, 5000]]);
});

test("parses Content-Range", () => {
  assert.deepEqual(parseContentRange("bytes 0-15/4096"), { first: 0, last: 15, total: 4096 });
  assert.deepEqual(parseContentRange("bytes 16-31/*"), { first: 16, last: 31, total: null });
  assert.equal(parseContentRange("bytes */4096"), null);
  assert.equal(parseContentRange(null), null);
});

function fileOf(length) {
  const file = path.join(scratch(), "bytes");
  writeFileSync(file, Uint8Array.from({ length }, (_, i) => i % 251));
  return file;
}

test("reads of one turn go out as one request per span, each read getting its own bytes", async () => {
  const log = [];
  const reader = new RangeReader("file", { fetch: fileHost(fileOf(100000), { log }), maxGap: 100 });
  assert.equal((await reader.open(16)).length, 16);
  assert.equal(reader.size, 100000);
  const reads = [reader.read(1000, 1100), reader.read(1150, 1200), reader.read(1100, 1150), reader.read(50000, 50010)];
  const got = await Promise.all(reads);
  assert.deepEqual(log, [[0, 16], [1000, 1200], [50000, 50010]]);
  assert.deepEqual(got.map((b) => [b.length, b[0]]), [[100, 1000 % 251], [50, 1150 % 251], [50, 1100 % 251], [10, 50000 % 251]]);
  assert.deepEqual(reader.stats, { requests: 3, bytes: 16 + 200 + 10 });
  await reader.read(2000, 2001); // a later turn: a request of its own
  assert.equal(log.length, 4);
});

test("the first read of a file shorter than asked gets what there is", async () => {
  const reader = new RangeReader("file", { fetch: fileHost(fileOf(10)) });
  assert.equal((await reader.open(16)).length, 10);
  assert.equal(reader.size, 10);
});

test("refuses a host that ignores ranges, naming the header its reply lacks, without reading the file", async () => {
  let bodyRead = false;
  const host = fileHost(fileOf(1 << 20), { ranges: false });
  const fetch = async (url, init) => {
    const reply = await host(url, init);
    init.signal.addEventListener("abort", () => (bodyRead = "aborted"));
    return reply;
  };
  const reader = new RangeReader("http://host/a.cr", { fetch });
  await assert.rejects(reader.open(16), (e) => e.kind === NO_RANGES && /answered a Range request .* with 200/.test(e.message) && /Content-Range/.test(e.message));
  assert.equal(bodyRead, "aborted");
});

test("refuses replies that are not the range asked for", async () => {
  const reply = (status, headers, body = new Uint8Array(16)) => async () => new Response(body, { status, headers });
  const cases = [
    [reply(206, {}), NO_RANGES, /no Content-Range header the page may read; .*Access-Control-Expose-Headers: Content-Range/],
    [reply(206, { "Content-Range": "bytes 16-31/100" }), NO_RANGES, /"Content-Range: bytes 16-31\/100"/],
    [reply(206, { "Content-Range": "bytes 0-15/*" }), NO_RANGES, /Content-Range/],
    [reply(206, { "Content-Range": "bytes 0-15/100" }, new Uint8Array(8)), MISSING, /came back as 8 bytes/],
    [reply(404, {}), HTTP, /answered 404/],
    [reply(416, { "Content-Range": "bytes */0" }, null), CUT_SHORT, /empty/],
    [async () => { throw new TypeError("Failed to fetch"); }, HTTP, /Failed to fetch.*Access-Control-Allow-Origin/],
  ];
  for (const [fetch, kind, message] of cases) {
    await assert.rejects(new RangeReader("http://host/a.cr", { fetch }).open(16), (e) => e.kind === kind && message.test(e.message), String(message));
  }
});

test("a read past the end of the file fails that read's span alone", async () => {
  const reader = new RangeReader("file", { fetch: fileHost(fileOf(1000)), maxGap: 0 });
  await reader.open(16);
  const [far, near] = await Promise.allSettled([reader.read(2000, 2100), reader.read(100, 200)]);
  assert.equal(far.status, "rejected");
  assert.equal(far.reason.kind, MISSING);
  assert.equal(near.value.length, 100);
  await assert.rejects(reader.read(900, 1100), (e) => e.kind === MISSING && /came back as 100 bytes/.test(e.message));
});
