"""CR and R64 files from Python.

    import r64
    with r64.open("slide.cr") as cr:
        pixels = cr.read_level(0)            # numpy uint8 (height, width, 3)
    r64.convert("scan.tif", "scan.r64", "scan.cr", filter="fft")
    lazy = r64.to_dask("slide.cr", level=0)  # a Dask array, chunked by rectangles

Every array holds exactly the samples ``cr2ppm -x`` / ``-xr`` write, and every file written is
byte for byte the one ``ppm2r64 -ir IN OUT.r64 -l -cr OUT.cr`` writes. Failures raise OSError
(with errno) for a failed system call, ValueError for a file that is not what it claims or an
argument out of range, and MemoryError, each with the message the tools print.
"""

import os
import sys

try:
    from . import _r64
except ImportError:
    # Built apart from these sources (build/python/r64/ beside python/r64/): the extension is in
    # another r64/ folder on the path.
    __path__ += [
        folder
        for folder in (os.path.join(entry, __name__) for entry in sys.path if entry)
        if os.path.isdir(folder) and folder not in __path__
    ]
    from . import _r64

__version__ = _r64.__version__
CrFile = _r64.CrFile

FILTERS = ("box", "fft")
MODES = ("standard", "efficient")


def open(path):
    """Opens a CR file for reading; a CrFile is used by one thread at a time (open one per
    thread: opening is cheap) and closes with ``close()`` or as a context manager."""
    return CrFile(os.fspath(path))


def _enter(self):
    return self


def _exit(self, *exc):
    self.close()


def _repr(self):
    state = "closed" if self.closed else f"{self.width} x {self.height}, rectangles of {self.rect_size}"
    return f"<r64.CrFile {self.path!r}: {state}>"


CrFile.__enter__ = _enter
CrFile.__exit__ = _exit
CrFile.__repr__ = _repr


def psnr(cr_path, r64_path, levels=None):
    """The report of ``cr2ppm -psnr CR R64``: for each level (all, or those listed), a dict of
    its ``width`` and ``height``, its ``psnr`` in dB (inf when the pixels are equal), and the
    worst rectangle's ``worst_psnr`` at ``worst_x``, ``worst_y``; keyed by level."""
    with open(cr_path) as cr:
        return cr.psnr(os.fspath(r64_path), list(levels or []))


_psnr_report = psnr  # convert's argument of that name hides it


def convert(source, r64_path, cr_path=None, *, filter="box", rect_size=256, threads=None,
            mode="standard", quality=80, psnr=False, progress=False):
    """Converts an image file (PPM/PGM, PNG, TIFF, JPEG) or a numpy array of shape
    (height, width, 3) and type uint8 into an R64 file with all its levels and, with
    ``cr_path``, the CR file packed from it: the files ``ppm2r64 -ir IN R64 -l -cr CR`` writes
    (``filter="fft"``: ``-lh``; ``rect_size``: ``-crsize``; ``mode``, ``quality``: ``-crmode``,
    ``-crquality``; ``threads``: ``-threads``, by default the cores).

    Each output appears only once complete; a failure leaves older files of those names as they
    were. Returns a dict: the paths, ``width``, ``height``, ``levels`` and, with ``psnr=True``,
    ``psnr``, the report of ``cr2ppm -psnr`` (see ``psnr``). Conversions in one process run one
    at a time, each on ``threads`` threads; ``progress=True`` shows the tool's progress lines on
    standard output.
    """
    r64_path = os.fspath(r64_path)
    cr_name = "" if cr_path is None else os.fspath(cr_path)
    if cr_name and os.path.realpath(cr_name) == os.path.realpath(r64_path):
        raise ValueError(f'the output "{cr_name}" is the same file as the input "{r64_path}"')
    if threads is not None and threads < 1:
        raise ValueError("invalid threads")
    options = (filter, rect_size, threads or 0, mode, quality, progress)
    if isinstance(source, (str, bytes, os.PathLike)):
        result = _r64.convert_file(os.fsdecode(source), r64_path, cr_name, *options)
    else:
        result = _r64.convert_array(_pixels(source), r64_path, cr_name, *options)
    result["r64"] = r64_path
    result["cr"] = cr_path and cr_name
    if psnr and cr_name:
        result["psnr"] = _psnr_report(cr_name, r64_path)
    return result


def _pixels(array):
    import numpy

    pixels = numpy.asarray(array)
    if pixels.dtype != numpy.uint8 or pixels.ndim != 3 or pixels.shape[2] != 3:
        raise ValueError(
            f"the pixels must be an array of shape (height, width, 3) of uint8, not {pixels.shape} of {pixels.dtype}")
    return numpy.ascontiguousarray(pixels)


def r64_info(path):
    """What an R64 file holds: ``width``, ``height``, the ``levels`` it lays out and whether it is
    ``complete`` (every one of them in the file)."""
    return _r64.r64_info(os.fspath(path))


def threads():
    """The worker threads the library's phases run on (by default the cores)."""
    return _r64.threads()


def set_threads(n):
    """Sets the worker threads of the reads and conversions that follow (at least 1)."""
    _r64.set_threads(n)


def to_dask(path, level=0, rects_per_chunk=16):
    """A lazy Dask array of one level, chunked by squares of ``rects_per_chunk`` rectangles a
    side; each task opens the file itself, so the array computes on a distributed cluster whose
    workers see the file under the same path."""
    from .dask_array import level_array

    return level_array(os.fspath(path), level, rects_per_chunk)
