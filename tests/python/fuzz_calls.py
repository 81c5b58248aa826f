"""Generated calls of the native functions and the public API, run by test_fuzz.py in a child process.

Usage: python fuzz_calls.py CALLS SEED LOG. Before each call the input is written to LOG, so
that a crash of this process can be reported with the input that caused it. Exits 1 with a
message on an undocumented exception or an input changed by a failed call.
"""

from __future__ import annotations

import sys
import warnings
from pathlib import Path

import numpy as np
from hypothesis import HealthCheck, given, seed, settings
from hypothesis import strategies as st

import pxvorel
from pxvorel import _engine, _px

DTYPES = [
    "bool",
    "int8",
    "uint8",
    "int16",
    "uint16",
    "int32",
    "uint32",
    "int64",
    "uint64",
    "float16",
    "float32",
    "float64",
    "longdouble",
    "complex64",
    "complex128",
    "U3",
    "object",
    "datetime64[s]",
]
SPECIAL = [0.0, -0.0, 1.0, -1.0, 1e-30, 1e30, 3.4e38, -3.4e38, 1e39, np.nan, np.inf, -np.inf]
NATIVE_ERRORS = (TypeError, ValueError, RuntimeError, MemoryError)
API_ERRORS = (ValueError,)
numbers = st.one_of(st.sampled_from(SPECIAL), st.floats(-1e3, 1e3))
ints = st.one_of(st.integers(-3, 7), st.sampled_from([-(2**31), 2**31 - 1, 2**31, 2**63]))


@st.composite
def arrays(draw: st.DrawFn) -> np.ndarray:
    ndim = draw(st.integers(0, 6))
    shape = tuple(draw(st.lists(st.integers(0, 6), min_size=ndim, max_size=ndim)))
    size = int(np.prod(shape))
    values = np.resize(np.array(draw(st.lists(numbers, min_size=min(size, 1), max_size=64)), np.float64), size)
    dtype = draw(st.sampled_from(DTYPES))
    with warnings.catch_warnings(), np.errstate(all="ignore"):
        warnings.simplefilter("ignore")
        try:
            array = values.reshape(shape).astype(dtype)
        except (ValueError, TypeError, OverflowError):
            array = np.zeros(shape, dtype)
    layout = draw(st.sampled_from(["c", "transposed", "strided", "readonly", "fortran"]))
    if layout == "transposed":
        array = array.T
    elif layout == "strided" and array.ndim:
        array = np.repeat(array, 2, axis=-1)[..., ::2]
    elif layout == "fortran":
        array = np.asfortranarray(array)
    elif layout == "readonly":
        array.flags.writeable = False
    return array


axis_lists = st.one_of(st.lists(st.integers(-3, 4), min_size=0, max_size=7), st.just("xyzct"), st.just(None))
iterations = st.sampled_from([-1, 0, 1, 2, 3, 40, 2.0, "2"])

NATIVE = {
    "_calibrate_gaussian": st.tuples(arrays()),
    "_calibrate_poisson_gaussian": st.tuples(arrays()),
    "_pseudoresiduals": st.tuples(arrays()),
    "test": st.tuples(arrays()),
    "_denoise_gaussian": st.tuples(
        arrays(), numbers, axis_lists, axis_lists, iterations, numbers, st.integers(-4, 4), numbers
    ),
    "_denoise_poisson_gaussian": st.tuples(
        arrays(),
        numbers,
        st.lists(numbers, max_size=3),
        st.lists(numbers, max_size=3),
        axis_lists,
        axis_lists,
        iterations,
        numbers,
        st.integers(-4, 4),
        numbers,
    ),
}


