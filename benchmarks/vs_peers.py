"""pxvorel side by side with OpenCV and scikit-image, in one process, on the same cores.

Synthetic smooth images with known clean versions and known noise (a 2-D image, three
channels of different noise, a z-stack and a Poisson-Gaussian time-lapse) are denoised by

- pxvorel's native module with its own defaults (``_px``: patch radius x 3, y 3, plus
  z 1 or t 1 where the row says so; all cores) and, with ``--baseline``, a saved older
  build of it (see tools/build_baseline.sh);
- ``pxvorel.denoise`` with its default parameters and the known noise: the engine alone
  (``refine=False``, the row the targets judge) and as the default call runs it, with the
  second stage (and, on large planes, its choice of setting);
- OpenCV ``fastNlMeansDenoising`` per slice or channel (the generalised Anscombe
  transform and ``fastNlMeansDenoisingMulti`` for the time-lapse), through 8-bit or
  16-bit data, whichever gives the better PSNR, with its filter strength chosen by PSNR;
- scikit-image ``denoise_nl_means`` (fast mode) per slice, its strength chosen by PSNR.

The tools take turns in every round (interleaved), and the median over the rounds
counts, so that other load on the machine hits all of them alike. Printed as markdown:
seconds, ratios, PSNR, SSIM, Mvoxel/s, effective GFLOP/s (reference-neighbour pairs x
patch samples x 8) with the share of the FP32 peak, thread scaling and size
scaling, and the peak memory of `pxvorel.denoise` on a 64×512² stack:

    tools/py314 make bench
    tools/py314 python3 benchmarks/vs_peers.py --quick
"""

from __future__ import annotations

import argparse
import os
import statistics
import time
from collections.abc import Callable
from dataclasses import dataclass, field
from pathlib import Path
from types import ModuleType

import cv2
import numpy as np
from skimage.metrics import structural_similarity
from skimage.restoration import denoise_nl_means

import pxvorel
import pxvorel._px as px
import saved_build

AXES = [1, 1, 1, 0, 1]
MAX_ITER, PVALUE, RENOISE = 4, 0.01, 0.0
FLOPS_PER_TERM = 8
Denoiser = Callable[[np.ndarray], np.ndarray]


# ---------------------------------------------------------------- data

