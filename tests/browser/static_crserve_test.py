#!/usr/bin/python3
"""The static viewer page as crserve builds it in, reading the CR file from crserve itself by
ranges: headless Chromium opens static.html?src=/image.cr of a single file, and
static.html?src=files/ID.cr of a folder's image, a photo mosaic of 2048 x 2048, zooms to 1:1 and
compares the canvas with `cr2ppm -xr` (at least 50 dB); the reader's own count shows it read a part
of the file, not all of it. Then a page of one crserve reads the file of another: across origins with -cors, and refused
without it. Prints "N passed, M failed".

  static_crserve_test.py CRSERVE PPM2R64 CR2PPM SAMPLES
"""
import os
import sys
import tempfile
import urllib.parse

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from browser_support import FULLY_LOADED, Crserve, check, open_browser, summary, wait_for, write_mosaic  # noqa: E402
from static_test import WINDOW, open_page, packed, views_at_one_to_one  # noqa: E402

READ = "return window.crReader.stats;"


def check_read_in_part(driver, label, cr):
    stats = driver.execute_script(READ)
    size = os.path.getsize(cr)
    check("%s: read by ranges, not whole" % label, 0 < stats["bytes"] < size,
          "%d requests, %d bytes of %d" % (stats["requests"], stats["bytes"], size))


def main():
    if len(sys.argv) != 5:
        print(__doc__, file=sys.stderr)
        return 2
    crserve, ppm2r64, cr2ppm, samples = sys.argv[1:]
    with tempfile.TemporaryDirectory() as work:
        folder = os.path.join(work, "lib")
        os.makedirs(os.path.join(folder, "maps"))
        mosaic_ppm = os.path.join(work, "mosaic.ppm")
        write_mosaic(mosaic_ppm, 2048, [os.path.join(samples, name) for name in ("coffee.ppm", "hubble.ppm", "camera.pgm")])
        photo = packed(ppm2r64, mosaic_ppm, os.path.join(folder, "maps", "mosaic 1.cr"), "-crsize", "64")
        single, library, other, driver = Crserve(crserve, photo), Crserve(crserve, folder), None, None
        try:
            other = Crserve(crserve, photo, "-cors")
            driver = open_browser(WINDOW)
            state, status = open_page(driver, single.url + "static.html?src=/image.cr")
            check("single file: opened", state == "open" and wait_for(driver, FULLY_LOADED, 20) is not None, status)
            views_at_one_to_one(driver, "single file", photo, cr2ppm, work, [(0, 1500, 1700), (1, 100, 150)])
            check_read_in_part(driver, "single file", photo)

            src = urllib.parse.quote("files/" + urllib.parse.quote("maps/mosaic 1", safe="") + ".cr", safe="")
            state, status = open_page(driver, library.url + "static.html?src=" + src)
            check("folder: opened by the image's name", state == "open" and wait_for(driver, FULLY_LOADED, 20) is not None, status)
            views_at_one_to_one(driver, "folder", photo, cr2ppm, work, [(0, 40, 30)])

            state, status = open_page(driver, single.url + "static.html?src=" + other.url + "image.cr")
            check("another origin with -cors", state == "open" and wait_for(driver, FULLY_LOADED, 20) is not None, status)
            check_read_in_part(driver, "another origin", photo)
            state, status = open_page(driver, other.url + "static.html?src=" + single.url + "image.cr")
            check("another origin without -cors", state == "failed" and "Access-Control-Allow-Origin" in status, status)
            state, status = open_page(driver, library.url + "static.html?src=files/nothing.cr")
            check("a name the folder does not hold", state == "failed" and "404" in status, status)
        finally:
            if driver is not None:
                driver.quit()
            for server in (single, library, other):
                if server is not None:
                    check("crserve stopped cleanly", server.stop() == 0)
    return summary()


if __name__ == "__main__":
    sys.exit(main())
