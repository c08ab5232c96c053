#!/usr/bin/python3
"""The viewer in a real browser: crserve serves the CR file of a photo, headless Chromium opens its
page, waits for the first screen of tiles, zooms in to 1:1 and compares pixels of the viewer's
canvas with the level rebuilt by cr2ppm at known places, within JPEG error, through Deep Zoom and
IIIF. Then the same behind nginx (Debian's, started here on loopback) under a path prefix, with
crserve serving a folder: the list, an image's page and its tiles through both protocols, the page
naming the image and its size, the view kept in the address, and a 3 x 3 image shown as crisp
blocks. Prints "N passed, M failed"; exits 1 on any failure.

  viewer_test.py CRSERVE PPM2R64 CR2PPM PHOTO.ppm
"""
import os
import socket
import subprocess
import sys
import tempfile
import time

from selenium import webdriver
from selenium.webdriver.chrome.service import Service

PATCH = 16          # side of the squares compared, in luma (brightness)
MAX_MEAN_SHIFT = 6  # difference of a square's mean luma allowed: the right place of the right level
MAX_ERROR = 24      # mean absolute luma difference of its pixels allowed: two JPEG codings, and the
                    # browser's drawing, which resamples tiles by a fraction of a pixel
WINDOW = (800, 600)

results = []


def check(name, ok, detail=""):
    results.append(ok)
    print(("ok     " if ok else "FAILED ") + name + (": " + detail if detail else ""), flush=True)


def read_p6(path):
    with open(path, "rb") as f:
        data = f.read()
    fields, at = [], 0
    while len(fields) < 4:
        while data[at:at + 1].isspace():
            at += 1
        start = at
        while not data[at:at + 1].isspace():
            at += 1
        fields.append(data[start:at])
    assert fields[0] == b"P6" and fields[3] == b"255", "not a P6 image of maximum 255"
    return int(fields[1]), int(fields[2]), data[at + 1:]


def start_server(crserve, cr, *options):
    server = subprocess.Popen([crserve, cr, "-port", "0", *options], stdout=subprocess.PIPE, text=True)
    line = server.stdout.readline().strip()  # "serving FILE on http://127.0.0.1:PORT/"
    if not line.startswith("serving "):
        server.kill()
        raise RuntimeError("crserve did not start: " + line)
    return server, line.split(" on ")[-1]


def open_browser():
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                "--window-size=%d,%d" % WINDOW, "--force-device-scale-factor=1"):
        options.add_argument(arg)
    return webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)


def wait_for(driver, script, seconds):
    """Polls a script until it returns true; the seconds it took, or None."""
    start = time.monotonic()
    while time.monotonic() - start < seconds:
        if driver.execute_script(script):
            return time.monotonic() - start
        time.sleep(0.02)
    return None


FULLY_LOADED = """
  const v = window.viewer;
  return !!(v && v.world.getItemCount() > 0 && v.world.getItemAt(0).getFullyLoaded() && !v.world.needsDraw());
"""

# The canvas samples of a square whose top-left image pixel is (x, y), at 1:1.
CANVAS_PATCH = """
  const [x, y, side] = arguments;
  const v = window.viewer;
  const p = v.viewport.imageToViewerElementCoordinates(new OpenSeadragon.Point(x, y));
  const ratio = OpenSeadragon.pixelDensityRatio;
  const pixels = v.drawer.canvas.getContext("2d").getImageData(Math.round(p.x * ratio), Math.round(p.y * ratio), side, side).data;
  const rgb = [];
  for (let i = 0; i < pixels.length; i += 4) rgb.push(pixels[i], pixels[i + 1], pixels[i + 2]);
  return rgb;
"""


# Name and status of the images fetched whose URL holds arguments[0].
RESOURCES = """
  return performance.getEntriesByType("resource").filter(e => e.name.includes(arguments[0]) && e.name.endsWith(".jpg"))
    .map(e => [e.name, e.responseStatus]);
"""


