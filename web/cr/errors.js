// The failures a reader of CR files reports, one kind each, so that a page can say what went wrong
// and where: the host (no byte ranges, an HTTP error, nothing reachable), the file (not a CR file,
// cut short) or one rectangle (its block damaged, or missing or cut short), which fails alone.

export const NO_RANGES = "no-ranges";
export const HTTP = "http";
export const NOT_CR = "not-cr";
export const CUT_SHORT = "cut-short";
export const DAMAGED = "damaged";
export const MISSING = "missing";

export class CrError extends Error {
  // kind: one of the constants above; rect: {level, x, y} for the failures of one rectangle.
  constructor(kind, message, rect = null) {
    super(message);
    this.name = "CrError";
    this.kind = kind;
    this.rect = rect;
  }
}

// The words for a rectangle that fails: its place in its level, as cr2ppm names it.
export function rectFailure(kind, rect, why) {
  const what = kind === DAMAGED ? "is damaged" : "is missing or cut short";
  return new CrError(kind, `rectangle (${rect.x}, ${rect.y}) of level ${rect.level} ${what}: ${why}`, rect);
}
