"""What the browser tests share: headless Chromium through Selenium, polling the page, P6 images,
the test's verdicts, and hosts on loopback: nginx with a configuration of its own (started by the
test, not as the system's service), Python's http.server, which ignores Range, and crserve."""
import os
import socket
import subprocess
import sys
import time

from selenium import webdriver
from selenium.webdriver.chrome.service import Service

results = []


def check(name, ok, detail=""):
    results.append(ok)
    print(("ok     " if ok else "FAILED ") + name + (": " + detail if detail else ""), flush=True)
    return ok


def summary():
    """Prints "N passed, M failed"; the exit status."""
    failed = results.count(False)
    print("%d passed, %d failed" % (len(results) - failed, failed))
    return 1 if failed else 0


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


def open_browser(window, *extra):
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                "--window-size=%d,%d" % window, "--force-device-scale-factor=1", *extra):
        options.add_argument(arg)
    return webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)


def wait_for(driver, script, seconds, *args):
    """Polls a script until it returns a true value; the seconds it took, or None."""
    start = time.monotonic()
    while time.monotonic() - start < seconds:
        if driver.execute_script(script, *args):
            return time.monotonic() - start
        time.sleep(0.02)
    return None


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for_port(port, process, seconds=10):
    start = time.monotonic()
    while time.monotonic() - start < seconds:
        if process.poll() is not None:
            raise RuntimeError("the host exited with status %d" % process.returncode)
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=0.2):
                return
        except OSError:
            time.sleep(0.05)
    raise RuntimeError("nothing listens on port %d" % port)


# Each request of the access log: port, method, path, Range header, status, body bytes.
LOG_FORMAT = '$server_port $request_method $uri "$http_range" $status $body_bytes_sent'

# The headers a host of CR files sends when the viewer's page comes from another origin: the page
# may read the reply and its Content-Range, and may send Range (browsers that ask first do so with
# a preflight OPTIONS request). The README's worked example is this block.
CORS_LOCATION = r"""
    location ~ \.cr$ {
        add_header Access-Control-Allow-Origin * always;
        add_header Access-Control-Allow-Headers Range always;
        add_header Access-Control-Expose-Headers "Content-Range, Content-Length, Accept-Ranges" always;
        if ($request_method = OPTIONS) {
            return 204;
        }
    }
"""


class Nginx:
    """nginx serving `root` on a free loopback port, and on a second one with CORS_LOCATION, its
    configuration, logs and temporary folders all in `work`."""

    def __init__(self, root, work):
        # Run as root, nginx serves through workers of an unprivileged user: the folders must be
        # readable by all (a temporary folder is not).
        for folder in (work, root):
            os.chmod(folder, 0o755)
        self.port, self.cors_port = free_port(), free_port()
        self.access_log = os.path.join(work, "access.log")
        temp = "".join("  %s_temp_path %s;\n" % (name, os.path.join(work, name))
                       for name in ("client_body", "proxy", "fastcgi", "uwsgi", "scgi"))
        config = os.path.join(work, "nginx.conf")
        with open(config, "w") as f:
            f.write("""worker_processes 1;
daemon off;
pid %(work)s/nginx.pid;
error_log %(work)s/error.log;
events { worker_connections 256; }
http {
  types { text/html html; text/javascript js; image/png png; application/octet-stream cr; }
  default_type application/octet-stream;
  log_format ranges '%(format)s';
  access_log %(log)s ranges;
%(temp)s
  server { listen 127.0.0.1:%(port)d; root %(root)s; }
  server { listen 127.0.0.1:%(cors_port)d; root %(root)s; %(cors)s }
}
""" % dict(work=work, format=LOG_FORMAT, log=self.access_log, temp=temp, port=self.port, root=root,
           cors_port=self.cors_port, cors=CORS_LOCATION))
        self.process = subprocess.Popen(["/usr/sbin/nginx", "-p", work, "-c", config, "-e", os.path.join(work, "error.log")],
                                        stdout=subprocess.DEVNULL, stderr=sys.stderr)
        wait_for_port(self.port, self.process)
        wait_for_port(self.cors_port, self.process)
        self.url = "http://127.0.0.1:%d/" % self.port
        self.cors_url = "http://127.0.0.1:%d/" % self.cors_port

    def requests(self):
        """The requests logged so far: [(port, method, path, range, status, bytes)]."""
        entries = []
        with open(self.access_log) as f:
            for line in f:
                port, method, path, rest = line.split(" ", 3)
                quoted, status, sent = rest.rsplit(" ", 2)
                entries.append((int(port), method, path, quoted.strip('"'), int(status), int(sent)))
        return entries

    def stop(self):
        self.process.terminate()
        return self.process.wait(10)


