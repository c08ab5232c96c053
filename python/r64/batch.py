"""Converts many images into R64 and CR files on a Dask cluster, one task per image.

    python3 -m r64.batch IN... OUTDIR [--workers N | --scheduler ADDRESS] [options]

Each image IN becomes OUTDIR/NAME.r64 and OUTDIR/NAME.cr (NAME: IN's file name less its
extension), as ``ppm2r64 -ir IN NAME.r64 -l -cr NAME.cr`` writes them. Outputs are written beside
their names and renamed once complete, the R64 file first, so a file under its name is always
whole; an image whose two outputs are there and complete is skipped, which makes a run that was
cut short resumable by running it again. An image that fails is reported and the others go on; a
task lost with its worker is run again on another (up to Dask's
``distributed.scheduler.allowed-failures``, 3 by default). Every image gets a line in the
manifest (OUTDIR/manifest.jsonl by default, appended to): input, outputs, pixel size, levels, PSNR
of level 0, seconds, error. The exit status is 0 when every image was converted or skipped, 1
otherwise, 2 for bad arguments.

Without --scheduler a local cluster of --workers processes (by default one per core) is started,
each converting one image at a time on --threads library threads (1 by default: the images are
the parallelism). With --scheduler the images are converted by that cluster's workers, which
need this package and the paths of the inputs and of OUTDIR.
"""

import argparse
import json
import math
import os
import sys
import time
from collections import Counter

import r64

MANIFEST = "manifest.jsonl"


def outputs_of(image, outdir):
    name = os.path.splitext(os.path.basename(image))[0]
    return os.path.join(outdir, name + ".r64"), os.path.join(outdir, name + ".cr")


def _complete(r64_path, cr_path):
    """The pixel size and levels of outputs that are both there and whole, else None."""
    if not (os.path.isfile(r64_path) and os.path.isfile(cr_path)):
        return None
    try:
        info = r64.r64_info(r64_path)
        with r64.open(cr_path) as cr:
            size, levels = (cr.width, cr.height), len(cr.levels)
    except (OSError, ValueError):
        return None
    if not info["complete"] or (info["width"], info["height"]) != size:
        return None
    return size, levels


def _message(failure):
    """The tool's line for the package's own failures, the exception itself for others."""
    if isinstance(failure, OSError) and failure.strerror:
        return failure.strerror
    return str(failure) if isinstance(failure, (OSError, ValueError, MemoryError)) else repr(failure)


def _psnr_value(value):
    return "inf" if value == math.inf else round(value, 4)


def convert_one(image, r64_path, cr_path, options, psnr=True):
    """One image, on a worker: its manifest record. Never raises for a failed conversion: the
    record carries the message."""
    started = time.monotonic()
    record = {"input": image, "r64": r64_path, "cr": cr_path, "width": None, "height": None, "levels": None,
              "psnr": None, "seconds": None, "error": None, "skipped": False}
    done = _complete(r64_path, cr_path)
    if done is not None:
        (record["width"], record["height"]), record["levels"] = done
        record["skipped"] = True
        return record
    try:
        converted = r64.convert(image, r64_path, cr_path, **options)
        with r64.open(cr_path) as cr:
            record["levels"] = len(cr.levels)
            if psnr:
                record["psnr"] = _psnr_value(cr.psnr(r64_path, [0])[0]["psnr"])
        record["width"], record["height"] = converted["width"], converted["height"]
    except Exception as failure:  # reported in the record; the other images go on
        record["error"] = _message(failure)
    record["seconds"] = round(time.monotonic() - started, 3)
    return record


class ProgressBar:
    """A bar redrawn in place on a terminal; elsewhere (a log) one line per image."""

    def __init__(self, total, stream=sys.stderr):
        self.total, self.stream = total, stream
        self.counts = Counter()
        self.started = time.monotonic()
        self.redraw = stream.isatty()

    def update(self, record):
        state = "failed" if record["error"] else "skipped" if record["skipped"] else "converted"
        self.counts[state] += 1
        done = sum(self.counts.values())
        if not self.redraw:
            detail = record["error"] or (f"{record['seconds']} s" if record["seconds"] is not None else "")
            print(f"{done}/{self.total} {state} {record['input']} {detail}".rstrip(), file=self.stream, flush=True)
            return
        filled = 30 * done // max(self.total, 1)
        summary = ", ".join(f"{self.counts[s]} {s}" for s in ("converted", "skipped", "failed") if self.counts[s])
        print(f"\r[{'#' * filled}{'.' * (30 - filled)}] {done}/{self.total} {summary} "
              f"{time.monotonic() - self.started:.0f} s", end="", file=self.stream, flush=True)

    def close(self):
        if self.redraw:
            print(file=self.stream, flush=True)


