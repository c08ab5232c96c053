"""A lazy Dask array of one level of a CR file, chunked by squares of rectangles.

Each task opens the file by its path and rebuilds its chunk with a handle of its own, so the
graph holds nothing but the path and numbers: it pickles, and computes on the threads of one
process or on the workers of a distributed cluster that see the file under that path. A chunk
decodes the ancestors of its rectangles once; larger chunks share more of them.
"""

import os

import dask.array
import numpy
from dask.base import tokenize

from . import open as open_cr


def read_chunk(path, level, x, y, width, height):
    """The pixels of one chunk, as ``CrFile.read_region`` gives them."""
    with open_cr(path) as cr:
        return cr.read_region(level, x, y, width, height)


def level_array(path, level=0, rects_per_chunk=16):
    if rects_per_chunk < 1:
        raise ValueError(f"invalid rectangles per chunk {rects_per_chunk}")
    with open_cr(path) as cr:
        width, height = cr.level_size(level)
        step = cr.rect_size * rects_per_chunk
    file = os.stat(path)
    name = "r64-level-" + tokenize(os.path.abspath(path), file.st_ino, file.st_size, file.st_mtime_ns, level, step)
    rows = range(0, height, step)
    columns = range(0, width, step)
    graph = {
        (name, i, j, 0): (read_chunk, path, level, x, y, min(step, width - x), min(step, height - y))
        for i, y in enumerate(rows)
        for j, x in enumerate(columns)
    }
    chunks = (tuple(min(step, height - y) for y in rows), tuple(min(step, width - x) for x in columns), (3,))
    return dask.array.Array(graph, name, chunks, dtype=numpy.uint8)
