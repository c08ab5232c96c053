"""The batch command on a local cluster of two workers: broken inputs among good ones, an output
already complete, and a worker killed while it writes an output. Every good image ends converted
once, byte for byte as the tool converts it, with nothing partial left and one manifest line per
image."""

import json
import os
import shutil
import signal
import subprocess
import sys
import time

import pytest

import r64
from conftest import SAMPLES, file_bytes, photo, run_tool, tool_message, write_ppm

DEADLINE = 240  # seconds for the whole batch, on a loaded machine


def descendants(pid):
    """The processes started, directly or not, by `pid`."""
    children = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as stat:
                parent = int(stat.read().rsplit(")", 1)[1].split()[1])
        except (OSError, ValueError, IndexError):
            continue
        children.setdefault(parent, []).append(int(entry))
    found, todo = [], [pid]
    while todo:
        for child in children.get(todo.pop(), []):
            found.append(child)
            todo.append(child)
    return found


def writes_unfinished_output(pid, outdir):
    """True while `pid` holds an output of `outdir` that has no name yet, or only a temporary one."""
    try:
        targets = [os.readlink(f"/proc/{pid}/fd/{fd}") for fd in os.listdir(f"/proc/{pid}/fd")]
    except OSError:
        return False
    return any(t.startswith(outdir + "/") and (t.endswith(" (deleted)") or ".tmp." in t) for t in targets if t)


def kill_a_worker_while_it_writes(batch, outdir):
    """Waits until a worker of `batch` is in the middle of an output and kills it; its pid, or
    None when the batch ended first."""
    end = time.monotonic() + DEADLINE
    while batch.poll() is None and time.monotonic() < end:
        for pid in descendants(batch.pid):
            if writes_unfinished_output(pid, outdir):
                os.kill(pid, signal.SIGKILL)
                return pid
        time.sleep(0.005)
    return None


@pytest.fixture
def inputs(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    good = ["big1.ppm", "big2.ppm", "big3.ppm", "hubble.ppm"]
    for seed, name in enumerate(good[:3], 1):
        write_ppm(name, photo(2000, 1500, seed))  # long enough to be caught writing
    shutil.copy(f"{SAMPLES}/hubble.ppm", "hubble.ppm")
    shutil.copy(f"{SAMPLES}/coffee.ppm", "done.ppm")
    os.mkdir("out")
    run_tool("ppm2r64", "-pr", "done.ppm", "out/done.r64", "-l", "-cr", "out/done.cr")
    with open("garbage.png", "w") as garbage:
        garbage.write("not an image\n")
    with open("cut.ppm", "wb") as cut:
        cut.write(b"P6\n100 100\n255\n" + bytes(1000))
    broken = ["garbage.png", "cut.ppm", "missing.jpg"]
    return good, broken


def test_batch_converts_good_images_once_whatever_fails_or_dies(inputs):
    good, broken = inputs
    done_before = os.stat("out/done.cr")
    outdir = os.path.abspath("out")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    batch = subprocess.Popen([sys.executable, "-m", "r64.batch", *good[:2], "done.ppm", *broken, *good[2:], "out",
                              "--workers", "2"], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env)
    try:
        killed = kill_a_worker_while_it_writes(batch, outdir)
        _, err = batch.communicate(timeout=DEADLINE)
    finally:
        batch.kill()
    assert killed is not None, err
    assert batch.returncode == 1, err
    assert err.rstrip().endswith("4 converted, 1 skipped, 3 failed"), err

    records = [json.loads(line) for line in open("out/manifest.jsonl")]
    by_input = {record["input"]: record for record in records}
    assert len(records) == len(by_input) == 8
    for name in good:
        record = by_input[name]
        assert (record["error"], record["skipped"]) == (None, False), record
        stem = name[:-4]
        run_tool("ppm2r64", "-ir", name, f"{stem}.r64", "-l", "-cr", f"{stem}.cr")
        assert file_bytes(f"out/{stem}.r64") == file_bytes(f"{stem}.r64"), name
        assert file_bytes(f"out/{stem}.cr") == file_bytes(f"{stem}.cr"), name
        with r64.open(f"out/{stem}.cr") as cr:
            assert (record["width"], record["height"], record["levels"]) == (cr.width, cr.height, len(cr.levels))
        assert record["psnr"] > 25 and record["seconds"] > 0
    for name in broken:
        assert by_input[name]["error"] == tool_message("ppm2r64", "-ir", name, "x.r64"), name
        assert f"{name}: {by_input[name]['error']}" in err
    assert by_input["done.ppm"]["skipped"] and by_input["done.ppm"]["error"] is None
    done_after = os.stat("out/done.cr")
    assert (done_after.st_ino, done_after.st_mtime_ns) == (done_before.st_ino, done_before.st_mtime_ns)
    expected = {f"{name[:-4]}.{kind}" for name in good + ["done.ppm"] for kind in ("r64", "cr")}
    assert set(os.listdir("out")) == expected | {"manifest.jsonl"}


def test_batch_refuses_arguments_before_starting_a_cluster(tmp_path):
    for args in (["out"], ["a.png", "out", "--workers", "0"], ["a.png", "out", "--scheduler", "x", "--workers", "1"],
                 ["a.png", "out", "--filter", "cubic"]):
        done = subprocess.run([sys.executable, "-m", "r64.batch", *args], cwd=tmp_path, capture_output=True, text=True)
        assert done.returncode == 2, args
    assert os.listdir(tmp_path) == []