def _previous_records(manifest):
    """The last record of each CR file in an earlier manifest, for the PSNR of skipped images."""
    records = {}
    try:
        with open(manifest) as lines:
            for line in lines:
                try:
                    record = json.loads(line)
                    records[record["cr"]] = record
                except (ValueError, KeyError, TypeError):
                    continue
    except OSError:
        pass
    return records


def _failed_record(image, r64_path, cr_path, error):
    return {"input": image, "r64": r64_path, "cr": cr_path, "width": None, "height": None, "levels": None,
            "psnr": None, "seconds": None, "error": error, "skipped": False}


def run(images, outdir, client, options=None, psnr=True, manifest=None, stream=sys.stderr):
    """Converts `images` into `outdir` on the Dask `client`; returns the manifest records, in the
    order the images finished. `options` are those of ``r64.convert``."""
    from distributed import as_completed

    options = dict(options or {})
    os.makedirs(outdir, exist_ok=True)
    manifest = manifest or os.path.join(outdir, MANIFEST)
    previous = _previous_records(manifest)
    bar = ProgressBar(len(images), stream)
    records, submitted, claimed = [], {}, {}
    with open(manifest, "a") as log:
        def finish(record):
            if record["skipped"] and record["psnr"] is None:
                record["psnr"] = previous.get(record["cr"], {}).get("psnr")
            log.write(json.dumps(record) + "\n")
            log.flush()
            records.append(record)
            bar.update(record)

        for image in images:
            r64_path, cr_path = outputs_of(image, outdir)
            if cr_path in claimed:
                other = claimed[cr_path]
                finish(_failed_record(image, r64_path, cr_path, f'another input, "{other}", has the same outputs'))
                continue
            claimed[cr_path] = image
            future = client.submit(convert_one, image, r64_path, cr_path, options, psnr, pure=False)
            submitted[future] = (image, r64_path, cr_path)
        for future in as_completed(list(submitted)):
            try:
                finish(future.result())
            except Exception as failure:  # the task itself was lost (its workers kept dying) or cancelled
                finish(_failed_record(*submitted[future], f"the task failed: {failure!r}"))
    bar.close()
    return records


def _arguments(argv):
    parser = argparse.ArgumentParser(
        prog="python3 -m r64.batch", description="Converts images into R64 and CR files on a Dask cluster.")
    parser.add_argument("inputs", nargs="+", metavar="IN", help="images: PPM/PGM, PNG, TIFF or JPEG")
    parser.add_argument("outdir", metavar="OUTDIR", help="folder of the R64 and CR files and the manifest")
    where = parser.add_mutually_exclusive_group()
    where.add_argument("--scheduler", metavar="ADDRESS", help="a running Dask scheduler, e.g. tcp://host:8786")
    where.add_argument("--workers", type=int, metavar="N",
                       help="worker processes of a local cluster (default: the cores)")
    parser.add_argument("--threads", type=int, default=1, metavar="N", help="library threads per image (default 1)")
    parser.add_argument("--filter", choices=r64.FILTERS, default="box", help="level filter: box (-l) or fft (-lh)")
    parser.add_argument("--rect-size", type=int, choices=(64, 128, 256), default=256, help="side of the rectangles")
    parser.add_argument("--mode", choices=r64.MODES, default="standard", help="coding of the blocks (-crmode)")
    parser.add_argument("--quality", type=int, default=80, metavar="N", help="JPEG quality of the blocks, 1 to 100")
    parser.add_argument("--no-psnr", action="store_true", help="leave the PSNR of level 0 out of the manifest")
    parser.add_argument("--manifest", metavar="FILE", help=f"the manifest (default OUTDIR/{MANIFEST})")
    args = parser.parse_args(argv)
    if args.workers is not None and args.workers < 1:
        parser.error("--workers must be at least 1")
    if args.threads < 1:
        parser.error("--threads must be at least 1")
    if not 1 <= args.quality <= 100:
        parser.error("--quality must be 1 to 100")
    return args


def _client(args):
    from distributed import Client, LocalCluster

    if args.scheduler:
        return Client(args.scheduler)
    workers = args.workers or len(os.sched_getaffinity(0))
    cluster = LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=None)
    return Client(cluster)


def main(argv=None):
    args = _arguments(argv)
    options = {"filter": args.filter, "rect_size": args.rect_size, "threads": args.threads, "mode": args.mode,
               "quality": args.quality}
    client = _client(args)
    try:
        records = run(args.inputs, args.outdir, client, options, psnr=not args.no_psnr, manifest=args.manifest)
    finally:
        cluster = None if args.scheduler else client.cluster
        client.close()
        if cluster is not None:
            cluster.close()
    failed = [record for record in records if record["error"]]
    for record in failed:
        print(f"{record['input']}: {record['error']}", file=sys.stderr)
    counts = Counter("failed" if r["error"] else "skipped" if r["skipped"] else "converted" for r in records)
    print(f"{counts['converted']} converted, {counts['skipped']} skipped, {counts['failed']} failed", file=sys.stderr)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
