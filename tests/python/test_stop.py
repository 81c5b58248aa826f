"""Every way of stopping on every way of running: Ctrl-C (SIGINT) and a raising progress
callback in Python, SIGINT and SIGTERM on the command line at each stage; one thread, bands,
the engine's threads, dask's threads and a local cluster, several files. A run must end
long before it could have finished, leave no engine computing and no file behind."""

from __future__ import annotations

import importlib.util
import signal
import subprocess
import sys
import textwrap
import time
from pathlib import Path

import numpy as np
import pytest
from threadpoolctl import threadpool_limits

import pxvorel
from pxvorel.run.job import prepare
from pxvorel.run.plan import RunPlan
from pxvorel.run.refine import STAGE_SHARE
from pxvorel.run.threads import available_cores
from subprocesses import restore_sigint

pytestmark = pytest.mark.slow

#: Each run below would take many seconds; a stop must come far sooner.
STOPPED_WITHIN = 5.0
#: A local cluster also ends its worker processes, which takes seconds more on a loaded machine.
CLUSTER_STOPPED_WITHIN = 10.0
#: CPU seconds the process may still use in the half second after a stop (no engine computing).
IDLE_CPU = 0.2

needs_two_cores = pytest.mark.skipif(available_cores() < 2, reason="bands need two cores")

# Each running: how the child builds the image and denoises it (`started` is set once work is under way).
RUNNINGS = {
    "one thread": 'x = volume(); pxvorel.denoise(x, axes="ZYX", noise=10.0, threads=1, progress=started)',
    "bands": 'x = volume(); pxvorel.denoise(x, axes="ZYX", noise=10.0, progress=started)',
    "engine threads": "x = plane(); pxvorel.denoise(x, noise=10.0, iterations=12, threads=2, progress=started)",
    "second stage": 'x = volume(); pxvorel.denoise(x, axes="ZYX", noise=10.0, iterations=1, threads=1, '
    "progress=lambda f: f > 1 - STAGE_SHARE and started(f, 0.2))",
    "dask threads": "x = da.from_array(volume(), chunks=(16, 256, 256)); "
    'y = pxvorel.denoise(x, axes="ZYX", noise=10.0); started(0.5); y.compute()',
    "dask cluster": "x = da.from_array(volume(), chunks=(16, 256, 256)); "
    'y = pxvorel.denoise(x, axes="ZYX", noise=10.0); started(0.5); y.compute()',
}

CHILD = textwrap.dedent("""
    import os, signal, sys, threading, time
    import numpy as np
    try:
        import dask.array as da
    except ImportError:  # the runnings on dask are left out then
        pass
    import pxvorel
    from pxvorel.run.refine import STAGE_SHARE

    def volume():
        return np.random.default_rng(1).normal(100, 10, (16, 512, 512)).astype(np.float32)

    def plane():
        return np.random.default_rng(2).normal(100, 10, (160, 160)).astype(np.float32)

    sent = []
    def started(fraction, delay=0.5):
        if not sent:  # SIGINT to this process once the work is under way
            sent.append(time.perf_counter() + delay)
            threading.Timer(delay, os.kill, (os.getpid(), signal.SIGINT)).start()

    def run(name, code):
        sent.clear()
        try:
            exec(code)
        except KeyboardInterrupt:
            stopped = time.perf_counter() - sent[0]
            if client is None:
                cpu = time.process_time()
                time.sleep(0.5)
                busy = time.process_time() - cpu
            else:  # the engine runs in the workers (the scheduler's own work is here)
                before = client.run(time.process_time)
                time.sleep(0.5)
                busy = sum(client.run(time.process_time)[w] - before[w] for w in before)
            print(name, "stopped", stopped, busy, flush=True)
        else:
            print(name, "finished", flush=True)

    client = None
    for name, code in RUNS:
        if name == "dask cluster":
            from distributed import Client, LocalCluster
            cluster = LocalCluster(n_workers=1, threads_per_worker=1, processes=True, host="127.0.0.1",
                                   dashboard_address=None, silence_logs=50)
            client = Client(cluster)
        run(name, code)
""")


@pytest.fixture(scope="module")
def python_stops() -> dict[str, list[str]]:
    """One child runs every running in turn and is sent SIGINT during each."""
    runs = [(name, code) for name, code in RUNNINGS.items() if _has(needed(name))]
    child = subprocess.run(
        [sys.executable, "-c", f"RUNS = {runs!r}\n{CHILD}"],
        capture_output=True,
        text=True,
        timeout=300,
        preexec_fn=restore_sigint,
    )
    lines = [line.split() for line in child.stdout.splitlines()]
    return {" ".join(words[:-3] if "stopped" in words else words[:-1]): words for words in lines}


def needed(running: str) -> str:
    """The optional package a running needs (numpy, which every one has, for the in-memory ones)."""
    return {"dask threads": "dask", "dask cluster": "distributed"}.get(running, "numpy")


def _has(package: str) -> bool:
    return importlib.util.find_spec(package) is not None


@pytest.mark.parametrize(
    "running", [pytest.param(name, marks=needs_two_cores) if name == "bands" else name for name in RUNNINGS]
)
def test_ctrl_c_stops_every_running_promptly_and_leaves_nothing_computing(python_stops, running) -> None:
    if not _has(needed(running)):
        pytest.skip(f"{needed(running)} is not installed")
    words = python_stops.get(running)
    assert words is not None and words[-3] == "stopped", f"{running}: {words}"
    assert float(words[-2]) < STOPPED_WITHIN and float(words[-1]) < IDLE_CPU, f"{running}: {words}"


