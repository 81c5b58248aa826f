"""Progress reports and stopping: callbacks, Ctrl-C, concurrent runs, the engine module's contract."""

from __future__ import annotations

import itertools
import signal
import subprocess
import sys
import textwrap
import threading

import numpy as np
import pytest

import pxvorel
from pxvorel import NoiseModel, _engine, _px
from scenes import moving_blobs, poisson_gaussian
from subprocesses import restore_sigint

ARGS = ([2, 2, 1, 0, 1], [1, 1, 1, 0, 1], 4, 0.01, 1, 0.0)


@pytest.fixture(scope="module")
def movie() -> np.ndarray:
    return poisson_gaussian(moving_blobs(6, 48, 4, seed=3), 2.0, 16.0, seed=4)


@pytest.mark.parametrize("noise", [3.0, NoiseModel([2.0], [16.0])])
def test_callback_sees_a_monotone_fraction_ending_at_one(movie, noise) -> None:
    fractions: list[float] = []
    plain = pxvorel.denoise(movie, axes="TYX", noise=noise, threads=1)
    reported = pxvorel.denoise(movie, axes="TYX", noise=noise, threads=1, progress=fractions.append)
    np.testing.assert_array_equal(reported, plain)
    assert fractions[-1] == 1.0 and fractions.count(1.0) == 1
    assert all(0.0 <= a <= b <= 1.0 for a, b in itertools.pairwise(fractions))


def test_engine_module_matches_px_and_never_writes_its_input(movie) -> None:
    image = np.ascontiguousarray(movie.reshape(6, 1, 1, 48, 48), np.float32)
    before = image.copy()
    result = _engine.denoise(image, 4.0, *ARGS)
    np.testing.assert_array_equal(image, before)
    np.testing.assert_array_equal(result, _px._denoise_gaussian(image.copy(), 4.0, *ARGS))


WIENER_ARGS = ([12, 12, 1, 1, 1], [2, 2, 1, 1, 1], [0, 0, 0, 0, 0])


@pytest.mark.parametrize(
    ("change", "error", "message"),
    [
        ({"pilot": np.zeros((1, 1, 1, 40, 41), np.float32)}, ValueError, "same shape"),
        ({"block": [41, 12, 1, 1, 1]}, ValueError, "block along x"),
        ({"step": [2, 13, 1, 1, 1]}, ValueError, "step along y"),
        ({"block": [12, 12, 1, 2, 1]}, ValueError, "never spans channels"),
        ({"origin": [0, 0, 0]}, ValueError, "5 entries"),
        ({"progress": "yes"}, TypeError, "callable"),
    ],
)
def test_stage_module_checks_its_arguments_and_never_writes_its_inputs(change, error, message) -> None:
    rng = np.random.default_rng(6)
    noisy = rng.normal(0, 1, (1, 1, 1, 40, 40)).astype(np.float32)
    pilot = (noisy * 0.5).astype(np.float32)
    kept = noisy.copy(), pilot.copy()
    fractions: list[float] = []
    result = _engine.wiener(noisy, pilot, *WIENER_ARGS, 2, progress=fractions.append)
    assert result.shape == noisy.shape and result.dtype == np.float32
    assert fractions[-1] == 1.0 and all(0.0 <= a <= b <= 1.0 for a, b in itertools.pairwise(fractions))
    arguments = dict(zip(["noisy", "pilot", "block", "step", "origin"], [noisy, pilot, *WIENER_ARGS], strict=True))
    with pytest.raises(error, match=message):
        _engine.wiener(**{**arguments, "progress": None, **change}, threads=1)
    np.testing.assert_array_equal(noisy, kept[0])
    np.testing.assert_array_equal(pilot, kept[1])


class Stop(Exception):
    pass


def test_an_exception_from_the_callback_stops_the_run_and_leaves_arrays_untouched(movie) -> None:
    out = np.full(movie.shape, -1.0, np.float32)
    source = movie.copy()
    calls: list[float] = []

    def stop(fraction: float) -> None:
        calls.append(fraction)
        if fraction > 0.2:
            raise Stop

    with pytest.raises(Stop):
        pxvorel.denoise(movie, axes="TYX", noise=3.0, iterations=6, threads=1, out=out, progress=stop)
    assert np.all(out == -1.0) and np.array_equal(movie, source)
    assert calls[-1] < 1.0


@pytest.mark.parametrize("bad", ["yes", 3, object()])
def test_progress_must_be_a_bool_or_a_callable(movie, bad) -> None:
    with pytest.raises(ValueError, match="progress must be"):
        pxvorel.denoise(movie, axes="TYX", noise=3.0, progress=bad)
    with pytest.raises(TypeError, match="callable"):
        _engine.denoise(np.ones((8, 8), np.float32), 1.0, *ARGS, progress=bad)


def test_progress_on_standard_error_is_lines_outside_a_terminal(movie, capsys) -> None:
    pxvorel.denoise(movie, axes="TYX", noise=3.0, iterations=2, progress=True)
    err = capsys.readouterr().err
    assert "denoising: 100 %" in err and "\r" not in err


# One engine run; and two bands, each on a thread of its own.
@pytest.mark.slow
@pytest.mark.parametrize("shape, iterations, threads", [((256, 256), 9, 1), ((1024, 256), 7, 2)])
def test_ctrl_c_raises_keyboard_interrupt_during_a_long_run(shape, iterations, threads) -> None:
    script = textwrap.dedent(f"""
        import sys, time
        import numpy as np
        import pxvorel
        image = np.random.default_rng(0).normal(100, 5, {shape}).astype(np.float32)
        print("start", flush=True)
        try:
            pxvorel.denoise(image, noise=5.0, iterations={iterations}, threads={threads}, progress=lambda f: None)
        except KeyboardInterrupt:
            print("interrupted", time.perf_counter(), flush=True)
            sys.exit(0)
        print("finished", flush=True)
    """)
    child = subprocess.Popen(
        [sys.executable, "-c", script], stdout=subprocess.PIPE, text=True, preexec_fn=restore_sigint
    )
    assert child.stdout.readline().strip() == "start"
    threading.Event().wait(1.0)
    child.send_signal(signal.SIGINT)
    output, _ = child.communicate(timeout=60)
    assert child.returncode == 0 and output.startswith("interrupted"), output


def test_eight_threads_at_once_give_the_serial_results() -> None:
    rng = np.random.default_rng(5)
    images = [rng.normal(50 + 10 * k, 3, (40 + 4 * k, 36)).astype(np.float32) for k in range(8)]
    serial = [pxvorel.denoise(image, noise=3.0, threads=1) for image in images]
    results: list[np.ndarray | None] = [None] * 8
    printed: list[float] = []

    def work(k: int) -> None:
        results[k] = pxvorel.denoise(images[k], noise=3.0, threads=1 + k % 2, progress=printed.append)

    workers = [threading.Thread(target=work, args=(k,)) for k in range(8)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    for expected, result in zip(serial, results, strict=True):
        np.testing.assert_allclose(result, expected, rtol=1e-4, atol=1e-3)
    assert printed.count(1.0) == 8
