// Reads byte ranges of one file over HTTP. Reads asked for in the same turn of the event loop are
// merged, neighbours and near neighbours into one request each, so that a screen of rectangles and
// their ancestors costs a few requests; every reply must be the 206 of the range asked for.
import { CrError, CUT_SHORT, HTTP, MISSING, NO_RANGES } from "./errors.js";

// Merges ranges {start, end} (end excluded) into spans {start, end, members}: ranges that overlap,
// touch or lie at most maxGap bytes apart share a span, as long as it stays within maxSpan bytes
// (a single longer range is a span of its own). members lists the indexes of the ranges in each.
export function mergeRanges(ranges, { maxGap = 4096, maxSpan = 1 << 20 } = {}) {
  const order = ranges.map((_, i) => i).sort((a, b) => ranges[a].start - ranges[b].start || ranges[a].end - ranges[b].end);
  const spans = [];
  for (const i of order) {
    const { start, end } = ranges[i];
    const last = spans[spans.length - 1];
    if (last && start - last.end <= maxGap && Math.max(last.end, end) - last.start <= maxSpan) {
      last.end = Math.max(last.end, end);
      last.members.push(i);
    } else {
      spans.push({ start, end, members: [i] });
    }
  }
  return spans;
}

// "bytes FIRST-LAST/TOTAL" -> {first, last, total}; total null for "*"; null when malformed.
export function parseContentRange(value) {
  const match = /^\s*bytes\s+(\d+)-(\d+)\/(\d+|\*)\s*$/i.exec(value ?? "");
  if (!match) return null;
  return { first: Number(match[1]), last: Number(match[2]), total: match[3] === "*" ? null : Number(match[3]) };
}

const NO_RANGE_ADVICE = "serve it from a host that answers Range requests with 206 Partial Content";

export class RangeReader {
  // fetch: the fetch function (the page's own, or a test's); maxGap, maxSpan: see mergeRanges.
  constructor(url, { fetch = globalThis.fetch.bind(globalThis), maxGap, maxSpan } = {}) {
    this.url = url;
    this.fetch = fetch;
    this.merge = { maxGap, maxSpan };
    this.size = null;
    this.pending = [];
    this.scheduled = false;
    this.stats = { requests: 0, bytes: 0 };
  }

  // Reads the first `length` bytes (fewer if the file is shorter) and learns the file's size.
  async open(length) {
    const { bytes, range } = await this.request(0, length, true);
    this.size = range.total;
    return bytes;
  }

  // The bytes start..end-1, read together with every other read asked for in this turn.
  read(start, end) {
    return new Promise((resolve, reject) => {
      this.pending.push({ start, end, resolve, reject });
      if (this.scheduled) return;
      this.scheduled = true;
      setTimeout(() => this.flush(), 0);
    });
  }

  flush() {
    const reads = this.pending;
    this.pending = [];
    this.scheduled = false;
    for (const span of mergeRanges(reads, this.merge)) {
      this.request(span.start, span.end - span.start, false).then(
        ({ bytes }) => {
          for (const i of span.members) reads[i].resolve(bytes.subarray(reads[i].start - span.start, reads[i].end - span.start));
        },
        (error) => {
          for (const i of span.members) reads[i].reject(error);
        });
    }
  }

  // One request of `length` bytes from `start`. The first one may get fewer (a file shorter than
  // asked for); any other must get exactly what it asked for.
  async request(start, length, first) {
    const controller = new AbortController();
    let reply;
    try {
      reply = await this.fetch(this.url, { headers: { Range: `bytes=${start}-${start + length - 1}` }, signal: controller.signal });
    } catch (error) {
      throw new CrError(HTTP, `cannot fetch ${this.url}: ${error.message} (the host cannot be reached, or it is of another origin and sends no Access-Control-Allow-Origin header)`);
    }
    ++this.stats.requests;
    const stop = (error) => {
      controller.abort(); // the body of a refused reply is not wanted, least of all a whole file
      throw error;
    };
    if (reply.status === 200) {
      stop(new CrError(NO_RANGES, `the host does not serve byte ranges: it answered a Range request for ${this.url} with 200 and the whole file, without a Content-Range header (nor "Accept-Ranges: bytes"); ${NO_RANGE_ADVICE}`));
    }
    if (reply.status === 416) {
      stop(first ? new CrError(CUT_SHORT, `${this.url} is empty, not a CR file`)
        : new CrError(MISSING, `bytes ${start} to ${start + length - 1} lie past the end of the file`));
    }
    if (reply.status !== 206) stop(new CrError(HTTP, `the host answered ${reply.status} ${reply.statusText} for ${this.url}`));
    const header = reply.headers.get("Content-Range");
    if (header === null) {
      stop(new CrError(NO_RANGES, `the host's 206 reply for ${this.url} has no Content-Range header the page may read; a host of another origin must send "Access-Control-Expose-Headers: Content-Range"`));
    }
    const range = parseContentRange(header);
    if (!range || range.first !== start || (first && range.total === null)) {
      stop(new CrError(NO_RANGES, `the host answered bytes ${start} to ${start + length - 1} of ${this.url} with "Content-Range: ${header}"; ${NO_RANGE_ADVICE}`));
    }
    const bytes = new Uint8Array(await reply.arrayBuffer());
    this.stats.bytes += bytes.length;
    const expected = Math.min(length, (range.total ?? Infinity) - start);
    if (bytes.length !== range.last - range.first + 1 || bytes.length !== expected || (!first && bytes.length !== length)) {
      throw new CrError(MISSING, `bytes ${start} to ${start + length - 1} of ${this.url} came back as ${bytes.length} bytes`);
    }
    return { bytes, range };
  }
}
