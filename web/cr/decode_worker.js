// Decodes JPEG blocks off the page's thread with the browser's own decoder, which gives the samples
// of libjpeg-turbo's default decoding: the bitmap is drawn unscaled, without colour conversion, on
// a canvas and read back as RGBA. A block that does not decode, or not to its rectangle's size,
// is answered with the reason.
let canvas = null;
let context = null;

function contextOf(width, height) {
  if (!canvas || canvas.width < width || canvas.height < height) {
    canvas = new OffscreenCanvas(width, height);
    context = canvas.getContext("2d", { willReadFrequently: true, alpha: false });
  }
  return context;
}

// Streams may end one byte short, without the 0xD9 of their end-of-image marker.
function withEndMarker(bytes) {
  const view = new Uint8Array(bytes);
  if (view.length < 2 || view[view.length - 1] !== 0xff || view[view.length - 2] === 0xff) return bytes;
  const whole = new Uint8Array(view.length + 1);
  whole.set(view);
  whole[view.length] = 0xd9;
  return whole.buffer;
}

self.onmessage = async ({ data: { id, bytes, width, height } }) => {
  try {
    const blob = new Blob([withEndMarker(bytes)], { type: "image/jpeg" });
    const bitmap = await createImageBitmap(blob, { colorSpaceConversion: "none", premultiplyAlpha: "none" });
    const size = [bitmap.width, bitmap.height];
    if (size[0] !== width || size[1] !== height) {
      bitmap.close();
      throw new Error(`its JPEG stream is ${size[0]} x ${size[1]} pixels, not ${width} x ${height}`);
    }
    const ctx = contextOf(width, height);
    ctx.drawImage(bitmap, 0, 0);
    bitmap.close();
    const pixels = ctx.getImageData(0, 0, width, height).data;
    self.postMessage({ id, pixels }, [pixels.buffer]);
  } catch (error) {
    const why = error instanceof DOMException ? "its JPEG stream does not decode" : error.message;
    self.postMessage({ id, error: why });
  }
};