class PlainHost:
    """Python's http.server on a free loopback port: 200 and the whole file, whatever Range asks."""

    def __init__(self, root):
        self.port = free_port()
        self.process = subprocess.Popen([sys.executable, "-m", "http.server", str(self.port), "--bind", "127.0.0.1",
                                         "--directory", root], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_for_port(self.port, self.process)
        self.url = "http://127.0.0.1:%d/" % self.port

    def stop(self):
        self.process.terminate()
        return self.process.wait(10)


class Crserve:
    """crserve serving a CR file or a folder on a free loopback port, with `options`."""

    def __init__(self, crserve, path, *options):
        self.process = subprocess.Popen([crserve, path, "-port", "0", *options], stdout=subprocess.PIPE, text=True)
        line = self.process.stdout.readline().strip()  # "serving PATH on http://127.0.0.1:PORT/"
        if not line.startswith("serving "):
            self.process.kill()
            raise RuntimeError("crserve did not start: " + line)
        self.url = line.split(" on ")[-1]

    def stop(self):
        self.process.terminate()
        return self.process.wait(10)


def read_photo(path):
    """(width, height, rgb) of a P6 or P5 photo of maximum 255, grey made RGB."""
    with open(path, "rb") as f:
        data = f.read()
    magic = data[:2]
    if magic == b"P6":
        return read_p6(path)
    fields = data.split(maxsplit=4)
    width, height = int(fields[1]), int(fields[2])
    grey = data[len(data) - width * height:]
    return width, height, bytes(b for v in grey for b in (v, v, v))


def write_mosaic(path, side, photos, cell=512):
    """A photo-like P6 image of side x side: cells of `cell` pixels, each a photo scaled to the cell
    (nearest pixel), the photos taken in turn."""
    scaled = []
    for photo in photos:
        width, height, rgb = read_photo(photo)
        columns = [3 * (x * width // cell) for x in range(cell)]
        rows = []
        for y in range(cell):
            line = rgb[3 * width * (y * height // cell):3 * width * (y * height // cell + 1)]
            rows.append(b"".join(line[c:c + 3] for c in columns))
        scaled.append(rows)
    with open(path, "wb") as f:
        f.write(b"P6\n%d %d\n255\n" % (side, side))
        for y in range(side):
            cells = [scaled[(y // cell + x // cell) % len(scaled)][y % cell] for x in range(0, side, cell)]
            f.write(b"".join(cells)[:3 * side])


# OpenSeadragon has drawn every tile of the view it needs (the page keeps its viewer in window.viewer,
# which names the viewer's element until the viewer is made).
FULLY_LOADED = """
  const v = window.viewer;
  return !!(v && v.world && v.world.getItemCount() > 0 && v.world.getItemAt(0).getFullyLoaded() && !v.world.needsDraw());
"""

ZOOM = """
  const [scale, x, y] = arguments;
  const v = window.viewer;
  v.viewport.zoomTo(v.viewport.imageToViewportZoom(1 / scale), null, true);
  v.viewport.panTo(v.viewport.imageToViewportCoordinates(new OpenSeadragon.Point(x, y)), true);
  const p = v.viewport.imageToViewerElementCoordinates(new OpenSeadragon.Point(0, 0));
  v.viewport.panBy(v.viewport.deltaPointsFromPixels(new OpenSeadragon.Point(p.x - Math.round(p.x), p.y - Math.round(p.y))), true);
  const q = v.viewport.imageToViewerElementCoordinates(new OpenSeadragon.Point(0, 0));
  return [q.x, q.y];
"""


def zoom_to(driver, scale, x, y):
    """Zooms the viewer to one canvas pixel per `scale` image pixels (the level of that scale at
    1:1), image point (x, y) in the middle, the image's corner on a pixel boundary; that corner,
    once the viewer has drawn a frame of the new view."""
    corner = driver.execute_script(ZOOM, scale, x, y)
    driver.execute_async_script("const done = arguments[0]; requestAnimationFrame(() => requestAnimationFrame(done));")
    return corner


CANVAS_RGB = """
  const [x, y, w, h, scale] = arguments;
  const v = window.viewer;
  const p = v.viewport.imageToViewerElementCoordinates(new OpenSeadragon.Point(x * scale, y * scale));
  const ratio = OpenSeadragon.pixelDensityRatio;
  const pixels = v.drawer.canvas.getContext("2d").getImageData(Math.round(p.x * ratio), Math.round(p.y * ratio), w, h).data;
  const rgb = [];
  for (let i = 0; i < pixels.length; i += 4) rgb.push(pixels[i], pixels[i + 1], pixels[i + 2]);
  return rgb;
"""


def canvas_rgb(driver, x, y, w, h, scale=1):
    """The canvas samples of the w x h region at (x, y) of the level of `scale`, as drawn."""
    return driver.execute_script(CANVAS_RGB, x, y, w, h, scale)
