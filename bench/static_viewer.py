#!/usr/bin/python3
"""Times the static viewer (web/static.html) reading a CR file from nginx on loopback, no server of
ours, in headless Chromium at 1280 x 800: the first screen from an empty cache, with the requests
and bytes nginx sent for it (from its access log) against the bytes of the blocks that screen needs
(its tiles' and their ancestors'); jumps to 1:1 at random places; and the page's JS heap (after a garbage collection), beside
the reader's cache of rebuilt rectangles, after panning across the whole image at 1:1 row by row.

  bench/static_viewer.py PPM2R64 SAMPLES [SIDE] [RUNS]

Makes a SIDE x SIDE mosaic of the bundled photos (default 16384) and packs it with rectangles of
256 (classic blocks). Needs nginx-light, chromium, chromium-driver and python3-selenium.
"""
import os
import random
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "browser"))
from browser_support import FULLY_LOADED, Nginx, open_browser, wait_for, write_mosaic, zoom_to  # noqa: E402

# The bytes of the blocks of the tiles drawn, and of their ancestors, each counted once.
NEEDED_BYTES = """
  const done = arguments[0];
  const reader = window.crReader, item = window.viewer.world.getItemAt(0);
  const maxLevel = item.source.maxLevel, seen = new Set(), entries = [];
  for (const tile of item.getTilesToDraw ? item.getTilesToDraw().map((t) => t.tile) : item.lastDrawn) {
    for (let level = maxLevel - tile.level, x = tile.x, y = tile.y; level <= reader.header.coarsest; ++level, x >>= 1, y >>= 1) {
      const key = level + "/" + x + "/" + y;
      if (!seen.has(key)) { seen.add(key); entries.push(reader.table.entry(level, x, y)); }
    }
  }
  Promise.all(entries).then((list) => done([list.reduce((sum, e) => sum + e.size, 0), list.length]));
"""


def log_since(nginx, start, name):
    return [r for r in nginx.requests()[start:] if r[2] == "/" + name]


def main():
    if len(sys.argv) < 3:
        print(__doc__, file=sys.stderr)
        return 2
    ppm2r64, samples = sys.argv[1:3]
    side = int(sys.argv[3]) if len(sys.argv) > 3 else 16384
    runs = int(sys.argv[4]) if len(sys.argv) > 4 else 3
    with tempfile.TemporaryDirectory() as work:
        site = os.path.join(work, "site")
        subprocess.run([os.path.join(ROOT, "scripts/static-site.sh"), site], check=True, stdout=subprocess.DEVNULL)
        mosaic = os.path.join(work, "mosaic.ppm")
        write_mosaic(mosaic, side, [os.path.join(samples, n) for n in ("coffee.ppm", "hubble.ppm", "camera.pgm")])
        cr = os.path.join(site, "mosaic.cr")
        subprocess.run([ppm2r64, "-pr", mosaic, mosaic + ".r64", "-l", "-cr", cr], check=True, stdout=subprocess.DEVNULL)
        os.remove(mosaic)
        os.remove(mosaic + ".r64")
        print("mosaic %d x %d, rectangles of 256: %d bytes" % (side, side, os.path.getsize(cr)))
        nginx = Nginx(site, work)
        driver = open_browser((1280, 800), "--js-flags=--expose-gc")
        try:
            for run in range(runs):
                driver.execute_cdp_cmd("Network.clearBrowserCache", {})
                driver.get("about:blank")
                first = len(nginx.requests())
                start = time.monotonic()
                driver.get(nginx.url + "static.html?src=mosaic.cr")
                wait_for(driver, FULLY_LOADED, 30)
                seconds = time.monotonic() - start
                reads = log_since(nginx, first, "mosaic.cr")
                fetched = sum(r[5] for r in reads)
                needed, blocks = driver.execute_async_script(NEEDED_BYTES)
                print("first screen %d: %.2f s; %d requests of the CR file, %d bytes for %d blocks of %d bytes (%.2f x)"
                      % (run + 1, seconds, len(reads), fetched, blocks, needed, fetched / needed))
            jumps = []
            rng = random.Random(1)
            for _ in range(10):
                x, y = rng.randrange(640, side - 640), rng.randrange(400, side - 400)
                start = time.monotonic()
                zoom_to(driver, 1, x, y)
                wait_for(driver, FULLY_LOADED, 30)
                jumps.append(time.monotonic() - start)
            print("jump to 1:1 at a random place: median %.2f s, slowest %.2f s" % (statistics.median(jumps), max(jumps)))
            start = time.monotonic()
            for y in range(400, side, 800):
                for x in range(640, side, 1280):
                    zoom_to(driver, 1, x, y)
                    wait_for(driver, FULLY_LOADED, 30)
            heap, cached = driver.execute_script(
                "window.gc(); return [performance.memory.usedJSHeapSize, window.crReader.cache.bytes];")
            print("panned across the whole image at 1:1 in %.0f s: JS heap %.1f MiB, rebuilt rectangles cached %.1f MiB (bound %d MiB)"
                  % (time.monotonic() - start, heap / 2**20, cached / 2**20,
                     driver.execute_script("return window.crReader.cache.maxBytes;") // 2**20))
        finally:
            driver.quit()
            nginx.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
