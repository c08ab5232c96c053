// Decodes JPEG blocks in a few workers, so that the page's thread stays free to draw: each block
// goes to the worker with the fewest blocks waiting.

export class JpegDecoder {
  constructor(workers = Math.min(4, Math.max(1, globalThis.navigator?.hardwareConcurrency ?? 2))) {
    this.nextId = 1;
    this.workers = Array.from({ length: workers }, () => {
      const slot = { worker: new Worker(new URL("./decode_worker.js", import.meta.url)), jobs: new Map() };
      slot.worker.onmessage = ({ data }) => this.answer(slot, data);
      slot.worker.onerror = (event) => this.failAll(slot, `the decoding worker failed: ${event.message}`);
      return slot;
    });
  }

  // The RGBA samples of a width x height JPEG stream; rejects with the reason it does not decode.
  decode(bytes, width, height) {
    const id = this.nextId++;
    const slot = this.workers.reduce((a, b) => (b.jobs.size < a.jobs.size ? b : a));
    // A copy of its own, handed over: the bytes may share a buffer with others read at once.
    const own = bytes.slice().buffer;
    return new Promise((resolve, reject) => {
      slot.jobs.set(id, { resolve, reject });
      slot.worker.postMessage({ id, bytes: own, width, height }, [own]);
    });
  }

  answer(slot, { id, pixels, error }) {
    const job = slot.jobs.get(id);
    slot.jobs.delete(id);
    if (error !== undefined) job.reject(new Error(error));
    else job.resolve(pixels);
  }

  failAll(slot, why) {
    for (const job of slot.jobs.values()) job.reject(new Error(why));
    slot.jobs.clear();
  }

  close() {
    for (const { worker } of this.workers) worker.terminate();
  }
}
