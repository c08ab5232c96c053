#!/usr/bin/python3
"""The static viewer page in a real browser, with no server of ours: nginx (started here on
loopback with its own configuration) serves the page's folder, as scripts/static-site.sh makes it,
beside CR files; headless Chromium opens static.html?src=FILE.cr, zooms to 1:1 at several places and
levels and compares the canvas with `cr2ppm -xr` (at least 50 dB); the access log shows that every
read of a CR file was a range, none of the whole file. Then what the page says to a host that
ignores ranges (Python's http.server), to a file that is not a CR file, to a missing one, to a
damaged block (its tile alone stays empty), and across origins with and without the CORS headers
of the README. Prints "N passed, M failed".

  static_test.py PPM2R64 CR2PPM SAMPLES
"""
import math
import os
import shutil
import struct
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from browser_support import (FULLY_LOADED, Nginx, PlainHost, canvas_rgb, check, open_browser, read_p6,  # noqa: E402
                             summary, wait_for, write_mosaic, zoom_to)

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
MIN_PSNR = 50.0
PATCH = 96
WINDOW = (1024, 768)
OPENED = "return document.documentElement.dataset.cr;"
STATUS = "return document.getElementById('status').textContent;"


def packed(ppm2r64, image, cr, *options):
    subprocess.run([ppm2r64, "-pr", image, cr + ".r64", "-l", *options, "-cr", cr], check=True, stdout=subprocess.DEVNULL)
    os.remove(cr + ".r64")
    return cr


def region(cr2ppm, cr, level, x, y, w, h, work):
    out = os.path.join(work, "region.ppm")
    subprocess.run([cr2ppm, "-xr", cr, str(level), str(x), str(y), str(w), str(h), out], check=True, stdout=subprocess.DEVNULL)
    return read_p6(out)[2]


def entry(cr, level_first, columns, column, row):
    """offset and size of an entry of a level laid out from entry level_first, columns wide."""
    with open(cr, "rb") as f:
        f.seek(16 + 12 * (level_first + row * columns + column))
        offset, _, size = struct.unpack(">I4sI", f.read(12))
    return offset, size


def compare(a, b):
    squared = sum((x - y) * (x - y) for x, y in zip(a, b))
    largest = max(abs(x - y) for x, y in zip(a, b))
    return largest, math.inf if squared == 0 else 10 * math.log10(255 * 255 * len(b) / squared)


def open_page(driver, url, seconds=20):
    """Opens the page; "open" or "failed" once it knows, with its status line."""
    driver.get(url)
    wait_for(driver, OPENED, seconds)
    return driver.execute_script(OPENED), driver.execute_script(STATUS)


def draw_exactly(driver):
    """OpenSeadragon draws tiles one pixel larger than they are, to hide seams, which resamples them:
    that is turned off, so that at 1:1 the canvas holds the tiles' own pixels; and it draws the
    level of the scale, not also the finer one it would take at that scale."""
    driver.execute_script("""
      window.viewer.drawer.minimumOverlapRequired = () => false;
      window.viewer.world.getItemAt(0).minPixelRatio = 0.9;
    """)


