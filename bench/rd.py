#!/usr/bin/python3
"""Rate and distortion of the files bench/rd.sh encoded: CR files against libvips pyramid TIFFs
and a GDAL COG, level by level, against reference levels that are exact 2 x 2 means.

bench/rd.sh runs the encoders and lists what it wrote in a manifest (one line a file); this script
rebuilds every level of every file with the format's own reader (cr2ppm, vips, gdal_translate),
compares it with the reference level in bands of rows, and prints per image a table, the
equal-PSNR byte ratios of the CR files against the libvips curve and the encode times, then draws
the chart. Memory stays at a few bands of rows: images are read from their files band by band,
the reference levels are written to float32 files as they are made.

  /usr/bin/python3 bench/rd.py MANIFEST.tsv --work DIR --cr2ppm PATH [--chart PNG]
  /usr/bin/python3 bench/rd.py --results DIR/results.json [--chart PNG]   (tables and chart again)
"""
import argparse
import csv
import json
import math
import os
import shutil
import subprocess
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402  (after choosing the Agg backend)
import matplotlib.ticker  # noqa: E402
import numpy as np  # noqa: E402
from skimage.metrics import structural_similarity  # noqa: E402

BAND_BYTES = 4 << 20  # bytes of samples read at once from one level
SSIM_SIDE = 2048  # the level-0 crop SSIM is taken on, centred in the image
SSIM_STRIP = 256  # rows of the crop compared at once (the whole crop would take 700 MB)
SSIM_MARGIN = 3  # skimage's 7 x 7 window reaches 3 pixels, and its mean leaves out 3 at each side
FAMILIES = ("CR standard", "CR efficient", "CR target", "libvips", "GDAL")


# ---- Levels as files of rows: PPM images and raw float32 reference levels.

