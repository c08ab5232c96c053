// Rebuilt rectangles kept for the views to come, least recently used dropped first once their
// pixels pass a bound in bytes: finer rectangles are rebuilt from cached parents without fetching
// the ancestors again.

export class RectCache {
  constructor(maxBytes) {
    this.maxBytes = maxBytes;
    this.bytes = 0;
    this.rects = new Map(); // key -> rect; a Map iterates in insertion order, oldest first
  }

  get(key) {
    const rect = this.rects.get(key);
    if (rect) {
      this.rects.delete(key); // to the newest end
      this.rects.set(key, rect);
    }
    return rect;
  }

  put(key, rect) {
    const old = this.rects.get(key);
    if (old) {
      this.bytes -= old.pixels.byteLength;
      this.rects.delete(key);
    }
    if (rect.pixels.byteLength > this.maxBytes) return;
    this.rects.set(key, rect);
    this.bytes += rect.pixels.byteLength;
    for (const [oldest, dropped] of this.rects) {
      if (this.bytes <= this.maxBytes) break;
      this.rects.delete(oldest);
      this.bytes -= dropped.pixels.byteLength;
    }
  }
}