def views_at_one_to_one(driver, label, cr, cr2ppm, work, places):
    """At each (level, x, y) of level pixels: the level at 1:1 around it, compared with cr2ppm."""
    draw_exactly(driver)
    for level, x, y in places:
        scale = 1 << level
        zoom_to(driver, scale, (x + PATCH // 2) * scale, (y + PATCH // 2) * scale)
        loaded = wait_for(driver, FULLY_LOADED, 20) is not None
        canvas = canvas_rgb(driver, x, y, PATCH, PATCH, scale)
        expected = region(cr2ppm, cr, level, x, y, PATCH, PATCH, work)
        largest, db = compare(canvas, expected) if loaded and len(canvas) == len(expected) else (None, 0)
        check("%s: level %d at 1:1 around (%d, %d)" % (label, level, x, y), db >= MIN_PSNR,
              "largest difference %s, PSNR %s" % (largest, "inf" if db == math.inf else "%.1f dB" % db))


def cr_requests(host, name):
    return [r for r in host.requests() if r[2] == "/" + name]


def main():
    if len(sys.argv) != 4:
        print(__doc__, file=sys.stderr)
        return 2
    ppm2r64, cr2ppm, samples = sys.argv[1:]
    with tempfile.TemporaryDirectory() as work:
        site = os.path.join(work, "site")
        subprocess.run([os.path.join(ROOT, "scripts/static-site.sh"), site], check=True, stdout=subprocess.DEVNULL)
        photos = [os.path.join(samples, name) for name in ("coffee.ppm", "hubble.ppm", "camera.pgm")]
        mosaic_ppm = os.path.join(work, "mosaic.ppm")
        write_mosaic(mosaic_ppm, 4096, photos)
        mosaic = packed(ppm2r64, mosaic_ppm, os.path.join(site, "mosaic.cr"), "-crmode", "efficient")
        photo = packed(ppm2r64, photos[1], os.path.join(site, "photo.cr"), "-crsize", "64")
        # Level 0 of the 1000 x 872 photo in 64: 16 columns; rectangle (3, 2) has its JPEG stream's
        # markers overwritten.
        damaged = os.path.join(site, "damaged.cr")
        shutil.copy(photo, damaged)
        offset, size = entry(photo, 0, 16, 3, 2)
        with open(damaged, "r+b") as f:
            f.seek(offset + 2)
            f.write(b"\x55" * (size - 2))
        shutil.copy(photos[0], os.path.join(site, "not-a-cr.cr"))

        nginx, plain, driver = Nginx(site, work), PlainHost(site), None
        try:
            driver = open_browser(WINDOW)
            state, status = open_page(driver, nginx.url + "static.html?src=mosaic.cr")
            seconds = wait_for(driver, FULLY_LOADED, 20)
            check("mosaic: first screen", state == "open" and seconds is not None, status or "%.2f s after opening" % (seconds or 0))
            views_at_one_to_one(driver, "mosaic", mosaic, cr2ppm, work,
                                [(0, 1500, 1700), (0, 4096 - PATCH, 4096 - PATCH), (0, 0, 2000), (1, 700, 300), (2, 10, 900)])
            reads = cr_requests(nginx, "mosaic.cr")
            size = os.path.getsize(mosaic)
            # 304: the browser revalidated a range it had cached.
            whole = [r for r in reads if r[4] not in (206, 304) or r[3] == "-" or r[5] >= size]
            check("mosaic: every read a range, none of the whole file", reads and not whole,
                  "%d requests, %d bytes of %d; not ranges: %s" % (len(reads), sum(r[5] for r in reads), size, whole or "none"))

            state, status = open_page(driver, nginx.url + "static.html?src=photo.cr")
            check("photo: opened", state == "open", status)
            views_at_one_to_one(driver, "photo", photo, cr2ppm, work, [(0, 130, 70), (0, 900, 700), (1, 200, 150)])

            state, status = open_page(driver, nginx.url + "static.html?src=damaged.cr")
            wait_for(driver, FULLY_LOADED, 20)
            draw_exactly(driver)
            zoom_to(driver, 1, 192 + 32, 128 + 32)
            said = wait_for(driver, "return document.getElementById('status').textContent.includes('damaged');", 20)
            loaded = wait_for(driver, FULLY_LOADED, 20)
            status = driver.execute_script(STATUS)
            check("damaged block: the page names the rectangle",
                  said is not None and "rectangle (192, 128) of level 0 is damaged" in status, status)
            neighbour = region(cr2ppm, photo, 0, 192 - 64, 128, 64, 64, work)
            largest, db = compare(canvas_rgb(driver, 128, 128, 64, 64), neighbour)
            check("damaged block: the tiles around it are drawn", loaded is not None and db >= MIN_PSNR,
                  "largest difference %d beside it" % largest)
            hole = canvas_rgb(driver, 192, 128, 64, 64)
            check("damaged block: its own tile is not", compare(hole, region(cr2ppm, photo, 0, 192, 128, 64, 64, work))[1] < MIN_PSNR)

            state, status = open_page(driver, plain.url + "static.html?src=photo.cr")
            check("a host without ranges is named with the header its reply lacks",
                  state == "failed" and "does not serve byte ranges" in status and "Content-Range" in status, status)
            state, status = open_page(driver, nginx.url + "static.html?src=not-a-cr.cr")
            check("a file that is not a CR file", state == "failed" and "is not a CR file" in status, status)
            state, status = open_page(driver, nginx.url + "static.html?src=nothing.cr")
            check("a missing file", state == "failed" and "404" in status, status)

            before = len(nginx.requests())
            state, status = open_page(driver, nginx.url + "static.html?src=" + nginx.cors_url + "photo.cr")
            check("another origin with the README's CORS headers",
                  state == "open" and wait_for(driver, FULLY_LOADED, 20) is not None, status)
            preflights = [r for r in nginx.requests()[before:] if r[1] == "OPTIONS"]
            print("       (the browser sent %d preflight requests for those ranges)" % len(preflights))
            state, status = open_page(driver, nginx.cors_url + "static.html?src=" + nginx.url + "photo.cr")
            check("another origin without them", state == "failed" and "Access-Control-Allow-Origin" in status, status)
        finally:
            if driver is not None:
                driver.quit()
            check("nginx stopped cleanly", nginx.stop() == 0)
            plain.stop()
    return summary()


if __name__ == "__main__":
    sys.exit(main())