class Level:
    """A level stored row after row in a file: 3 samples a pixel of dtype, from offset on."""

    def __init__(self, path, width, height, dtype, offset=0):
        self.path, self.width, self.height = path, width, height
        self.dtype, self.offset = np.dtype(dtype), offset

    def rows(self, y, count):
        count = min(count, self.height - y)
        row_bytes = self.width * 3 * self.dtype.itemsize
        with open(self.path, "rb") as f:
            f.seek(self.offset + y * row_bytes)
            band = np.fromfile(f, dtype=self.dtype, count=count * self.width * 3)
        return band.reshape(count, self.width, 3)

    def band_rows(self):
        return max(2, BAND_BYTES // (self.width * 3 * self.dtype.itemsize)) // 2 * 2


def ppm_tokens(f, wanted):
    """The first `wanted` header fields of a PPM, skipping comments; leaves f after the last."""
    tokens, token = [], b""
    while len(tokens) < wanted:
        c = f.read(1)
        if c == b"#":
            f.readline()
        elif c.isspace() or not c:
            if token:
                tokens.append(token)
                token = b""
            if not c:
                break
        else:
            token += c
    return tokens


def open_ppm(path):
    with open(path, "rb") as f:
        magic, width, height, maximum = ppm_tokens(f, 4)
        if magic != b"P6" or maximum != b"255":
            sys.exit(f"rd.py: {path} is not an 8-bit P6 image")
        return Level(path, int(width), int(height), np.uint8, f.tell())


# ---- Reference levels: exact means of 2 x 2 pixels, odd edges averaging the pixels present.

def halve(band, axis):
    """Means of pairs along an axis; a last odd one stays as it is (the pixels present)."""
    even = np.take(band, range(0, band.shape[axis], 2), axis=axis).astype(np.float32)
    odd = np.take(band, range(1, band.shape[axis], 2), axis=axis)
    pairs = [slice(None)] * band.ndim
    pairs[axis] = slice(0, odd.shape[axis])
    even[tuple(pairs)] += odd
    even[tuple(pairs)] *= 0.5
    return even


def next_level_size(width, height):
    return (width + 1) // 2, (height + 1) // 2


def write_reference_level(source, path):
    width, height = next_level_size(source.width, source.height)
    step = source.band_rows()
    with open(path, "wb") as out:
        for y in range(0, source.height, step):
            halve(halve(source.rows(y, step), 0), 1).tofile(out)
    return Level(path, width, height, np.float32)


def reference_levels(image, count, folder):
    """Level 0 is the image itself; levels 1 to count-1 are written to float32 files in folder."""
    os.makedirs(folder, exist_ok=True)
    levels = [open_ppm(image)]
    for k in range(1, count):
        levels.append(write_reference_level(levels[-1], os.path.join(folder, f"level-{k}.f32")))
    return levels


# ---- What each format holds, and its levels rebuilt by the format's own reader.

def run_quietly(command):
    done = subprocess.run(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    if done.returncode != 0:
        sys.exit(f"rd.py: {' '.join(command)} failed: {done.stderr.strip()}")


def output_of(command):
    return subprocess.run(command, check=True, capture_output=True, text=True).stdout


def cr_level_count(cr2ppm, path):
    return sum(line.startswith("level ") for line in output_of([cr2ppm, "-info", path]).splitlines())


def vips_level_count(path):
    return int(output_of(["vipsheader", "-f", "n-pages", path]).strip())


def gdal_level_count(path):
    for line in output_of(["gdalinfo", path]).splitlines():
        if line.strip().startswith("Overviews:"):
            return 1 + len(line.split(":", 1)[1].split(","))
    return 1


def level_count(entry, cr2ppm):
    if entry["codec"] == "cr":
        return cr_level_count(cr2ppm, entry["file"])
    if entry["codec"] == "vips":
        return vips_level_count(entry["file"])
    return gdal_level_count(entry["file"])


def decode_level(entry, level, out, cr2ppm):
    """Writes level `level` of the entry's file to the P6 image `out`, as its own reader gives it."""
    path = entry["file"]
    if entry["codec"] == "cr":
        run_quietly([cr2ppm, "-threads", "2", "-x", path, str(level), out])
    elif entry["codec"] == "vips":
        run_quietly(["vips", "copy", f"{path}[page={level}]", out])
    else:
        overview = ["-oo", f"OVERVIEW_LEVEL={level - 1}"] if level > 0 else []
        run_quietly(["gdal_translate", "-q", "-of", "PNM", *overview, path, out])
        if os.path.exists(out + ".aux.xml"):
            os.remove(out + ".aux.xml")
    return open_ppm(out)


# ---- Metrics.

def squared_error(decoded, reference):
    """Sum of squared sample errors over the pixels both levels hold, and how many samples."""
    width, height = min(decoded.width, reference.width), min(decoded.height, reference.height)
    step = min(decoded.band_rows(), reference.band_rows())
    total = 0.0
    for y in range(0, height, step):
        a = decoded.rows(y, step)[:, :width].astype(np.float32)
        b = reference.rows(y, step)[: a.shape[0], :width]
        d = (a - b).astype(np.float64).ravel()
        total += float(np.dot(d, d))
    return total, width * height * 3


def psnr(total, samples):
    mse = total / samples
    return float("inf") if mse == 0 else 10 * math.log10(255.0 ** 2 / mse)


def ssim_crop_box(width, height):
    w, h = min(SSIM_SIDE, width), min(SSIM_SIDE, height)
    return (width - w) // 2, (height - h) // 2, w, h


def ssim(decoded, original):
    """skimage's mean SSIM of the crop, taken strip by strip: each strip carries the 3 rows its
    window reaches above and below, so its map is the whole crop's map on the rows it stands for."""
    x, y, w, h = ssim_crop_box(original.width, original.height)
    total, count = 0.0, 0
    for top in range(SSIM_MARGIN, h - SSIM_MARGIN, SSIM_STRIP):
        rows = min(SSIM_STRIP, h - SSIM_MARGIN - top)
        a, b = (level.rows(y + top - SSIM_MARGIN, rows + 2 * SSIM_MARGIN)[:, x : x + w] for level in (decoded, original))
        _, strip_map = structural_similarity(a, b, channel_axis=2, data_range=255, full=True)
        inner = strip_map[SSIM_MARGIN : SSIM_MARGIN + rows, SSIM_MARGIN : w - SSIM_MARGIN]
        total += float(inner.sum(dtype=np.float64))
        count += inner.size
    return total / count


def measure_file(entry, references, scratch, cr2ppm):
    """PSNR of each compared level, and SSIM of level 0; the decoded levels are removed as we go."""
    out = os.path.join(scratch, "level.ppm")
    result = {"psnr": [], "sizes": []}
    for level, reference in enumerate(references):
        decoded = decode_level(entry, level, out, cr2ppm)
        result["psnr"].append(psnr(*squared_error(decoded, reference)))
        result["sizes"].append([decoded.width, decoded.height])
        if level == 0:
            result["ssim"] = ssim(decoded, reference)
        os.remove(out)
    result["mean_psnr"] = sum(result["psnr"]) / len(result["psnr"])
    return result


# ---- The manifest bench/rd.sh writes: image, image path, codec, setting, file, seconds.

def family(codec, setting):
    if codec == "vips":
        return "libvips"
    if codec == "gdal":
        return "GDAL"
    if "-crpsnr" in setting:
        return "CR target"
    return "CR efficient" if "efficient" in setting else "CR standard"


def label(codec, setting):
    if codec == "cr":
        return setting if setting else "(default)"
    return setting


def read_manifest(path):
    images = {}
    with open(path, newline="") as f:
        for name, image, codec, setting, file, seconds in csv.reader(f, delimiter="\t"):
            entry = images.setdefault(name, {"name": name, "path": image, "files": [], "refused": []})
            if codec == "prep":
                entry["prep_seconds"] = float(seconds)
            elif codec == "refused":
                entry["refused"].append(setting)
            else:
                entry["files"].append({"codec": codec, "setting": setting, "file": file,
                                       "seconds": float(seconds), "family": family(codec, setting),
                                       "label": label(codec, setting)})
    return list(images.values())


def measure_image(image, work, cr2ppm):
    files = image["files"]
    count = min(level_count(entry, cr2ppm) for entry in files)
    reference_folder = os.path.join(work, "reference", image["name"])
    print(f"measuring {image['name']}: {len(files)} files, levels 0 to {count - 1}", file=sys.stderr, flush=True)
    references = reference_levels(image["path"], count, reference_folder)
    image["width"], image["height"] = references[0].width, references[0].height
    image["levels"] = [[r.width, r.height] for r in references]
    scratch = os.path.join(work, "levels")
    os.makedirs(scratch, exist_ok=True)
    for entry in files:
        entry["bytes"] = os.path.getsize(entry["file"])
        entry["bytes_per_pixel"] = entry["bytes"] / (image["width"] * image["height"])
        entry.update(measure_file(entry, references, scratch, cr2ppm))
        print(f"  {entry['family']:<12} {entry['label']:<32} {entry['psnr'][0]:6.2f} dB", file=sys.stderr, flush=True)
    shutil.rmtree(reference_folder)
    return image


# ---- Equal-PSNR ratios against the libvips curve.

RGB_FROM_QUALITY = 90  # libvips writes JPEG tiles as RGB, not YCbCr 4:2:0, from this quality on


def vips_quality(entry):
    return int(entry["setting"].split()[-1])


def bytes_at_psnr(curve, target):
    """libvips' bytes at a PSNR, log(bytes) linear in PSNR between the two points of its curve
    (psnr, bytes, quality) around the target, or the two nearest past its ends. Returns (bytes,
    the two points used, extrapolated), or None with fewer than two points."""
    points = sorted(curve)
    if len(points) < 2:
        return None
    i = 0
    while i < len(points) - 2 and target > points[i + 1][0]:
        i += 1
    (p0, b0, _), (p1, b1, _) = points[i], points[i + 1]
    t = (target - p0) / (p1 - p0)
    extrapolated = not points[0][0] <= target <= points[-1][0]
    return math.exp(math.log(b0) + t * (math.log(b1) - math.log(b0))), (points[i], points[i + 1]), extrapolated


def equal_psnr_ratio(entry, vips_files, value):
    """CR bytes over libvips bytes at the CR file's PSNR: '*' extrapolated, '~' interpolated
    between a YCbCr and an RGB libvips file."""
    found = bytes_at_psnr([(value(e), e["bytes"], vips_quality(e)) for e in vips_files], value(entry))
    if found is None:
        return "-"
    at, (low, high), extrapolated = found
    across_rgb = min(low[2], high[2]) < RGB_FROM_QUALITY <= max(low[2], high[2])
    return f"{entry['bytes'] / at:.2f}{'*' if extrapolated else ''}{'~' if across_rgb else ''}"


def level0_psnr(entry):
    return entry["psnr"][0]


def mean_psnr(entry):
    return entry["mean_psnr"]


# ---- Printing.

def size_text(size):
    return f"{size[0]} x {size[1]}"


def print_file_table(image):
    levels = len(image["levels"])
    head = f"{'codec':<12} {'setting':<32} {'bytes/px':>8} " + " ".join(f"{'L' + str(k):>6}" for k in range(levels))
    print(head + f" {'mean':>6} {'SSIM':>7} {'encode s':>8}")
    for e in image["files"]:
        levels_text = " ".join(f"{p:6.2f}" for p in e["psnr"])
        print(f"{e['family']:<12} {e['label']:<32} {e['bytes_per_pixel']:8.4f} {levels_text} "
              f"{e['mean_psnr']:6.2f} {e['ssim']:7.4f} {e['seconds']:8.2f}")


def print_ratios(image):
    vips_files = [e for e in image["files"] if e["codec"] == "vips"]
    print("CR bytes / libvips bytes at the same PSNR (* extrapolated past libvips' curve; ~ between "
          f"libvips Q < {RGB_FROM_QUALITY} (YCbCr 4:2:0) and Q >= {RGB_FROM_QUALITY} (RGB)):")
    print(f"  {'setting':<44} {'level 0':>8} {'mean over levels':>17}")
    for e in image["files"]:
        if e["codec"] != "cr":
            continue
        name = f"{e['family']} {e['label']}"
        print(f"  {name:<44} {equal_psnr_ratio(e, vips_files, level0_psnr):>8} "
              f"{equal_psnr_ratio(e, vips_files, mean_psnr):>17}")


def print_times(image):
    vips80 = next((e for e in image["files"] if e["codec"] == "vips" and e["setting"] == "Q 80"), None)
    cr = [e for e in image["files"] if e["codec"] == "cr"]
    print(f"encode times (wall s): ppm2r64 -pr -l {image.get('prep_seconds', float('nan')):.2f} once, then -cr "
          "with -threads 2 per setting; vips and gdal_translate with their defaults")
    if vips80 and cr:
        default = next((e for e in cr if e["setting"] == ""), cr[0])
        whole = default["seconds"] + image.get("prep_seconds", 0)
        print(f"  {default['label']}: -cr {default['seconds']:.2f} s = {default['seconds'] / vips80['seconds']:.2f} x "
              f"vips Q 80 ({vips80['seconds']:.2f} s); with -pr -l {whole:.2f} s = {whole / vips80['seconds']:.2f} x")


def print_level_notes(image):
    """One line per family whose levels differ in size from the reference ones."""
    for name in FAMILIES:
        entry = next((e for e in image["files"] if e["family"] == name), None)
        if entry is None:
            continue
        differing = [f"level {k} is {size_text(got)} for {size_text(want)}"
                     for k, (got, want) in enumerate(zip(entry["sizes"], image["levels"])) if got != want]
        if differing:
            print(f"{name} rounds odd sizes down: {', '.join(differing)}; compared over the pixels both hold")


def print_image(image):
    levels = image["levels"]
    print(f"\n== {image['name']} ({size_text(levels[0])}): levels 0 to {len(levels) - 1} compared "
          f"({size_text(levels[0])} down to {size_text(levels[-1])}); PSNR in dB against exact 2 x 2 means; "
          f"SSIM of level 0 on {ssim_crop_box(*levels[0])[2]} x {ssim_crop_box(*levels[0])[3]} at the centre")
    print_file_table(image)
    print_level_notes(image)
    if image["refused"]:
        print("not measured, refused by this ppm2r64: " + ", ".join(image["refused"]))
    print_ratios(image)
    print_times(image)


# ---- The chart.

STYLE = {
    "CR standard": dict(color="tab:red", marker="o"),
    "CR efficient": dict(color="tab:purple", marker="s"),
    "CR target": dict(color="tab:orange", marker="^"),
    "libvips": dict(color="tab:blue", marker="D"),
    "GDAL": dict(color="tab:green", marker="*", markersize=12),
}


def tick_label(x, _position):
    """Labels 0.1, 0.2, 0.5, 1, 2, 5 ... on the log axis; the other ticks stay bare."""
    mantissa = x / 10 ** math.floor(math.log10(x) + 1e-9)
    return f"{x:g}" if any(abs(mantissa - m) < 1e-6 for m in (1, 2, 5)) else ""


def plot_panel(ax, image, value):

    for name in FAMILIES:
        points = sorted((e["bytes_per_pixel"], value(e)) for e in image["files"] if e["family"] == name)
        if points:
            ax.plot(*zip(*points), label=name, linewidth=1.2, **STYLE[name])
    for e in image["files"]:
        if e["codec"] == "vips":
            ax.annotate(e["setting"].replace(" ", ""), (e["bytes_per_pixel"], value(e)), textcoords="offset points",
                        xytext=(-4, 6), fontsize=7, color="tab:blue", ha="right")
    default = next((e for e in image["files"] if e["codec"] == "cr" and e["setting"] == ""), None)
    if default:
        ax.annotate("CR today", (default["bytes_per_pixel"], value(default)), textcoords="offset points",
                    xytext=(6, -12), fontsize=8, color="tab:red")
    ax.set_xscale("log")
    ax.xaxis.set_major_formatter(matplotlib.ticker.FuncFormatter(tick_label))
    ax.xaxis.set_minor_formatter(matplotlib.ticker.FuncFormatter(tick_label))
    ax.grid(True, which="both", alpha=0.3)


def draw_chart(images, path):
    fig, axes = plt.subplots(2, len(images), figsize=(5.2 * len(images), 8.5), squeeze=False)
    for column, image in enumerate(images):
        top, bottom = axes[0][column], axes[1][column]
        plot_panel(top, image, level0_psnr)
        plot_panel(bottom, image, mean_psnr)
        top.set_title(f"{image['name']} ({size_text(image['levels'][0])})", fontsize=10)
        top.set_ylabel("level-0 PSNR (dB)")
        bottom.set_ylabel(f"mean PSNR over levels 0-{len(image['levels']) - 1} (dB)")
        bottom.set_xlabel("bytes per level-0 pixel")
    axes[0][0].legend(fontsize=8, loc="lower right")
    fig.suptitle("Rate and distortion: CR files against a libvips pyramid TIFF and a GDAL COG (256 tiles)")
    fig.text(0.5, 0.005, f"libvips writes YCbCr 4:2:0 tiles below Q {RGB_FROM_QUALITY} and RGB tiles from Q "
             f"{RGB_FROM_QUALITY} on; PSNR against exact 2 x 2 means of the original", ha="center", fontsize=8)
    fig.tight_layout(rect=(0, 0.02, 1, 1))
    fig.savefig(path, dpi=110)
    plt.close(fig)


# ---- Driver.

def parse_arguments():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("manifest", nargs="?", help="the list of encoded files bench/rd.sh wrote")
    parser.add_argument("--work", help="work folder: results.json, rd.png, scratch levels")
    parser.add_argument("--cr2ppm", default="cr2ppm", help="the cr2ppm binary")
    parser.add_argument("--results", help="print and draw from the results of an earlier run")
    parser.add_argument("--chart", help="also write the chart here (PNG)")
    args = parser.parse_args()
    if not args.results and not (args.manifest and args.work):
        parser.error("give MANIFEST and --work, or --results")
    return args


def main():
    args = parse_arguments()
    if args.results:
        with open(args.results) as f:
            images = json.load(f)
        work = os.path.dirname(os.path.abspath(args.results))
    else:
        work = args.work
        images = [measure_image(image, work, args.cr2ppm) for image in read_manifest(args.manifest)]
        with open(os.path.join(work, "results.json"), "w") as f:
            json.dump(images, f, indent=1)
    for image in images:
        print_image(image)
    chart = os.path.join(work, "rd.png")
    draw_chart(images, chart)
    print(f"\nchart: {chart}")
    if args.chart:
        shutil.copyfile(chart, args.chart)
        print(f"chart: {args.chart}")


if __name__ == "__main__":
    main()
