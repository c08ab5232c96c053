"""The timed parts of bench/python.sh, each run by that script in a process of its own.

    python.py read CR           reads level 0 into numpy: "<seconds> <peak_kib> <baseline_kib> <array_bytes>"
    python.py dask CR RUNS      level 0 summed lazily on a local cluster of 2 workers and in memory
    python.py batch THREADS OUTDIR IN...  the batch on a local cluster of 2 workers, THREADS library
                                threads an image: "<start> <convert> <total>" (batch-no-psnr: without
                                the PSNR)
"""

import os
import resource
import sys
import time

import numpy

import r64


def peak_kib():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


def read(cr_path):
    baseline = peak_kib()
    with r64.open(cr_path) as cr:
        started = time.perf_counter()
        pixels = cr.read_level(0)
        seconds = time.perf_counter() - started
    print(f"{seconds:.3f} {peak_kib()} {baseline} {pixels.nbytes}")


def median(values):
    return sorted(values)[len(values) // 2]


def dask_sum(cr_path, runs):
    from distributed import Client, LocalCluster

    lazy = r64.to_dask(cr_path, 0)
    in_memory, threaded, sums = [], [], set()
    for _ in range(runs):  # in turns, so that other work on the machine weighs on both alike
        started = time.perf_counter()
        with r64.open(cr_path) as cr:
            sums.add(int(cr.read_level(0).sum(dtype=numpy.uint64)))
        in_memory.append(time.perf_counter() - started)
        started = time.perf_counter()
        sums.add(int(lazy.sum(dtype=numpy.uint64).compute(scheduler="threads")))
        threaded.append(time.perf_counter() - started)
    started = time.perf_counter()
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster, \
            Client(cluster) as client:
        start = time.perf_counter() - started
        distributed = []
        for _ in range(runs):
            started = time.perf_counter()
            sums.add(int(client.compute(lazy.sum(dtype=numpy.uint64)).result()))
            distributed.append(time.perf_counter() - started)
    assert len(sums) == 1, sums
    print(f"in_memory {median(in_memory):.3f} threads {median(threaded):.3f} cluster {median(distributed):.3f} "
          f"cluster_start {start:.3f} chunks {lazy.npartitions}")


def batch(threads, outdir, images, psnr):
    from distributed import Client, LocalCluster

    from r64.batch import run

    started = time.perf_counter()
    cluster = LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None)
    client = Client(cluster)
    up = time.perf_counter()
    with open(os.devnull, "w") as quiet:
        records = run(images, outdir, client, {"threads": threads}, psnr=psnr, stream=quiet)
    converted = time.perf_counter()
    client.close()
    cluster.close()
    failed = [r for r in records if r["error"] or r["skipped"]]
    assert not failed, failed[:3]
    print(f"{up - started:.3f} {converted - up:.3f} {converted - started:.3f}")


if __name__ == "__main__":
    mode = sys.argv[1]
    if mode == "read":
        read(sys.argv[2])
    elif mode == "dask":
        dask_sum(sys.argv[2], int(sys.argv[3]))
    elif mode in ("batch", "batch-no-psnr"):
        batch(int(sys.argv[2]), sys.argv[3], sys.argv[4:], mode == "batch")