@st.composite
def stage_calls(draw: st.DrawFn) -> tuple:
    """Arguments of _engine.wiener: mostly a pilot of the image's shape, any lists."""
    noisy = draw(arrays())
    pilot = draw(st.one_of(arrays(), st.just(np.array(noisy, copy=True))))
    sizes = st.one_of(
        axis_lists,
        st.lists(st.integers(0, 13), min_size=5, max_size=5).map(lambda entries: [*entries[:3], 1, entries[4]]),
    )
    origins = st.one_of(axis_lists, st.lists(ints, min_size=5, max_size=5))
    return noisy, pilot, draw(sizes), draw(sizes), draw(origins), draw(st.integers(-4, 4))


ENGINE = {"wiener": stage_calls()}
API = {
    "denoise": st.fixed_dictionaries(
        {"image": arrays()},
        optional={
            "axes": st.sampled_from(["X", "YX", "TYX", "CZYX", "xx", "Q", 5]),
            "noise": st.one_of(numbers, st.sampled_from(["auto", "gaussian", "poisson-gaussian", "x"])),
            "patch_radius": st.one_of(ints, st.dictionaries(st.sampled_from("XYZTCQ"), ints, max_size=3)),
            "iterations": iterations,
            "pvalue": numbers,
            "renoise": numbers,
            "search_axes": st.sampled_from(["XY", "XYZT", "C", "", {"T": False}, 3]),
            "threads": st.sampled_from([None, 1, 2, 0, -1, "2"]),
        },
    ),
    "estimate_noise": st.fixed_dictionaries({"image": arrays()}),
    "estimate_sigma": st.fixed_dictionaries({"image": arrays()}),
}


def same(a: np.ndarray, b: np.ndarray) -> bool:
    return a.shape == b.shape and a.dtype == b.dtype and a.tobytes() == b.tobytes()


def check_call(log: Path, name: str, function, args: tuple, kwargs: dict, allowed: tuple) -> None:
    image = args[0] if args else kwargs["image"]
    before = image.copy()
    log.write_text(
        f"{name}(*{args!r}, **{kwargs!r}) on dtype {image.dtype}, strides {image.strides}, "
        f"writeable {image.flags.writeable}\n"
    )
    try:
        with warnings.catch_warnings(), np.errstate(all="ignore"):
            warnings.simplefilter("ignore")
            function(*args, **kwargs)
    except allowed as error:
        assert str(error), f"{name}: {type(error).__name__} without a message"
        assert same(image, before), f"{name}: a failed call changed its input: {log.read_text()}"
    except Exception as error:
        raise AssertionError(
            f"{name}: undocumented {type(error).__name__}: {error}\ninput: {log.read_text()}"
        ) from None


def generated_calls(name: str, examples: int, seed_value: int, log: Path) -> int:
    """Calls one function with generated arguments; returns the number of calls."""
    strategy = NATIVE[name] if name in NATIVE else ENGINE[name] if name in ENGINE else API[name]
    count = 0

    @seed(seed_value)
    @settings(
        max_examples=examples, database=None, deadline=None, derandomize=False, suppress_health_check=list(HealthCheck)
    )
    @given(strategy)
    def run(drawn) -> None:
        nonlocal count
        count += 1
        if name in NATIVE:
            check_call(log, name, getattr(_px, name), drawn, {}, NATIVE_ERRORS)
            if name == "_denoise_gaussian":  # the watched engine takes the same arguments
                count += 1
                check_call(log, "_engine.denoise", _engine.denoise, drawn, {}, NATIVE_ERRORS)
        elif name in ENGINE:
            check_call(log, f"_engine.{name}", getattr(_engine, name), drawn, {}, NATIVE_ERRORS)
        else:
            check_call(log, name, getattr(pxvorel, name), (), drawn, API_ERRORS)

    run()
    return count


def main(calls: int, seed_value: int, log: Path) -> None:
    names = [*NATIVE, *ENGINE, *API]
    per_name = max(calls // len(names), 1)
    count = sum(generated_calls(name, per_name, seed_value + offset, log) for offset, name in enumerate(names))
    print(f"{count} calls", flush=True)


if __name__ == "__main__":
    main(int(sys.argv[1]), int(sys.argv[2]), Path(sys.argv[3]))
