"""Reading CR files into numpy: every level, clipped regions and single rectangles hold exactly the
samples cr2ppm writes, the geometry is the one -info prints, and threads read at once."""

import re
import threading

import numpy
import pytest

import r64
from conftest import read_ppm, run_tool, tool_message


@pytest.mark.parametrize("name", ["photo64.cr", "photo256.cr"])
def test_every_level_is_what_cr2ppm_writes(packed, name):
    with r64.open(packed / name) as cr:
        assert len(cr.levels) == 8
        for level in range(len(cr.levels)):
            run_tool("cr2ppm", "-x", name, level, f"level{level}.ppm", cwd=packed)
            expected = read_ppm(packed / f"level{level}.ppm")
            pixels = cr.read_level(level)
            assert pixels.dtype == numpy.uint8 and pixels.flags.c_contiguous
            numpy.testing.assert_array_equal(pixels, expected, err_msg=f"level {level}")


# Regions across rectangle edges, reaching past the level's edges on every side, single pixels.
REGIONS = [(0, 0, 0, 700, 500), (0, 60, 50, 300, 200), (0, -20, -30, 100, 90), (0, 650, 480, 200, 200),
           (0, 699, 499, 1, 1), (1, 127, 129, 3, 250), (2, 0, 100, 1000, 1000), (4, 40, 30, 10, 10)]


@pytest.mark.parametrize("name", ["photo64.cr", "photo256.cr"])
def test_clipped_regions_are_what_cr2ppm_writes(packed, name):
    with r64.open(packed / name) as cr:
        for level, x, y, w, h in REGIONS:
            run_tool("cr2ppm", "-xr", name, level, x, y, w, h, "region.ppm", cwd=packed)
            numpy.testing.assert_array_equal(cr.read_region(level, x, y, w, h), read_ppm(packed / "region.ppm"),
                                             err_msg=f"{w} x {h} at ({x}, {y}) of level {level}")


def test_rectangles_are_their_regions_of_the_level(packed):
    with r64.open(packed / "photo64.cr") as cr:
        for level in (0, 1, 3):
            whole = cr.read_level(level)
            width, height = cr.levels[level]
            for column in range(0, (width + 63) // 64, 3):
                for row in range(0, (height + 63) // 64, 2):
                    expected = whole[row * 64:row * 64 + 64, column * 64:column * 64 + 64]
                    numpy.testing.assert_array_equal(cr.read_rect(level, column, row), expected)


def test_geometry_is_what_info_prints(packed):
    info = run_tool("cr2ppm", "-info", "photo64.cr", cwd=packed).stdout
    sizes = [(int(w), int(h)) for w, h in re.findall(r"^level \d+: (\d+) x (\d+),", info, re.M)]
    with r64.open(packed / "photo64.cr") as cr:
        assert (cr.width, cr.height, cr.rect_size) == (700, 500, 64)
        assert cr.levels == sizes
        assert cr.level_size(3) == sizes[3]
        assert "700 x 500, rectangles of 64" in repr(cr)


def test_refusals_carry_the_messages_of_cr2ppm(packed, monkeypatch):
    monkeypatch.chdir(packed)
    with r64.open("photo64.cr") as cr:
        for args, call in [(("-xr", "photo64.cr", 0, 700, 0, 10, 10), lambda: cr.read_region(0, 700, 0, 10, 10)),
                           (("-xr", "photo64.cr", 2, -50, 0, 50, 10), lambda: cr.read_region(2, -50, 0, 50, 10)),
                           (("-x", "photo64.cr", 9), lambda: cr.read_level(9)),
                           (("-x", "photo64.cr", -1), lambda: cr.read_level(-1))]:
            with pytest.raises(ValueError) as refused:
                call()
            assert str(refused.value) == tool_message("cr2ppm", *args, "out.ppm", cwd=packed)
        with pytest.raises(ValueError, match=r"rectangle \(11, 0\) lies outside level 0"):
            cr.read_rect(0, 11, 0)
        with pytest.raises(ValueError, match="invalid region size 0 x 5"):
            cr.read_region(0, 0, 0, 0, 5)
    with pytest.raises(ValueError, match="is closed"):
        cr.read_level(0)


def test_threads_read_at_once_with_handles_of_their_own_or_one_shared(packed):
    with r64.open(packed / "photo64.cr") as cr:
        expected = [cr.read_level(level) for level in range(3)]
    shared = r64.open(packed / "photo64.cr")
    failures = []

    def reader(own):
        try:
            cr = r64.open(packed / "photo64.cr") if own else shared
            for _ in range(4):
                for level in range(3):
                    numpy.testing.assert_array_equal(cr.read_level(level), expected[level])
                numpy.testing.assert_array_equal(cr.read_rect(0, 5, 3), expected[0][192:256, 320:384])
        except Exception as failure:
            failures.append(failure)

    threads = [threading.Thread(target=reader, args=(own,)) for own in (True, True, False, False)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    shared.close()
    assert failures == []