def smooth_scene(shape: tuple[int, ...], seed: int, drift: float = 0.0) -> np.ndarray:
    """Blobs, filaments and a gentle background, 10 to about 200; the first axis of a
    3-D shape is depth (blobs vary along it) or, with drift, time (blobs move)."""
    rng = np.random.default_rng(seed)
    planes, height, width = (1, *shape) if len(shape) == 2 else shape
    y, x = np.mgrid[0:height, 0:width].astype(np.float32)
    blobs = [(rng.uniform(0, width), rng.uniform(0, height), rng.uniform(0, planes), rng.uniform(3, 12),
              rng.uniform(40, 150), rng.uniform(-1, 1), rng.uniform(-1, 1)) for _ in range(height * width // 900)]
    lines = [(rng.uniform(0, np.pi), rng.uniform(0, width), rng.uniform(20, 60)) for _ in range(6)]
    scene = np.empty((planes, height, width), np.float32)
    for p in range(planes):
        plane = 20.0 + 10.0 * (x / width) + 5.0 * np.sin(y / 40.0)
        for bx, by, bz, radius, peak, vx, vy in blobs:
            cx, cy = bx + drift * vx * p, by + drift * vy * p
            depth = 1.0 if drift else np.exp(-((p - bz) ** 2) / 8.0)
            plane += peak * depth * np.exp(-((x - cx) ** 2 + (y - cy) ** 2) / (2 * radius**2))
        for angle, offset, peak in lines:
            distance = x * np.cos(angle) + y * np.sin(angle) - offset - (drift * p)
            plane += peak * np.exp(-(distance**2) / 2.0)
        scene[p] = plane
    return scene[0] if len(shape) == 2 else scene


@dataclass
class Case:
    """One row: clean and noisy data (T, C, Z, Y, X with leading ones dropped) and its noise."""

    name: str
    clean: np.ndarray
    noisy: np.ndarray
    axes: str  # the package's axes letters of the arrays
    sigma: list[float]  # per channel; for Poisson-Gaussian the read-noise std
    gain: float = 0.0  # > 0: Poisson-Gaussian with variance gain * clean + sigma**2
    patch: list[int] = field(default_factory=lambda: [3, 3, 0, 0, 0])

    @property
    def slices(self) -> int:
        return int(np.prod(self.clean.shape[:-2]))


def make_cases(quick: bool) -> list[Case]:
    rng = np.random.default_rng(1)
    side = 256 if quick else 512
    small = 128 if quick else 256
    depth, frames = (8, 6) if quick else (32, 10)

    def gaussian(clean: np.ndarray, sigma: float | np.ndarray) -> np.ndarray:
        return (clean + rng.normal(0.0, 1.0, clean.shape) * sigma).astype(np.float32)

    plane = smooth_scene((side, side), 2)
    # Co-localised stains: one scene at three brightnesses.
    channels = np.stack([smooth_scene((small, small), 3) * k for k in (1.0, 0.6, 1.4)])
    sigmas = np.array([10.0, 20.0, 5.0], np.float32).reshape(3, 1, 1)
    stack = smooth_scene((depth, small, small), 6)
    movie = smooth_scene((frames, small, small), 7, drift=1.5) * 4.0  # photons x gain 2: up to ~1600 ADU
    gain, read = 2.0, 4.0
    photons = rng.poisson(movie / gain).astype(np.float32)
    movie_noisy = (gain * photons + rng.normal(0.0, read, movie.shape)).astype(np.float32)
    return [
        Case(f"2-D {side}², σ 25", plane, gaussian(plane, 25.0), "YX", [25.0]),
        Case(f"3 channels {small}², σ 10/20/5", channels, gaussian(channels, sigmas), "CYX", [10.0, 20.0, 5.0]),
        Case(f"stack {depth}×{small}², σ 15, z radius 1", stack, gaussian(stack, 15.0), "ZYX", [15.0],
             patch=[3, 3, 1, 0, 0]),
        Case(f"time-lapse {frames}×{small}², Poisson-Gaussian, t radius 1", movie, movie_noisy, "TYX", [read],
             gain=gain, patch=[3, 3, 0, 0, 1]),
    ]


# ---------------------------------------------------------------- pxvorel

def engine_shape(case: Case) -> tuple[int, int, int, int, int]:
    """The data's (T, C, Z, Y, X) shape as the package would hand it to the engine."""
    shape = dict(zip(case.axes, case.clean.shape))
    return tuple(shape.get(a, 1) for a in "TCZYX")  # type: ignore[return-value]


ALL_CORES = os.cpu_count() or 1


def native(module: ModuleType, case: Case, nthreads: int = ALL_CORES) -> Denoiser:
    """The module's own defaults: one call on the whole array, the known noise. The thread
    count is always given: the module keeps the last count in force."""
    patch = case.patch
    if case.gain > 0:
        model = ([case.gain], [case.sigma[0] ** 2])
        return lambda a: module._denoise_poisson_gaussian(
            a.reshape(engine_shape(case)).copy(), 1.0, *model, patch, AXES, MAX_ITER, PVALUE, nthreads, RENOISE
        ).reshape(a.shape)
    # Channels of different noise: scaled to unit noise, as the package does.
    scale = np.array(case.sigma, np.float32).reshape((-1,) + (1,) * (case.clean.ndim - 1)) if len(case.sigma) > 1 else 1.0
    sigma = 1.0 if len(case.sigma) > 1 else case.sigma[0]

    def run(a: np.ndarray) -> np.ndarray:
        work = (a / scale).astype(np.float32).reshape(engine_shape(case))
        out = module._denoise_gaussian(work, sigma, patch, AXES, MAX_ITER, PVALUE, nthreads, RENOISE)
        return out.reshape(a.shape) * scale

    return run


def package(case: Case, threads: int | None = None, refine: bool = False) -> Denoiser:
    """`pxvorel.denoise` with its default parameters and the known noise: the engine alone,
    or with refine, followed by the second stage as the default call runs it."""
    if case.gain > 0:
        noise: object = pxvorel.NoiseModel(gain=[case.gain], offset=[case.sigma[0] ** 2])
    elif len(case.sigma) > 1:
        noise = pxvorel.NoiseModel(gain=[0.0] * len(case.sigma), offset=[s * s for s in case.sigma])
    else:
        noise = case.sigma[0]
    return lambda a: pxvorel.denoise(a, axes=case.axes, noise=noise, threads=threads, refine=refine)


# ---------------------------------------------------------------- peers

def anscombe(a: np.ndarray, gain: float, read: float) -> np.ndarray:
    return (2.0 / gain) * np.sqrt(np.maximum(gain * a + 0.375 * gain * gain + read * read, 0.0))


def inverse_anscombe(v: np.ndarray, gain: float, read: float) -> np.ndarray:
    return ((gain * v / 2.0) ** 2 - 0.375 * gain * gain - read * read) / gain


def per_slice(a: np.ndarray, denoise: Callable[[np.ndarray, float], np.ndarray], sigmas: list[float]) -> np.ndarray:
    """Every 2-D slice on its own; channel c of a CYX array with sigmas[c]."""
    flat = a.reshape(-1, *a.shape[-2:])
    out = np.empty_like(flat, dtype=np.float32)
    for i, plane in enumerate(flat):
        out[i] = denoise(plane, sigmas[i % len(sigmas)] if len(sigmas) > 1 else sigmas[0])
    return out.reshape(a.shape)


def opencv(case: Case, bits: int, strength: float) -> Denoiser:
    """fastNlMeansDenoising on 8- or 16-bit data scaled to the full range (16-bit needs
    the L1 norm); h = strength x sigma in the scaled units."""
    top = 255.0 if bits == 8 else 65535.0
    dtype = np.uint8 if bits == 8 else np.uint16
    norm = cv2.NORM_L2 if bits == 8 else cv2.NORM_L1

    def scaled(a: np.ndarray, low: float, high: float) -> tuple[np.ndarray, float]:
        factor = top / (high - low)
        return np.clip(np.rint((a - low) * factor), 0, top).astype(dtype), factor

    if case.gain > 0:
        read = case.sigma[0]

        def run_movie(a: np.ndarray) -> np.ndarray:
            v = anscombe(a, case.gain, read)
            low, high = float(v.min()), float(v.max())
            frames, factor = scaled(v, low, high)
            out = np.empty(a.shape, np.float32)
            for i in range(len(frames)):
                if 0 < i < len(frames) - 1:  # three frames around i
                    result = cv2.fastNlMeansDenoisingMulti(list(frames[i - 1:i + 2]), 1, 3, h=[strength * factor],
                                                           normType=norm)
                else:  # the first and last frame on their own
                    result = cv2.fastNlMeansDenoising(frames[i], h=[strength * factor], normType=norm)
                out[i] = inverse_anscombe(result.astype(np.float32) / factor + low, case.gain, read)
            return out

        return run_movie

    def plane(p: np.ndarray, sigma: float) -> np.ndarray:
        low, high = float(p.min()), float(p.max())
        image, factor = scaled(p, low, high)
        result = cv2.fastNlMeansDenoising(image, h=[strength * sigma * factor], normType=norm)
        return result.astype(np.float32) / factor + low

    return lambda a: per_slice(a, plane, case.sigma)


def scikit(case: Case, strength: float) -> Denoiser:
    def plane(p: np.ndarray, sigma: float) -> np.ndarray:
        return denoise_nl_means(p, h=strength * sigma, sigma=sigma, fast_mode=True, patch_size=5,
                                patch_distance=6).astype(np.float32)

    if case.gain > 0:
        return lambda a: inverse_anscombe(per_slice(anscombe(a, case.gain, case.sigma[0]), plane, [1.0]),
                                          case.gain, case.sigma[0]).astype(np.float32)
    return lambda a: per_slice(a, plane, case.sigma)


# ---------------------------------------------------------------- measures

def psnr(clean: np.ndarray, result: np.ndarray) -> float:
    span = float(clean.max() - clean.min())
    return float(10.0 * np.log10(span**2 / np.mean((clean.astype(np.float64) - result) ** 2)))


def ssim(clean: np.ndarray, result: np.ndarray) -> float:
    """Mean SSIM over the 2-D slices, each with the clean data's range."""
    span = float(clean.max() - clean.min())
    planes = zip(clean.reshape(-1, *clean.shape[-2:]), result.reshape(-1, *clean.shape[-2:]))
    return float(np.mean([structural_similarity(c, r.astype(np.float32), data_range=span) for c, r in planes]))


def neighbour_pairs(shape: tuple[int, ...], patch: list[int]) -> float:
    """(reference, neighbour) pairs of a whole run with the engine's reference grid and
    search schedule: per axis, the sum over the reference coordinates of the neighbour
    coordinates in reach; the count of positions is separable the same way."""
    return sum(pairs_per_pass(shape, patch))


def pairs_per_pass(shape: tuple[int, ...], patch: list[int]) -> tuple[float, float]:
    """The pairs of neighbour_pairs, split into those of the interior passes and those of
    the edge passes. Every pair costs the same kernel work (one patch distance and one
    weighted patch), so this is also the split of the engine's time, up to the per-position
    test and scatter."""
    t, _, z, y, x = shape
    sizes, radii = [x, y, z, t], [patch[0], patch[1], patch[2], patch[4]]
    interior = edges = 0.0
    for i in range(MAX_ITER):
        search = [2**i if x > 1 else 0, 2**i if y > 1 else 0, i if z > 1 else 0, max(i - 2, 0) if t > 1 else 0]
        first = [r if n > 1 else 0 for r, n in zip(radii, sizes)]
        last = [n - r - 1 if n > 1 else 0 for r, n in zip(radii, sizes)]
        step = [r + 1 if 0 < r < n else 1 for r, n in zip(radii[:2], sizes[:2])]
        step.append(radii[2] + 1 if radii[2] > 0 and z > 4 * radii[2] + 1 else 1)
        step.append(radii[3] if 0 < radii[3] < t else 1)

        def reach(a: int, coords: range) -> tuple[float, int]:
            lo = np.maximum(np.array(coords) - search[a], first[a])
            hi = np.minimum(np.array(coords) + search[a], last[a])
            return float(np.sum(hi - lo + 1)), len(coords)

        passes = [[range(first[a], last[a] + 1, step[a]) for a in range(4)]]
        for a in range(4):
            runs = sizes[a] > 1 and radii[a] > 0 and (radii[a] > 1 or (last[a] - first[a]) % step[a] != 0)
            if runs:
                passes.append([range(last[a], last[a] + 1) if b == a else range(first[b], last[b] + 1)
                               for b in range(4)])
        for k, grid in enumerate(passes):
            sums = [reach(a, grid[a]) for a in range(4)]
            pairs = float(np.prod([s for s, _ in sums]) - np.prod([n for _, n in sums]))
            if k == 0:
                interior += pairs
            else:
                edges += pairs
    return interior, edges


def patch_samples(shape: tuple[int, ...], patch: list[int]) -> int:
    t, c, z, y, x = shape
    return (2 * patch[0] + 1) * (2 * patch[1] + 1) * (2 * (patch[2] if z > 1 else 0) + 1) * c * (
        2 * (patch[4] if t > 1 else 0) + 1)


def nominal_peak() -> tuple[float, str]:
    """FP32 GFLOP/s of all cores at the clock the kernel reports, two 16-lane fused
    multiply-adds per cycle (AVX-512); 8 lanes with AVX2 only. (The environment's
    reference BLAS reaches about 9 GFLOP/s, far from the machine's peak, so a matrix
    product cannot measure it.)"""
    info = Path("/proc/cpuinfo").read_text()
    megahertz = [float(line.split(":")[1]) for line in info.splitlines() if line.startswith("cpu MHz")]
    flags = next((line for line in info.splitlines() if line.startswith("flags")), "")
    lanes = 16 if "avx512f" in flags.split() else 8
    cores = len(megahertz) or 1
    clock = (max(megahertz) if megahertz else 2000.0) / 1000.0
    return cores * clock * 2 * 2 * lanes, f"{cores} cores × {clock:.2f} GHz × 2 FMA × {lanes} lanes × 2"


def timed(call: Callable[[], np.ndarray]) -> tuple[float, np.ndarray]:
    start = time.perf_counter()
    result = call()
    return time.perf_counter() - start, result


def rounds(contestants: dict[str, Callable[[], np.ndarray]], count: int) -> dict[str, tuple[float, np.ndarray]]:
    """Median seconds of each contestant over interleaved rounds, and its last result."""
    seconds: dict[str, list[float]] = {name: [] for name in contestants}
    results: dict[str, np.ndarray] = {}
    for _ in range(count):
        for name, call in contestants.items():
            elapsed, results[name] = timed(call)
            seconds[name].append(elapsed)
    return {name: (statistics.median(seconds[name]), results[name]) for name in contestants}


def best_by_psnr(case: Case, options: dict[str, Denoiser]) -> tuple[str, Denoiser]:
    """The option whose result on the case is closest to the clean data."""
    scores = {label: psnr(case.clean, denoise(case.noisy)) for label, denoise in options.items()}
    label = max(scores, key=scores.get)
    return label, options[label]


# ---------------------------------------------------------------- tables

def comparison(cases: list[Case], baseline: ModuleType | None, count: int, quick: bool,
               peak: float) -> dict[str, dict[str, float]]:
    """Prints the side-by-side table; returns per case the seconds of `_px`, the saved
    build, OpenCV and the package, and the kernel's share of the peak."""
    print("\n## Side by side (median seconds of interleaved rounds; all cores)\n")
    header = ["data", "tool", "seconds", "× pxvorel `_px`", "PSNR dB", "SSIM", "Mvoxel/s", "GFLOP/s", "% of peak"]
    print("| " + " | ".join(header) + " |")
    print("|" + "---|" * len(header))
    strengths = [0.8] if quick else [0.6, 0.8, 1.0, 1.2]
    found: dict[str, dict[str, float]] = {}
    for case in cases:
        shape = engine_shape(case)
        flops = neighbour_pairs(shape, case.patch) * patch_samples(shape, case.patch) * FLOPS_PER_TERM
        # fastNlMeansDenoisingMulti takes 8-bit data only.
        depths = (8,) if case.gain > 0 else (8, 16)
        cv_label, cv_run = best_by_psnr(case, {f"{b}-bit, h {s}σ": opencv(case, b, s) for b in depths
                                               for s in strengths})
        sk_label, sk_run = best_by_psnr(case, {f"h {s}σ": scikit(case, s) for s in strengths})
        tools = {"pxvorel `_px` defaults": native(px, case)}
        if baseline is not None:
            tools["pxvorel `_px` saved build"] = native(baseline, case)
        tools["`pxvorel.denoise` defaults"] = package(case)
        tools["`pxvorel.denoise` defaults with the stage"] = package(case, refine=True)
        tools[f"OpenCV ({cv_label})"] = cv_run
        tools[f"scikit-image fast ({sk_label})"] = sk_run
        timings = rounds({name: (lambda run=run: run(case.noisy)) for name, run in tools.items()}, count)
        ours = timings["pxvorel `_px` defaults"][0]
        found[case.name] = {"px": ours, "package": timings["`pxvorel.denoise` defaults"][0],
                            "opencv": timings[f"OpenCV ({cv_label})"][0], "peak share": flops / ours / 1e9 / peak}
        if baseline is not None:
            found[case.name]["saved"] = timings["pxvorel `_px` saved build"][0]
        for name, (seconds, result) in timings.items():
            engine = name.startswith("pxvorel `_px`")
            cells = [case.name, name, f"{seconds:.3f}", f"{seconds / ours:.2f}", f"{psnr(case.clean, result):.2f}",
                     f"{ssim(case.clean, result):.3f}", f"{case.clean.size / seconds / 1e6:.2f}",
                     f"{flops / seconds / 1e9:.1f}" if engine else "",
                     f"{100 * flops / seconds / 1e9 / peak:.1f} %" if engine else ""]
            print("| " + " | ".join(cells) + " |", flush=True)
        if case.slices > 1:
            per = {n: s / case.slices for n, (s, _) in timings.items() if not n.startswith(("pxvorel", "`pxvorel"))}
            print("| " + case.name + " | per slice, peers | " + ", ".join(f"{s:.3f}" for s in per.values())
                  + " | | | | | | |")
    return found


def engine_cpu_time(cases: list[Case], baseline: ModuleType | None) -> dict[str, tuple[float, bool]]:
    """One thread, process CPU seconds: what the engine itself costs, whatever else the
    machine runs at the same time. Returns per case the speed-up and whether the bits agree."""
    found: dict[str, tuple[float, bool]] = {}
    if baseline is None:
        return found
    print("\n## The engine alone: one thread, process CPU seconds (insensitive to other load)\n")
    print("| data | saved build | this build | speed-up | same bits |")
    print("|---|---|---|---|---|")
    for case in cases:
        seconds, results = [], []
        for module in (baseline, px):
            start = time.process_time()
            results.append(native(module, case, 1)(case.noisy))
            seconds.append(time.process_time() - start)
        same = np.array_equal(results[0].view(np.uint32), results[1].view(np.uint32))
        print(f"| {case.name} | {seconds[0]:.3f} | {seconds[1]:.3f} | {seconds[0] / seconds[1]:.2f} | "
              f"{'yes' if same else 'no'} |", flush=True)
        found[case.name] = (seconds[0] / seconds[1], same)
    return found


def opencv_threads(denoise: Denoiser, threads: int) -> Denoiser:
    """denoise with OpenCV limited to the given number of threads (the count before restored)."""

    def run(a: np.ndarray) -> np.ndarray:
        before = cv2.getNumThreads()
        cv2.setNumThreads(threads)
        try:
            return denoise(a)
        finally:
            cv2.setNumThreads(before)

    return run


def thread_scaling(cases: list[Case], count: int) -> dict[str, dict[str, float]]:
    """1 and 2 threads: the engine's own threads (`_px`), the package's bands
    (`pxvorel.denoise`, the one-thread bits) and OpenCV on the same data, whose gain
    shows what a second core gives on this machine at the time of the run."""
    print("\n## Thread scaling (median seconds of interleaved rounds, 1 thread / 2 threads, speed-up)\n")
    print("| data | `_px` defaults | `pxvorel.denoise` defaults | OpenCV |")
    print("|---|---|---|---|")
    found: dict[str, dict[str, float]] = {}
    for case in cases:
        peer = opencv(case, 8, 1.0)
        contestants = {}
        for n in (1, 2):
            contestants[f"px{n}"] = lambda n=n: native(px, case, n)(case.noisy)
            contestants[f"pkg{n}"] = lambda n=n: package(case, n)(case.noisy)
            contestants[f"cv{n}"] = lambda n=n: opencv_threads(peer, n)(case.noisy)
        timings = rounds(contestants, count)
        cells = []
        for tool in ("px", "pkg", "cv"):
            one, two = timings[f"{tool}1"][0], timings[f"{tool}2"][0]
            cells.append(f"{one:.3f} / {two:.3f} / {one / two:.2f}×")
            found.setdefault(case.name, {})[tool] = one / two
        print(f"| {case.name} | {' | '.join(cells)} |", flush=True)
    return found


def size_scaling(quick: bool, count: int) -> dict[str, list[float]]:
    """Throughput against size: one thread's process CPU time (what the engine costs,
    whatever else the machine runs) and the wall time on all cores."""
    print(f"\n## Size scaling (`_px` defaults, σ 15; CPU seconds of one thread, wall seconds of all cores, "
          f"median of {count})\n")
    print("| data | voxels | CPU s, 1 thread | Mvoxel/s | wall s, all cores | Mvoxel/s | edge passes' share of the pairs |")
    print("|---|---|---|---|---|---|---|")
    rng = np.random.default_rng(3)
    planes = [(n, n) for n in ((128, 256, 512) if quick else (256, 512, 1024, 2048))]
    stacks = [(d, 128, 128) for d in ((4, 8, 16) if quick else (8, 32, 128))]
    found: dict[str, list[float]] = {"planes": [], "stacks": []}
    for shape in planes + stacks:
        clean = smooth_scene(shape, 9)
        noisy = (clean + rng.normal(0.0, 15.0, shape)).astype(np.float32)
        case = Case("", clean, noisy, "YX" if len(shape) == 2 else "ZYX", [15.0],
                    patch=[3, 3, 0, 0, 0] if len(shape) == 2 else [3, 3, 1, 0, 0])
        cpu = []
        for _ in range(count):
            start = time.process_time()
            native(px, case, 1)(case.noisy)
            cpu.append(time.process_time() - start)
        seconds = rounds({"run": lambda case=case: native(px, case)(case.noisy)}, count)["run"][0]
        one = statistics.median(cpu)
        label = "×".join(map(str, shape))
        interior, edges = pairs_per_pass(engine_shape(case), case.patch)
        print(f"| {label} | {clean.size} | {one:.3f} | {clean.size / one / 1e6:.3f} | {seconds:.3f} | "
              f"{clean.size / seconds / 1e6:.3f} | {100 * edges / (interior + edges):.0f} % |", flush=True)
        found["planes" if len(shape) == 2 else "stacks"].append(clean.size / one / 1e6)
        if len(shape) == 3:
            found.setdefault("edge share", []).append(edges / (interior + edges))
            found.setdefault("depths", []).append(shape[0])
    return found


MEMORY_SHAPE = (64, 512, 512)
MEMORY_SCRIPT = """
import sys, numpy as np, pxvorel
def status(key):
    return next(int(line.split()[1]) * 1024 for line in open("/proc/self/status") if line.startswith(key))
image = np.random.default_rng(0).standard_normal({shape}, dtype=np.float32)
image *= 10
image += 100
base = status("VmRSS")
pxvorel.denoise(image, noise={noise}, iterations=1)
print((status("VmHWM") - base) / image.size)
"""


def peak_memory() -> dict[str, float]:
    """Peak resident memory of `pxvorel.denoise` above its input, in bytes per voxel, on a
    64×512² float32 stack with the default parameters and threads, each in a fresh
    process. One iteration: every iteration reuses the same arrays, so the peak is that
    of any number of iterations."""
    import subprocess
    import sys

    print(f"\n## Memory (`pxvorel.denoise`, {'×'.join(map(str, MEMORY_SHAPE))} float32, peak RSS above the input)\n")
    print("| noise | bytes per voxel |")
    print("|---|---|")
    found = {}
    for label, noise in (("known σ", "10.0"), ("estimated (default)", "'auto'")):
        script = MEMORY_SCRIPT.format(shape=MEMORY_SHAPE, noise=noise)
        output = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True).stdout
        found[label] = float(output.split()[-1])
        print(f"| {label} | {found[label]:.1f} |", flush=True)
    return found


def goals(cases: list[Case], side: dict[str, dict[str, float]], cpu: dict[str, tuple[float, bool]],
          threads: dict[str, dict[str, float]], sizes: dict[str, list[float]], memory: dict[str, float]) -> None:
    """The targets of the engine work, each with what this run measured."""
    print("\n## Targets\n")
    print("| target | measured | met |")
    print("|---|---|---|")

    def row(target: str, measured: str, met: bool | None) -> None:
        print(f"| {target} | {measured} | {'—' if met is None else 'yes' if met else 'no'} |")

    names = [case.name for case in cases]
    if cpu:
        gains = [cpu[n][0] for n in names]
        row("one thread: 1.25× less CPU time than the saved build on every row, the same bits",
            ", ".join(f"{g:.2f}×" for g in gains) + ("; same bits" if all(cpu[n][1] for n in names) else
                                                      "; BITS DIFFER"),
            min(gains) >= 1.25 and all(cpu[n][1] for n in names))
    limits = [("2-D", 1.3), ("3 channels", 0.8), ("stack (per slice)", 5.0), ("time-lapse", 0.6)]
    for name, (label, limit) in zip(names, limits):
        ratio = side[name]["package"] / side[name]["opencv"]
        row(f"{label}: package at most {limit:g}× OpenCV's time", f"{ratio:.2f}×", ratio <= limit)
    for name in (names[0], names[3]):
        if name in threads:
            gain = threads[name]["px"]
            row(f"`_px` on {name.split(',')[0]}: 2 threads 1.7× faster than 1", f"{gain:.2f}×", gain >= 1.7)
    for label, value in memory.items():
        row(f"memory, noise {label}: at most 36 bytes per voxel above the input", f"{value:.1f}", value <= 36)
    stacks = ", ".join(f"{v:.3f}" for v in sizes["stacks"])
    shares = ", ".join(f"{100 * v:.0f} %" for v in sizes.get("edge share", []))
    depths = ", ".join(f"{d:g}" for d in sizes.get("depths", []))
    row(f"thin stacks ({depths} slices): Mvoxel/s, one thread; edge passes' share", f"{stacks}; {shares}", None)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="smaller data, one round, one filter strength")
    parser.add_argument("--rounds", type=int, default=None, help="interleaved rounds (default 3, quick 1)")
    parser.add_argument("--baseline", type=Path, default=None,
                        help="a saved _px build to time in the same rounds (default: build/baseline/_px*.so if any)")
    args = parser.parse_args()
    count = args.rounds or (1 if args.quick else 3)
    saved = args.baseline or saved_build.default_path()
    baseline = saved_build.load(saved) if saved is not None else None

    cv2.setNumThreads(2)
    peak, formula = nominal_peak()
    print(f"# pxvorel vs OpenCV {cv2.__version__} and scikit-image\n")
    print(f"FP32 peak {peak:.0f} GFLOP/s ({formula}); saved build: {saved if baseline is not None else 'none'}; "
          f"rounds: {count}; kernel GFLOP/s count pairs × patch samples × {FLOPS_PER_TERM}")
    cases = make_cases(args.quick)
    side = comparison(cases, baseline, count, args.quick, peak)
    cpu = engine_cpu_time(cases, baseline)
    threads = thread_scaling([cases[0], cases[2], cases[3]], count)
    sizes = size_scaling(args.quick, max(1, count - 2))
    memory = peak_memory()
    goals(cases, side, cpu, threads, sizes, memory)


if __name__ == "__main__":
    main()
