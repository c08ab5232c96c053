"""Conversions from Python: files byte for byte those of ppm2r64 for the same pixels and options,
the PSNR report of cr2ppm -psnr, outputs that appear only whole, and refusals with the tool's
messages."""

import errno
import os
import re
import shutil

import numpy
import pytest

import r64
from conftest import SAMPLES, file_bytes, photo, run_tool, tool_message, write_ppm

# Options of r64.convert and the ppm2r64 commands that write the same files.
SETTINGS = [
    ({}, ["-l"], []),
    ({"filter": "fft", "rect_size": 64}, ["-lh"], ["-crsize", "64"]),
    ({"rect_size": 128, "mode": "efficient", "quality": 60, "threads": 1}, ["-l"],
     ["-crsize", "128", "-crmode", "efficient", "-crquality", "60", "-threads", "1"]),
]


@pytest.fixture
def folder(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    return tmp_path


@pytest.mark.parametrize("options, levels, packing", SETTINGS)
def test_pixels_in_memory_give_the_files_of_pr(folder, options, levels, packing):
    pixels = photo(333, 201, seed=3)
    write_ppm("photo.ppm", pixels)
    run_tool("ppm2r64", "-pr", "photo.ppm", "tool.r64", *levels, *packing, "-cr", "tool.cr")
    result = r64.convert(pixels, "mine.r64", "mine.cr", **options)
    assert result == {"width": 333, "height": 201, "levels": 7, "r64": "mine.r64", "cr": "mine.cr"}
    assert file_bytes("mine.r64") == file_bytes("tool.r64")
    assert file_bytes("mine.cr") == file_bytes("tool.cr")


def test_arrays_of_any_layout_give_the_same_files(folder):
    pixels = photo(150, 100)
    r64.convert(pixels, "packed.r64", "packed.cr")
    r64.convert(numpy.asfortranarray(pixels), "fortran.r64")
    wide = numpy.zeros((100, 300, 3), numpy.uint8)
    wide[:, ::2] = pixels
    r64.convert(wide[:, ::2], "strided.r64")
    assert file_bytes("fortran.r64") == file_bytes("packed.r64") == file_bytes("strided.r64")


@pytest.mark.parametrize("image", ["coffee.png", "coffee.ppm"])
def test_image_files_give_the_files_of_ir(folder, image):
    source = f"{SAMPLES}/{image}"
    run_tool("ppm2r64", "-ir", source, "tool.r64", "-l", "-cr", "tool.cr")
    r64.convert(source, "mine.r64", "mine.cr", threads=2)
    assert file_bytes("mine.r64") == file_bytes("tool.r64")
    assert file_bytes("mine.cr") == file_bytes("tool.cr")


def test_without_a_cr_file_only_the_r64_file_is_written(folder):
    result = r64.convert(photo(100, 80), "alone.r64")
    assert result["cr"] is None and sorted(os.listdir()) == ["alone.r64"]
    assert r64.r64_info("alone.r64") == {"width": 100, "height": 80, "levels": 6, "complete": True}


def test_psnr_report_is_that_of_cr2ppm(folder):
    result = r64.convert(f"{SAMPLES}/coffee.ppm", "coffee.r64", "coffee.cr", psnr=True)
    printed = run_tool("cr2ppm", "-psnr", "coffee.cr", "coffee.r64").stdout
    lines = re.findall(r"^level (\d+): (\d+) x (\d+), PSNR (\S+) dB, worst rectangle (\S+) dB at \((\d+), (\d+)\)$",
                       printed, re.M)
    assert len(lines) == len(result["psnr"]) == 8
    for level, width, height, psnr, worst, x, y in lines:
        report = result["psnr"][int(level)]
        assert (report["width"], report["height"], report["worst_x"], report["worst_y"]) == tuple(
            map(int, (width, height, x, y)))
        assert f"{report['psnr']:.2f}" == psnr and f"{report['worst_psnr']:.2f}" == worst
    assert list(r64.psnr("coffee.cr", "coffee.r64", levels=[2])) == [2]


def test_failed_conversion_leaves_older_outputs_and_nothing_else(folder):
    data = file_bytes(f"{SAMPLES}/coffee.png")
    with open("cut.png", "wb") as cut:
        cut.write(data[:len(data) // 2])
    for name in ("old.r64", "old.cr"):
        with open(name, "w") as old:
            old.write("older")
    with pytest.raises(ValueError) as refused:
        r64.convert("cut.png", "old.r64", "old.cr")
    assert str(refused.value) == tool_message("ppm2r64", "-ir", "cut.png", "tool.r64")
    assert sorted(os.listdir()) == ["cut.png", "old.cr", "old.r64"]
    assert file_bytes("old.r64") == file_bytes("old.cr") == b"older"


def test_refusals_carry_the_messages_of_ppm2r64(folder):
    shutil.copy(f"{SAMPLES}/coffee.ppm", "coffee.ppm")
    os.mkfifo("fifo.r64")
    cases = [
        (("missing.png", "x.r64"), FileNotFoundError),
        (("coffee.ppm", "missing/x.r64"), FileNotFoundError),
        (("coffee.ppm", "coffee.ppm"), ValueError),
        (("coffee.ppm", "fifo.r64"), ValueError),
        ((f"{SAMPLES}/coffee.png", "x.r64", "-cr", "missing/x.cr"), FileNotFoundError),
    ]
    for args, kind in cases:
        with pytest.raises(kind) as refused:
            r64.convert(*[a for a in args if a != "-cr"])
        assert sorted(os.listdir()) == ["coffee.ppm", "fifo.r64"]
        message = refused.value.strerror if issubclass(kind, OSError) else str(refused.value)
        assert message == tool_message("ppm2r64", "-ir", *args[:2], "-l", *args[2:]), args
        if issubclass(kind, OSError):
            assert refused.value.errno == errno.ENOENT
        for written in ("x.r64", "coffee.r64"):
            if os.path.exists(written):
                os.remove(written)


def test_refuses_arguments_it_cannot_take(folder):
    pixels = photo(20, 20)
    for options, message in [({"filter": "lanczos"}, 'invalid filter "lanczos" (box or fft)'),
                             ({"rect_size": 100}, "invalid rectsize"),
                             ({"mode": "small"}, 'invalid mode "small" (standard or efficient)'),
                             ({"quality": 0}, 'invalid quality "0" (1 to 100)'),
                             ({"threads": 0}, "invalid threads")]:
        with pytest.raises(ValueError, match=re.escape(message)):
            r64.convert(pixels, "x.r64", **options)
    for array in (pixels[:, :, :2], pixels.astype(numpy.uint16), pixels[0]):
        with pytest.raises(ValueError, match="shape \\(height, width, 3\\) of uint8"):
            r64.convert(array, "x.r64")
    with pytest.raises(ValueError, match="unsupported image size 2x20"):
        r64.convert(pixels[:, :2], "x.r64")
    with pytest.raises(ValueError, match='the output "./x.r64" is the same file as the input "x.r64"'):
        r64.convert(pixels, "x.r64", "./x.r64")
    assert os.listdir() == []
