"""The lazy Dask array of a level: chunks aligned on rectangles, pixels equal to the in-memory read,
on threads and on the worker processes of a distributed cluster."""

import pickle

import numpy
import pytest

import r64


@pytest.mark.parametrize("level, rects_per_chunk", [(0, 1), (0, 3), (1, 2), (5, 16)])
def test_lazy_level_equals_the_in_memory_read(packed, level, rects_per_chunk):
    path = str(packed / "photo64.cr")
    with r64.open(path) as cr:
        expected = cr.read_level(level)
    lazy = r64.to_dask(path, level, rects_per_chunk)
    assert lazy.shape == expected.shape and lazy.dtype == numpy.uint8
    step = 64 * rects_per_chunk
    assert all(size == step for size in lazy.chunks[0][:-1] + lazy.chunks[1][:-1])
    assert lazy.chunks[2] == (3,)
    numpy.testing.assert_array_equal(lazy.compute(scheduler="threads"), expected)
    numpy.testing.assert_array_equal(lazy[10:70, 100:101].compute(scheduler="sync"), expected[10:70, 100:101])


def test_refuses_levels_and_chunks_that_do_not_exist(packed):
    with pytest.raises(ValueError, match="level 8 does not exist"):
        r64.to_dask(packed / "photo64.cr", 8)
    with pytest.raises(ValueError, match="invalid rectangles per chunk 0"):
        r64.to_dask(packed / "photo64.cr", 0, 0)
    with pytest.raises(FileNotFoundError):
        r64.to_dask(packed / "missing.cr")


def test_sum_on_a_distributed_cluster_equals_the_in_memory_one(packed):
    from distributed import Client, LocalCluster

    path = str(packed / "photo256.cr")
    with r64.open(path) as cr:
        expected = cr.read_level(0).sum(dtype=numpy.uint64)
    lazy = r64.to_dask(path, 0, 1)
    pickle.loads(pickle.dumps(lazy))  # the graph travels to the workers
    with LocalCluster(n_workers=1, threads_per_worker=2, processes=True, dashboard_address=None) as cluster:
        with Client(cluster) as client:
            assert client.compute(lazy.sum(dtype=numpy.uint64)).result() == expected
            chunk = client.compute(lazy.blocks[1, 2]).result()
    numpy.testing.assert_array_equal(chunk, r64.open(path).read_rect(0, 2, 1))

