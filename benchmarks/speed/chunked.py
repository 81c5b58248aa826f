"""Chunked denoising on a local dask.distributed cluster: time and memory.

1. A stack that fits in memory, denoised in memory (1 thread and all cores) and block
   by block on local clusters of 1 and 2 single-threaded worker processes; prints the
   seconds and the largest difference from the in-memory result with one thread.
2. A uint16 Zarr volume larger than a worker's memory limit (2 GiB by default, under
   /tmp), denoised by 2 workers limited to 1.5 GB each into an OME-Zarr volume of the
   input's type; prints the seconds, the peak resident memory of each worker process
   and whether a worker was restarted (by its nanny, e.g. over the memory limit).
   Both volumes are deleted afterwards.

    tools/py314 python3 -m benchmarks.speed.chunked
    tools/py314 python3 -m benchmarks.speed.chunked --big-gib 0 --iterations 4   # part 1 only

Memory does not depend on the number of iterations (the halo grows with it, a little);
the default of 1 iteration keeps the large run to minutes on two cores.
"""

from __future__ import annotations

import argparse
import os
import shutil
import tempfile
import time
from pathlib import Path

import dask
import numpy as np
import zarr
from distributed import Client, LocalCluster

import pxvorel
from benchmarks.data import counts_volume
from pxvorel.cli.chunked import compute_chunks
from pxvorel.cli.dtype import cast_to
from pxvorel.io import ImageFile
from pxvorel.io.zarr import open_lazy, prepare_ome_zarr


def cluster(workers: int, memory: str | None = None) -> LocalCluster:
    return LocalCluster(
        n_workers=workers,
        threads_per_worker=1,
        processes=True,
        host="127.0.0.1",
        dashboard_address="127.0.0.1:0",
        memory_limit=memory,
        silence_logs=40,
    )


def worker_peak_rss() -> int:
    """Peak resident memory of the calling process in bytes (run on each worker).

    VmHWM of the process's own address space: unlike getrusage's maximum it does not
    include what the parent held when it started the worker.
    """
    for line in Path("/proc/self/status").read_text().splitlines():
        if line.startswith("VmHWM:"):
            return int(line.split()[1]) * 1024
    raise RuntimeError("no VmHWM in /proc/self/status")


def part_one(folder: Path, iterations: int, worker_counts: list[int], in_memory: bool) -> None:
    shape, chunks = (48, 512, 512), (24, 256, 256)
    path = folder / "small.zarr"
    counts_volume(path, shape, chunks)
    noisy = zarr.open_array(str(path), mode="r")[:]
    model = pxvorel.estimate_noise(noisy)
    print(
        f"part 1: {shape} uint16 ({noisy.nbytes / 2**20:.0f} MiB), chunks {chunks}, {iterations} iteration(s), "
        f"noise {model.describe()}"
    )
    start = time.perf_counter()
    reference = pxvorel.denoise(noisy, noise=model, iterations=iterations, threads=1)
    print(f"  in memory, 1 thread        {time.perf_counter() - start:8.1f} s")
    if in_memory:
        start = time.perf_counter()
        pxvorel.denoise(noisy, noise=model, iterations=iterations, threads=2)
        print(f"  in memory, 2 threads       {time.perf_counter() - start:8.1f} s")
    for workers in worker_counts:
        with cluster(workers) as local, Client(local):
            start = time.perf_counter()
            lazy = open_lazy(path).data
            result = pxvorel.denoise(lazy, noise=model, iterations=iterations).compute()
            seconds = time.perf_counter() - start
        difference = float(np.abs(result - reference).max())
        print(f"  {workers} worker(s), 1 thread each {seconds:8.1f} s   largest difference {difference:g}")


def part_two(folder: Path, gib: float, iterations: int, memory: str) -> None:
    depth = round(gib * 2**30 / (2 * 1024 * 2048))
    shape, chunks = (depth, 1024, 2048), (32, 512, 512)
    source, target = folder / "big.zarr", folder / "big-denoised.ome.zarr"
    start = time.perf_counter()
    with dask.config.set(scheduler="threads", num_workers=2):
        counts_volume(source, shape, chunks)
    size = int(np.prod(shape))
    print(
        f"part 2: {shape} uint16 ({2 * size / 2**30:.2f} GiB) written in {time.perf_counter() - start:.0f} s; "
        f"2 workers limited to {memory} each, {iterations} iteration(s)"
    )

    with cluster(2, memory) as local, Client(local) as client:
        started = set(client.run(os.getpid).values())
        start = time.perf_counter()
        image = open_lazy(source)
        result, model = pxvorel.denoise(image.data, noise="auto", iterations=iterations, return_noise=True)
        estimated = time.perf_counter() - start
        result, clipped = cast_to(result, np.dtype(np.uint16))
        write = prepare_ome_zarr(target, ImageFile(result, image.axes))
        _, (count,) = compute_chunks(write.tasks, [clipped])
        write.finish()
        seconds = time.perf_counter() - start
        peaks = client.run(worker_peak_rss)
        restarted = set(client.run(os.getpid).values()) != started
    print(f"  noise model ({estimated:.0f} s, from a bounded sample): {model.describe()}")
    print(
        f"  denoised and written in {seconds:.0f} s ({size / 1e6 / seconds:.2f} Mvoxel/s), "
        f"{int(count)} sample(s) clipped to uint16"
    )
    print(f"  {len(write.tasks)} blocks of up to {chunks}; a worker restarted: {'yes' if restarted else 'no'}")
    for address, peak in sorted(peaks.items()):
        print(f"  worker {address}: peak resident memory {peak / 2**20:.0f} MiB")
    check = zarr.open_group(str(target), mode="r")["0"]
    print(f"  output {check.shape} {check.dtype}, mean of the first plane {float(np.mean(check[0])):.1f}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--big-gib", type=float, default=2.0, help="size of the large volume (0 skips it)")
    parser.add_argument("--iterations", type=int, default=1)
    parser.add_argument("--memory", default="1.5GB", help="memory limit of each worker in part 2")
    parser.add_argument("--skip-small", action="store_true")
    parser.add_argument("--workers", default="1,2", help="worker counts of part 1 (default 1,2)")
    parser.add_argument("--skip-two-threads", action="store_true", help="part 1 without the 2-thread in-memory run")
    args = parser.parse_args()
    folder = Path(tempfile.mkdtemp(prefix="pxvorel-bench-", dir="/tmp"))
    try:
        if not args.skip_small:
            part_one(folder, args.iterations, [int(n) for n in args.workers.split(",")], not args.skip_two_threads)
        if args.big_gib > 0:
            part_two(folder, args.big_gib, args.iterations, args.memory)
    finally:
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    main()