def zoom_to_one_to_one(driver, label, width, height):
    """Zooms to one canvas pixel per image pixel, the image's corner on a pixel boundary."""
    driver.execute_script("""
      const v = window.viewer;
      v.viewport.zoomTo(v.viewport.imageToViewportZoom(1), null, true);
      v.viewport.panTo(v.viewport.imageToViewportCoordinates(new OpenSeadragon.Point(%d, %d)), true);
    """ % (width // 2, height // 2))
    corner = driver.execute_script("""
      const v = window.viewer;
      const p = v.viewport.imageToViewerElementCoordinates(new OpenSeadragon.Point(0, 0));
      v.viewport.panBy(v.viewport.deltaPointsFromPixels(new OpenSeadragon.Point(p.x - Math.round(p.x), p.y - Math.round(p.y))), true);
      const q = v.viewport.imageToViewerElementCoordinates(new OpenSeadragon.Point(0, 0));
      return [q.x, q.y];
    """)
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
        canvas = driver.execute_script(CANVAS_PATCH, x, y, PATCH)
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


NGINX = "/usr/sbin/nginx"
PREFIX = "/images/"

NGINX_CONF = """
user root;
daemon off;
worker_processes 1;
pid %(work)s/nginx.pid;
error_log %(work)s/nginx-error.log;
events { worker_connections 64; }
http {
    access_log off;
    client_body_temp_path %(work)s/body;
    proxy_temp_path %(work)s/proxy;
    fastcgi_temp_path %(work)s/fastcgi;
    uwsgi_temp_path %(work)s/uwsgi;
    scgi_temp_path %(work)s/scgi;
    server {
        listen 127.0.0.1:%(port)d;
        location %(prefix)s {
            proxy_pass %(upstream)s/;
            proxy_set_header Host $http_host;
            proxy_set_header X-Forwarded-Proto $scheme;
            proxy_set_header X-Forwarded-Prefix %(prefix_no_slash)s;
        }
    }
}
"""


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def start_nginx(work, upstream):
    """nginx on a free loopback port, passing PREFIX on to upstream; its URL, and the process."""
    port = free_port()
    conf = os.path.join(work, "nginx.conf")
    with open(conf, "w") as f:
        f.write(NGINX_CONF % {"work": work, "port": port, "prefix": PREFIX, "prefix_no_slash": PREFIX.rstrip("/"),
                              "upstream": upstream.rstrip("/")})
    proxy = subprocess.Popen([NGINX, "-c", conf, "-e", os.path.join(work, "nginx-error.log")],
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    for _ in range(100):
        try:
            socket.create_connection(("127.0.0.1", port), timeout=0.1).close()
            return "http://127.0.0.1:%d" % port, proxy
        except OSError:
            time.sleep(0.05)
    proxy.kill()
    raise RuntimeError("nginx did not start")


# The names, statuses and URLs of the images fetched so far.
ALL_IMAGES = """
  return performance.getEntriesByType("resource").filter(e => /\\.(jpg|png)$/.test(e.name))
    .map(e => [e.name, e.responseStatus]);
"""

# The distinct colours the canvas shows inside the image's bounds, and the image's size there.
CANVAS_COLOURS = """
  const v = window.viewer;
  const item = v.world.getItemAt(0);
  const size = item.getContentSize();
  const a = v.viewport.imageToViewerElementCoordinates(new OpenSeadragon.Point(0, 0));
  const b = v.viewport.imageToViewerElementCoordinates(new OpenSeadragon.Point(size.x, size.y));
  const ratio = OpenSeadragon.pixelDensityRatio;
  const x0 = Math.ceil(a.x * ratio) + 1, y0 = Math.ceil(a.y * ratio) + 1;
  const w = Math.floor(b.x * ratio) - x0 - 1, h = Math.floor(b.y * ratio) - y0 - 1;
  const data = v.drawer.canvas.getContext("2d").getImageData(x0, y0, w, h).data;
  const colours = new Set();
  for (let i = 0; i < data.length; i += 4) colours.add(data[i] + "," + data[i + 1] + "," + data[i + 2]);
  return [colours.size, b.x - a.x, b.y - a.y];
"""


def check_behind_proxy(driver, crserve, work, photo_cr, width, height, rgb, ppm2r64):
    """crserve on a folder behind nginx under PREFIX: list, page, Deep Zoom, IIIF, address, tiny image."""
    folder = os.path.join(work, "folder")
    os.makedirs(os.path.join(folder, "photos"))
    os.link(photo_cr, os.path.join(folder, "photos", "coffee.cr"))
    tiny = os.path.join(work, "tiny.ppm")
    with open(tiny, "wb") as f:  # 3 x 3: black, white and primaries
        f.write(b"P6\n3 3\n255\n" + bytes([0, 0, 0, 255, 255, 255, 255, 0, 0, 0, 255, 0, 0, 0, 255, 255, 255, 0,
                                              0, 255, 255, 255, 0, 255, 128, 128, 128]))
    subprocess.run([ppm2r64, "-pr", tiny, os.path.join(work, "tiny.r64"), "-crsize", "64", "-cr",
                    os.path.join(folder, "tiny.cr")], check=True, stdout=subprocess.DEVNULL)
    server, upstream = start_server(crserve, folder, "-trust-proxy")
    proxy = None
    try:
        public, proxy = start_nginx(work, upstream)
        base = public + PREFIX
        driver.get(base)
        listed = driver.execute_script("return [...document.querySelectorAll('li a:nth-child(2)')].map(a => a.textContent);")
        check("proxy: the list names the images", listed == ["photos/coffee", "tiny"], repr(listed))
        thumbs = wait_for(driver, "return [...document.images].every(i => i.complete && i.naturalWidth > 0);", 10)
        check("proxy: the list's thumbnails load", thumbs is not None)
        driver.get(base + "view/photos%2Fcoffee")
        check("proxy: first screen of tiles", wait_for(driver, FULLY_LOADED, 20) is not None)
        title = driver.title
        about = driver.execute_script("return document.getElementById('about').textContent;")
        check("proxy: the title and the overlay name the image and its size",
              "photos/coffee" in title and "600 × 400" in title and "photos/coffee" in about and "600 × 400" in about,
              "%r, %r" % (title, about))
        zoom_to_one_to_one(driver, "proxy: ", width, height)
        fetched = driver.execute_script(ALL_IMAGES)
        outside = [name for name, status in fetched if not name.startswith(base) or status != 200]
        check("proxy: Deep Zoom tiles come through the prefix", len(fetched) > 0 and not outside,
              "%d tiles, others: %s" % (len(fetched), " ".join(outside[:3]) or "none"))
        compare_at_one_to_one(driver, "proxy: ", width, height, rgb)
        # The view in the address: opened again from it, the same view.
        time.sleep(0.3)
        address = driver.current_url
        check("proxy: the view is kept in the address", "#" in address and address.count(",") == 2, address)
        zoom = driver.execute_script("const v = window.viewer.viewport; return v.viewportToImageZoom(v.getZoom(true));")
        driver.get("about:blank")
        driver.get(address)
        wait_for(driver, FULLY_LOADED, 20)
        again = driver.execute_script("const v = window.viewer.viewport; return v.viewportToImageZoom(v.getZoom(true));")
        check("proxy: a shared address opens the same view", abs(again - zoom) < 0.01 * zoom, "%.3f, then %.3f" % (zoom, again))
        # IIIF by the page's own relative descriptor: tiles from the id info.json names.
        driver.execute_script("performance.clearResourceTimings(); window.viewer.open(document.getElementById('viewer').dataset.iiif);")
        check("proxy: iiif: first screen of tiles", wait_for(driver, FULLY_LOADED, 20) is not None)
        zoom_to_one_to_one(driver, "proxy: iiif: ", width, height)
        fetched = driver.execute_script(ALL_IMAGES)
        outside = [name for name, status in fetched if not name.startswith(base + "iiif/") or status != 200]
        check("proxy: iiif: tiles come through the prefix", len(fetched) > 0 and not outside,
              "%d tiles, others: %s" % (len(fetched), " ".join(outside[:3]) or "none"))
        compare_at_one_to_one(driver, "proxy: iiif: ", width, height, rgb)
        # A 3 x 3 image: shown at a few screen pixels per image pixel, each a flat block.
        driver.get(base + "view/tiny")
        check("proxy: tiny: shown", wait_for(driver, FULLY_LOADED, 20) is not None)
        colours, shown_w, shown_h = driver.execute_script(CANVAS_COLOURS)
        check("proxy: tiny: a few screen pixels per image pixel", 6 <= shown_w <= 30 and 6 <= shown_h <= 30,
              "%.1f x %.1f screen pixels" % (shown_w, shown_h))
        check("proxy: tiny: crisp blocks, not a blur", colours <= 9, "%d colours" % colours)
    finally:
        if proxy is not None:
            proxy.terminate()
            proxy.wait(10)
        server.terminate()
        check("proxy: server stopped cleanly", server.wait(10) == 0)


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
            driver = open_browser()
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
            server.terminate()
            check("server stopped cleanly", server.wait(10) == 0)
            check_behind_proxy(driver, crserve, work, cr, width, height, rgb, ppm2r64)
        finally:
            if driver is not None:
                driver.quit()
            if server.poll() is None:
                server.terminate()
                server.wait(10)
    failed = results.count(False)
    print("%d passed, %d failed" % (len(results) - failed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
