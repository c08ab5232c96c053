// What the reader's tests share: CR files made by the built ppm2r64 from real photos and small
// images, the levels cr2ppm rebuilds from them, a host that serves a file by ranges (or ignores
// them, as some do) and counts what it sends, and libjpeg-turbo's own decoding of JPEG blocks
// (djpeg, with the library's default settings, as the tools decode).
import { execFileSync, spawn } from "node:child_process";
import { createHash } from "node:crypto";
import { mkdtempSync, readFileSync, rmSync, writeFileSync } from "node:fs";
import { tmpdir } from "node:os";
import path from "node:path";
import { fileURLToPath } from "node:url";

const here = path.dirname(fileURLToPath(import.meta.url));
export const root = path.resolve(here, "../..");
export const samples = path.join(root, "samples");
const PPM2R64 = process.env.PPM2R64 ?? path.join(root, "build/ppm2r64");
const CR2PPM = process.env.CR2PPM ?? path.join(root, "build/cr2ppm");

// A folder removed when the process ends.
export function scratch() {
  const dir = mkdtempSync(path.join(tmpdir(), "cr-js-"));
  process.on("exit", () => rmSync(dir, { recursive: true, force: true }));
  return dir;
}

// A P6 image of width x height whose pixel (x, y) is pixel(x, y) -> [r, g, b].
export function writePpm(file, width, height, pixel) {
  const body = Buffer.alloc(3 * width * height);
  for (let y = 0, at = 0; y < height; ++y) {
    for (let x = 0; x < width; ++x, at += 3) body.set(pixel(x, y), at);
  }
  writeFileSync(file, Buffer.concat([Buffer.from(`P6\n${width} ${height}\n255\n`), body]));
  return file;
}

// Packs a PPM image into dir/NAME.cr with the given ppm2r64 options before -cr.
export function makeCr(dir, name, ppm, options = []) {
  const r64 = path.join(dir, `${name}.r64`);
  const cr = path.join(dir, `${name}.cr`);
  execFileSync(PPM2R64, ["-pr", ppm, r64, "-l", ...options, "-cr", cr], { stdio: "ignore" });
  return cr;
}

// {width, height, rgb} of a P6 image of maximum 255.
export function readPpm(file) {
  return parsePpm(readFileSync(file));
}

function parsePpm(data) {
  const fields = [];
  let at = 0;
  while (fields.length < 4) {
    while (/\s/.test(String.fromCharCode(data[at]))) ++at;
    const start = at;
    while (!/\s/.test(String.fromCharCode(data[at]))) ++at;
    fields.push(data.subarray(start, at).toString());
  }
  return { width: Number(fields[1]), height: Number(fields[2]), rgb: data.subarray(at + 1) };
}

// The level as cr2ppm rebuilds it.
export function cr2ppmLevel(cr, level) {
  const out = path.join(path.dirname(cr), `${path.basename(cr)}-level${level}.ppm`);
  execFileSync(CR2PPM, ["-x", cr, String(level), out], { stdio: "ignore" });
  return readPpm(out);
}

// The RGB samples of RGBA pixels.
export function rgbOf(rgba) {
  const rgb = Buffer.alloc((rgba.length / 4) * 3);
  for (let i = 0, o = 0; i < rgba.length; i += 4, o += 3) rgb.set(rgba.subarray(i, i + 3), o);
  return rgb;
}

// A fetch that serves one file as a static host does: 206 and Content-Range for a Range request,
// 416 past its end, or, with ranges false, 200 and the whole file whatever was asked. Every
// request's range goes to log.
export function fileHost(file, { ranges = true, log = [] } = {}) {
  return async (url, { headers = {} } = {}) => {
    const bytes = readFileSync(file);
    const asked = /^bytes=(\d+)-(\d+)$/.exec(headers.Range ?? "");
    log.push(asked ? [Number(asked[1]), Number(asked[2]) + 1] : null);
    if (!ranges || !asked) return new Response(bytes, { status: 200, headers: { "Content-Length": String(bytes.length) } });
    const first = Number(asked[1]);
    if (first >= bytes.length) return new Response(null, { status: 416, headers: { "Content-Range": `bytes */${bytes.length}` } });
    const last = Math.min(Number(asked[2]), bytes.length - 1);
    return new Response(bytes.subarray(first, last + 1), {
      status: 206,
      headers: { "Content-Range": `bytes ${first}-${last}/${bytes.length}` },
    });
  };
}

// libjpeg-turbo's default decoding of a JPEG stream into RGBA; rejects a stream that is not of
// width x height pixels, does not decode, or decodes only with the library's warnings. Streams met
// before are not decoded again: the tests make the same files more than once.
export async function djpeg(bytes, width, height) {
  const key = createHash("sha1").update(bytes).digest("hex");
  let decoded = decodedStreams.get(key);
  if (!decoded) {
    decoded = runDjpeg(bytes);
    decodedStreams.set(key, decoded);
  }
  const image = await decoded;
  if (image.width !== width || image.height !== height) throw new Error(`its JPEG stream is ${image.width} x ${image.height} pixels`);
  const rgba = new Uint8ClampedArray(4 * width * height);
  for (let i = 0, o = 0; o < rgba.length; i += 3, o += 4) {
    rgba[o] = image.rgb[i];
    rgba[o + 1] = image.rgb[i + 1];
    rgba[o + 2] = image.rgb[i + 2];
    rgba[o + 3] = 255;
  }
  return rgba;
}

const decodedStreams = new Map();

function runDjpeg(bytes) {
  return new Promise((resolve, reject) => {
    const child = spawn("djpeg", ["-ppm"]);
    const out = [];
    const err = [];
    child.stdout.on("data", (chunk) => out.push(chunk));
    child.stderr.on("data", (chunk) => err.push(chunk));
    child.on("error", (error) => reject(new Error(`djpeg (Debian's libjpeg-turbo-progs) cannot run: ${error.message}`)));
    child.on("close", (status) => {
      if (status !== 0) reject(new Error(`its JPEG stream does not decode: ${Buffer.concat(err).toString().trim()}`));
      else resolve(parsePpm(Buffer.concat(out)));
    });
    child.stdin.on("error", () => {}); // djpeg may stop reading a stream it refuses
    child.stdin.end(Buffer.from(bytes));
  });
}
