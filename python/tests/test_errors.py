"""Damaged, cut, foreign and missing files: Python exceptions of the right kind, carrying the very
line cr2ppm prints, and a handle that goes on serving what is intact."""

import errno
import shutil
import struct

import numpy
import pytest

import r64
from conftest import SAMPLES, file_bytes, read_ppm, run_tool, tool_message


@pytest.fixture
def folder(packed, tmp_path, monkeypatch):
    for name in ("photo.ppm", "photo.r64", "photo256.cr"):
        shutil.copy(packed / name, tmp_path / name)
    monkeypatch.chdir(tmp_path)
    return tmp_path


def entry(path, index):
    """Table entry `index` of a CR file: (offset, type, size)."""
    data = file_bytes(path)
    offset, kind, _, size = struct.unpack_from(">Ic3sI", data, 16 + 12 * index)
    return offset, kind, size


def test_files_that_cannot_be_opened(folder):
    shutil.copy(f"{SAMPLES}/coffee.png", "foreign.cr")
    with open("cut.cr", "wb") as cut:
        cut.write(file_bytes("photo256.cr")[:40])
    (folder / "folder.cr").mkdir()
    cases = [("missing.cr", FileNotFoundError, errno.ENOENT), ("folder.cr", IsADirectoryError, errno.EISDIR),
             ("foreign.cr", ValueError, None), ("cut.cr", ValueError, None)]
    for name, kind, code in cases:
        with pytest.raises(kind) as refused:
            r64.open(name)
        message = refused.value.strerror if code else str(refused.value)
        assert message == tool_message("cr2ppm", "-info", name), name
        assert getattr(refused.value, "errno", None) == code


def test_damaged_block_fails_its_rectangle_and_the_handle_goes_on(folder):
    offset, kind, _ = entry("photo256.cr", 0)  # rectangle (0, 0) of level 0
    assert kind == b"j"
    with open("photo256.cr", "r+b") as damaged:
        damaged.seek(offset)
        damaged.write(b"\0" * 8)
    with r64.open("photo256.cr") as cr:
        with pytest.raises(ValueError) as refused:
            cr.read_level(0)
        assert str(refused.value) == tool_message("cr2ppm", "-x", "photo256.cr", 0, "out.ppm")
        assert str(refused.value) == 'rectangle (0, 0) of level 0 of "photo256.cr" is damaged'
        with pytest.raises(ValueError, match="is damaged"):
            cr.read_rect(0, 0, 0)
        run_tool("cr2ppm", "-x", "photo256.cr", 1, "level1.ppm")
        numpy.testing.assert_array_equal(cr.read_level(1), read_ppm("level1.ppm"))
        assert cr.read_rect(0, 1, 1).shape == (244, 256, 3)


def test_file_cut_in_its_blocks_fails_the_rectangles_past_the_end(folder):
    data = file_bytes("photo256.cr")
    with open("photo256.cr", "wb") as cut:
        cut.write(data[:-100])
    with r64.open("photo256.cr") as cr:
        with pytest.raises(ValueError) as refused:
            cr.read_level(0)
        assert str(refused.value) == tool_message("cr2ppm", "-x", "photo256.cr", 0, "out.ppm")
        assert "is missing or cut short" in str(refused.value)
        cr.read_region(0, 0, 0, 256, 256)


def test_psnr_refusals_carry_the_messages_of_cr2ppm(folder):
    run_tool("ppm2r64", "-pr", "photo.ppm", "flat.r64")  # level 0 alone
    run_tool("ppm2r64", "-pr", f"{SAMPLES}/coffee.ppm", "other.r64")
    shutil.copy("photo256.cr", "not.r64")
    cases = [("missing.r64", FileNotFoundError), ("not.r64", ValueError), ("other.r64", ValueError),
             ("flat.r64", ValueError)]
    for name, kind in cases:
        with pytest.raises(kind) as refused:
            r64.psnr("photo256.cr", name)
        message = refused.value.strerror if kind is FileNotFoundError else str(refused.value)
        assert message == tool_message("cr2ppm", "-psnr", "photo256.cr", name), name
