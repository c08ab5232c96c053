#!/usr/bin/python3
"""The viewer in a real browser: crserve serves the CR file of a photo, headless Chromium opens its
page, waits for the first screen of tiles, zooms in to 1:1 and compares pixels of the viewer's
canvas with the level rebuilt by cr2ppm at known places, within JPEG error. Prints
"N passed, M failed"; exits 1 on any failure.

  viewer_test.py CRSERVE PPM2R64 CR2PPM PHOTO.ppm
"""
import os
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from browser_support import FULLY_LOADED, canvas_rgb, check, open_browser, read_p6, summary, wait_for, zoom_to  # noqa: E402

PATCH = 16          # side of the squares compared, in luma (brightness)
MAX_MEAN_SHIFT = 6  # difference of a square's mean luma allowed: the right place of the right level
MAX_ERROR = 24      # mean absolute luma difference of its pixels allowed: two JPEG codings, and the
                    # browser's drawing, which resamples tiles by a fraction of a pixel
WINDOW = (800, 600)


def start_server(crserve, cr):
    server = subprocess.Popen([crserve, cr, "-port", "0"], stdout=subprocess.PIPE, text=True)
    line = server.stdout.readline().strip()  # "serving FILE on http://127.0.0.1:PORT/"
    if not line.startswith("serving "):
        server.kill()
        raise RuntimeError("crserve did not start: " + line)
    return server, line.split(" on ")[-1]


# Name and status of the images fetched whose URL holds arguments[0].
RESOURCES = """
  return performance.getEntriesByType("resource").filter(e => e.name.includes(arguments[0]) && e.name.endsWith(".jpg"))
    .map(e => [e.name, e.responseStatus]);
"""


def zoom_to_one_to_one(driver, label, width, height):
    """Zooms to one canvas pixel per image pixel, the image's corner on a pixel boundary."""
    corner = zoom_to(driver, 1, width // 2, height // 2)
    check(label + "zoomed to 1:1", wait_for(driver, FULLY_LOADED, 20) is not None,
          "image corner at (%.2f, %.2f) of the canvas" % tuple(corner))


def level_patch(width, rgb, x, y):
    out = []
    for row in range(y, y + PATCH):
        at = 3 * (row * width + x)
        out.extend(rgb[at:at + 3 * PATCH])
    return out


def luma(rgb):
    return [0.299 * rgb[i] + 0.587 * rgb[i + 1] + 0.114 * rgb[i + 2] for i in range(0, len(rgb), 3)]


def luma_error(a, b):
    """Mean absolute difference of the luma of two runs of RGB samples of the same length."""
    return sum(abs(x - y) for x, y in zip(luma(a), luma(b))) / (len(b) // 3)


def mean_shift(a, b):
    return abs(sum(luma(a)) - sum(luma(b))) / (len(b) // 3)


def compare_at_one_to_one(driver, label, width, height, rgb):
    places = [(x, y) for y in (8, height // 3, height // 2 + 5, height - PATCH - 8)
              for x in (8, width // 4 + 3, width // 2 + 1, 3 * width // 4, width - PATCH - 8)]
    errors, elsewhere = [], []
    for x, y in places:
        canvas = canvas_rgb(driver, x, y, PATCH, PATCH)
        expected = level_patch(width, rgb, x, y)
        if len(canvas) != len(expected):
            check(label + "pixels at (%d, %d)" % (x, y), False, "%d samples read" % len(canvas))
            continue
        shift, error = mean_shift(canvas, expected), luma_error(canvas, expected)
        errors.append(error)
        check(label + "pixels at (%d, %d)" % (x, y), shift <= MAX_MEAN_SHIFT and error <= MAX_ERROR,
              "mean differs by %.1f, pixels by %.1f" % (shift, error))
        elsewhere.append(luma_error(canvas, level_patch(width, rgb, (x + 97) % (width - PATCH), (y + 61) % (height - PATCH))))
    # The comparison must be able to fail: other places of the photo differ far more.
    near, far = sorted(errors)[len(errors) // 2], sorted(elsewhere)[len(elsewhere) // 2]
    check(label + "the photo differs from place to place", far > 3 * near, "median error %.1f here, %.1f elsewhere" % (near, far))


def main():
    if len(sys.argv) != 5:
        print(__doc__, file=sys.stderr)
        return 2
    crserve, ppm2r64, cr2ppm, photo = sys.argv[1:]
    with tempfile.TemporaryDirectory() as work:
        cr, level0 = os.path.join(work, "photo.cr"), os.path.join(work, "level0.ppm")
        subprocess.run([ppm2r64, "-pr", photo, os.path.join(work, "photo.r64"), "-l", "-crsize", "64", "-cr", cr],
                       check=True, stdout=subprocess.DEVNULL)
        subprocess.run([cr2ppm, "-x", cr, "0", level0], check=True, stdout=subprocess.DEVNULL)
        width, height, rgb = read_p6(level0)
        server, url = start_server(crserve, cr)
        driver = None
        try:
            driver = open_browser(WINDOW)
            driver.get(url)
            seconds = wait_for(driver, FULLY_LOADED, 20)
            check("first screen of tiles", seconds is not None,
                  "%.2f s after the page loaded" % seconds if seconds is not None else "not within 20 s")
            zoom_to_one_to_one(driver, "", width, height)
            full = driver.execute_script(RESOURCES, "/image_files/%d/" % max(width - 1, height - 1).bit_length())
            check("full-resolution tiles fetched", len(full) > 0, "%d tiles" % len(full))
            compare_at_one_to_one(driver, "", width, height, rgb)
            # The same through IIIF, OpenSeadragon's own client of the protocol.
            driver.execute_script('window.viewer.open("/iiif/info.json");')
            check("iiif: first screen of tiles", wait_for(driver, FULLY_LOADED, 20) is not None)
            zoom_to_one_to_one(driver, "iiif: ", width, height)
            tiles = driver.execute_script(RESOURCES, "/iiif/")
            refused = [name for name, status in tiles if status != 200]
            check("iiif: every tile asked for is served", len(tiles) > 0 and not refused,
                  "%d tiles, refused: %s" % (len(tiles), " ".join(refused) or "none"))
            compare_at_one_to_one(driver, "iiif: ", width, height, rgb)
            # Full page, what the full-screen button does first; the browser itself refuses full
            # screen to a script without a user's gesture.
            driver.execute_script("window.viewer.setFullPage(true);")
            check("full page", wait_for(driver, "return window.viewer.isFullPage();", 5) is not None)
        finally:
            if driver is not None:
                driver.quit()
            server.terminate()
            check("server stopped cleanly", server.wait(10) == 0)
    return summary()


if __name__ == "__main__":
    sys.exit(main())