class Stop(Exception):
    pass


@pytest.mark.parametrize(
    ("shape", "keywords", "after"),
    [
        ((16, 512, 512), {"axes": "ZYX", "threads": 1}, 0.0),
        pytest.param((16, 768, 512), {"axes": "ZYX"}, 0.0, marks=needs_two_cores),
        ((160, 160), {"iterations": 12, "threads": 2}, 0.0),
        ((16, 256, 256), {"axes": "ZYX", "threads": 1, "iterations": 1}, 1 - STAGE_SHARE),
    ],
    ids=["one thread", "bands", "engine threads", "second stage"],
)
def test_a_raising_callback_stops_every_running_and_writes_nothing(shape, keywords, after) -> None:
    image = np.random.default_rng(3).normal(100, 10, shape).astype(np.float32)
    out = np.full(shape, -1.0, np.float32)

    def stop(fraction: float) -> None:
        if fraction > after:
            assert fraction < 1.0, "the run ended before it could be stopped"
            raise Stop

    start = time.perf_counter()
    # The count in force (which earlier native calls on this thread may have lowered) is 2.
    with threadpool_limits(limits=2, user_api="openmp"), pytest.raises(Stop):
        job = prepare(
            image,
            iterations=keywords.get("iterations", 4),
            pvalue=0.01,
            threads=keywords.get("threads"),
            axes=keywords.get("axes"),
        )
        assert (RunPlan.of(job.settings, job.engine.shape).bands is not None) == (keywords.get("threads") is None)
        assert job.settings.refine
        pxvorel.denoise(image, noise=10.0, out=out, progress=stop, **keywords)
    assert time.perf_counter() - start < STOPPED_WITHIN and np.all(out == -1.0)
    cpu = time.process_time()
    time.sleep(0.5)
    assert time.process_time() - cpu < IDLE_CPU


@pytest.fixture(scope="module")
def volumes(tmp_path_factory) -> list[Path]:
    """A small volume, then one whose denoising takes far longer than a stop may."""
    folder = tmp_path_factory.mktemp("volumes")
    paths = [folder / "a_small.npy", folder / "b_large.npy"]
    for i, (path, shape) in enumerate(zip(paths, [(4, 64, 64), (16, 512, 512)], strict=True)):
        np.save(path, np.random.default_rng(i).normal(100, 10, shape).astype(np.float32))
    return paths


# (signal, the line after which it is sent, seconds after that line, extra arguments, both inputs)
CLI_CASES = {
    "SIGINT reading": (signal.SIGINT, "reading", 0.0, [], False),
    "SIGTERM estimating": (signal.SIGTERM, "choosing the noise model", 0.0, ["--noise", "auto"], False),
    "SIGINT denoising in bands": (signal.SIGINT, "denoising:", 0.0, [], False),
    "SIGTERM denoising in bands": (signal.SIGTERM, "denoising:", 0.0, [], False),
    "SIGINT writing": (
        signal.SIGINT,
        "writing",
        0.0,
        ["--iterations", "1", "--patch-radius", "0", "--search", "XY"],
        False,
    ),
    "SIGINT second file": (signal.SIGINT, "file 2/2", 0.0, [], True),
    "SIGTERM dask threads": (signal.SIGTERM, "noise model:", 1.0, ["--chunks", "Y=128"], False),
    "SIGINT local cluster": (signal.SIGINT, "noise model:", 1.0, ["--workers", "1"], False),
}


@pytest.mark.parametrize("case", list(CLI_CASES))
def test_the_command_line_stops_at_every_stage_and_leaves_no_file(volumes, tmp_path, case) -> None:
    signum, stage, delay, extra, both = CLI_CASES[case]
    for option, package in (("--workers", "distributed"), ("--chunks", "dask")):
        if option in extra and not _has(package):
            pytest.skip(f"{package} is not installed")
    inputs = volumes if both else volumes[1:]
    output = tmp_path / ("out" if both else "out.tif")
    noise = [] if "--noise" in extra else ["--sigma", "10"]
    before = [path.read_bytes() for path in inputs]
    child = subprocess.Popen(
        [sys.executable, "-m", "pxvorel", "denoise", *inputs, "-o", output, "--axes", "ZYX", *noise, *extra],
        stderr=subprocess.PIPE,
        text=True,
        preexec_fn=restore_sigint,
    )
    seen = []
    for line in child.stderr:
        seen.append(line)
        if stage in line:
            break
    else:
        pytest.fail(f"the run ended before {stage!r}: {''.join(seen)}")
    time.sleep(delay)
    sent = time.perf_counter()
    child.send_signal(signum)
    _, err = child.communicate(timeout=60)
    within = CLUSTER_STOPPED_WITHIN if "--workers" in extra else STOPPED_WITHIN
    assert time.perf_counter() - sent < within, "".join(seen) + err
    # Stopped by the signal: the status a shell reports (128 + signal), or the signal itself.
    assert child.returncode in (128 + signum, -signum), "".join(seen) + err
    kept = [output / inputs[0].name] if both else []
    leftovers = sorted(p for p in tmp_path.rglob("*") if p.is_file())
    assert leftovers == kept, leftovers
    assert [path.read_bytes() for path in inputs] == before
