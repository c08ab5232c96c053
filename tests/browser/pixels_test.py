#!/usr/bin/python3
"""Measures, level by level, how far the pixels the static viewer's reader rebuilds in the browser
(headless Chromium, its own JPEG decoder, reading from nginx by ranges) lie from those `cr2ppm -x`
rebuilds: the largest sample difference and the PSNR of every level, for the bundled photos and a
mosaic of them, with classic and efficient blocks. Fails when a level is below 50 dB, or when the
error grows level by level towards level 0 (drift through the residual pyramid). Prints a line per
level, then "N passed, M failed".

  pixels_test.py PPM2R64 CR2PPM SAMPLES [--photos NAME ...] [--mosaic SIDE]

--photos: the photos of SAMPLES measured (default coffee.ppm camera.pgm; the mosaic is made of
all three); --mosaic SIDE: the side of the mosaic (default 2048; 0: none).
"""
import argparse
import math
import os
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from browser_support import Nginx, check, open_browser, summary, wait_for, write_mosaic  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
MIN_PSNR = 50.0

# Compares a level of the open file with the P6 image at arguments[1], band by band of rectangle
# rows, the image's rows fetched by ranges: [largest difference, sum of squared differences].
COMPARE_LEVEL = """
  const [level, url, done] = arguments;
  (async () => {
    const reader = window.crReader;
    const { width, height } = reader.header.levels[level];
    const head = new Uint8Array(await (await fetch(url, { headers: { Range: "bytes=0-63" } })).arrayBuffer());
    let at = 0;
    for (let fields = 0; fields < 4; ++fields) {
      while (head[at] === 0x0a || head[at] === 0x20) ++at;
      while (head[at] !== 0x0a && head[at] !== 0x20) ++at;
    }
    const start = at + 1;
    let largest = 0, squared = 0;
    const band = reader.header.rectSize;
    for (let y = 0; y < height; y += band) {
      const rows = Math.min(band, height - y);
      const first = start + 3 * width * y;
      const expected = new Uint8Array(await (await fetch(url, { headers: { Range: `bytes=${first}-${first + 3 * width * rows - 1}` } })).arrayBuffer());
      const got = await reader.region(level, 0, y, width, rows);
      for (let i = 0, j = 0; i < got.length; i += 4, j += 3) {
        for (let c = 0; c < 3; ++c) {
          const d = got[i + c] - expected[j + c];
          squared += d * d;
          if (Math.abs(d) > largest) largest = Math.abs(d);
        }
      }
    }
    return [largest, squared];
  })().then(done, (error) => done(String(error)));
"""

OPENED = "return document.documentElement.dataset.cr;"


def psnr(squared, samples):
    return math.inf if squared == 0 else 10 * math.log10(255 * 255 * samples / squared)


def make_files(args, work, site):
    """The CR files to measure, each with its levels as cr2ppm rebuilds them, in the site."""
    inputs = [(os.path.splitext(name)[0], os.path.join(args.samples, name), "64") for name in args.photos]
    if args.mosaic:
        mosaic = os.path.join(work, "mosaic.ppm")
        write_mosaic(mosaic, args.mosaic, [os.path.join(args.samples, name) for name in ("coffee.ppm", "hubble.ppm", "camera.pgm")])
        inputs.append(("mosaic%d" % args.mosaic, mosaic, "256"))
    files = []
    for name, image, side in inputs:
        r64 = os.path.join(work, name + ".r64")
        subprocess.run([args.ppm2r64, "-pr", image, r64, "-l"], check=True, stdout=subprocess.DEVNULL)
        for coding, options in (("classic", []), ("efficient", ["-crmode", "efficient"])):
            cr = "%s-%s-%s.cr" % (name, side, coding)
            subprocess.run([args.ppm2r64, "-t", r64, "-crsize", side] + options + ["-cr", os.path.join(site, cr)],
                           check=True, stdout=subprocess.DEVNULL)
            level = 0
            while subprocess.run([args.cr2ppm, "-x", os.path.join(site, cr), str(level), os.path.join(site, "%s-%d.ppm" % (cr, level))],
                                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode == 0:
                level += 1
            files.append((cr, level))
        os.remove(r64)
    return files


def measure(driver, host, cr, levels):
    driver.get(host.url + "static.html?src=" + cr)
    if not check(cr + ": opened", wait_for(driver, OPENED, 20) and driver.execute_script(OPENED) == "open",
                 driver.execute_script("const s = document.getElementById('status'); return s ? s.textContent : document.title;")):
        return
    errors = []
    for level in reversed(range(levels)):
        width, height = driver.execute_script("const l = window.crReader.header.levels[arguments[0]]; return [l.width, l.height];", level)
        result = driver.execute_async_script(COMPARE_LEVEL, level, "%s-%d.ppm" % (cr, level))
        if isinstance(result, str):
            check("%s: level %d" % (cr, level), False, result)
            continue
        largest, squared = result
        db = psnr(squared, 3 * width * height)
        errors.append(squared / (3 * width * height))
        check("%s: level %d (%d x %d)" % (cr, level, width, height), db >= MIN_PSNR,
              "largest difference %d, PSNR %s" % (largest, "inf" if db == math.inf else "%.2f dB" % db))
    # Drift: an error that grows at each of the finest levels, carried down the residual pyramid.
    finest = errors[-4:]
    growing = len(finest) == 4 and all(a < b for a, b in zip(finest, finest[1:]))
    check(cr + ": no error growing level by level", not growing, "mean squared error of levels 3 to 0: %s" % finest)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("ppm2r64")
    parser.add_argument("cr2ppm")
    parser.add_argument("samples")
    parser.add_argument("--photos", nargs="*", default=["coffee.ppm", "camera.pgm"])
    parser.add_argument("--mosaic", type=int, default=2048)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as work:
        site = os.path.join(work, "site")
        subprocess.run([os.path.join(ROOT, "scripts/static-site.sh"), site], check=True, stdout=subprocess.DEVNULL)
        files = make_files(args, work, site)
        host = Nginx(site, work)
        driver = None
        try:
            driver = open_browser((800, 600))
            driver.set_script_timeout(600)
            for cr, levels in files:
                measure(driver, host, cr, levels)
        finally:
            if driver is not None:
                driver.quit()
            host.stop()
    return summary()


if __name__ == "__main__":
    sys.exit(main())
