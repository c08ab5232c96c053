"""Shared helpers of the package's tests: the built tools (from PPM2R64 and CR2PPM, set by CTest),
PPM images in and out of numpy, photo-like pixels, and CR files the tools made."""

import os
import re
import subprocess

import numpy
import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
SAMPLES = os.environ.get("PPM2R64_SAMPLES", os.path.join(ROOT, "samples"))


def tool_path(name):
    path = os.environ.get(name.upper(), os.path.join(ROOT, "build", name))
    if not os.access(path, os.X_OK):
        pytest.fail(f"the built {name} is needed: set {name.upper()} to it")
    return path


def run_tool(name, *args, cwd=None, expect=0):
    """Runs a built tool; its CompletedProcess, after checking its exit status."""
    done = subprocess.run([tool_path(name), *map(str, args)], cwd=cwd, capture_output=True, text=True)
    assert done.returncode == expect, done.stderr
    return done


def tool_message(name, *args, cwd=None):
    """The last line a failing tool prints on standard error: the line naming what failed."""
    return run_tool(name, *args, cwd=cwd, expect=1).stderr.rstrip("\n").split("\n")[-1]


def photo(width, height, seed=1):
    """Smooth gradients with texture and a little noise: pixels JPEG codes as it codes photos."""
    x = numpy.arange(width, dtype=numpy.int32)[None, :]
    y = numpy.arange(height, dtype=numpy.int32)[:, None]
    noise = numpy.random.default_rng(seed).integers(-8, 8, size=(height, width), dtype=numpy.int32)
    red = x * 255 // max(width - 1, 1) + noise
    green = y * 255 // max(height - 1, 1) - noise
    blue = (x // 7 + y // 5 + seed) % 32 * 8 + noise // 2
    return numpy.clip(numpy.stack([red, green, blue], axis=2), 0, 255).astype(numpy.uint8)


def write_ppm(path, pixels):
    height, width, _ = pixels.shape
    with open(path, "wb") as out:
        out.write(f"P6\n{width} {height}\n255\n".encode() + numpy.ascontiguousarray(pixels).tobytes())


def read_ppm(path):
    """The pixels of a P6 image of maximum 255."""
    data = file_bytes(path)
    header = re.match(rb"P6\s+(\d+)\s+(\d+)\s+255\s", data)
    assert header, f"{path} is no P6 image of maximum 255"
    width, height = int(header[1]), int(header[2])
    return numpy.frombuffer(data, numpy.uint8, offset=header.end()).reshape(height, width, 3)


def file_bytes(path):
    with open(path, "rb") as f:
        return f.read()


@pytest.fixture(scope="session")
def packed(tmp_path_factory):
    """A 700 x 500 photo packed by the tool with rectangles of 64 and of 256: edges that cut
    rectangles at every level, and many levels."""
    folder = tmp_path_factory.mktemp("packed")
    write_ppm(folder / "photo.ppm", photo(700, 500))
    run_tool("ppm2r64", "-pr", "photo.ppm", "photo.r64", "-l", "-crsize", "64", "-cr", "photo64.cr",
             "-crsize", "256", "-cr", "photo256.cr", cwd=folder)
    return folder
