"""pxvorel side by side with OpenCV and scikit-image, in one process, on the same cores.

Synthetic smooth images with known clean versions and known noise (a 2-D image, three
channels of different noise, a z-stack and a Poisson-Gaussian time-lapse) are denoised by

- pxvorel's native module with its own defaults (``_px``: patch radius x 3, y 3, plus
  z 1 or t 1 where the row says so; all cores) and, with a saved build (``--baseline``,
  see tools/build_baseline.sh), that build too;
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
scaling, the peak memory of `pxvorel.denoise` on a 64×512² stack, and the targets:

    tools/py314 make bench
    tools/py314 python3 -m benchmarks.speed.vs_peers --quick
"""

from __future__ import annotations

import argparse
import statistics
import subprocess
import sys
import time
from collections.abc import Callable
from pathlib import Path
from types import ModuleType

import cv2
import numpy as np

import pxvorel
import pxvorel._px as px
from benchmarks import saved_build
from benchmarks.data import ROOT, Case, benchmark_cases, size_cases
from benchmarks.measures import psnr, ssim
from benchmarks.native import engine_call
from benchmarks.peers import Denoiser, opencv, opencv_threads, scikit
from benchmarks.timing import rounds
from benchmarks.work import FLOPS_PER_TERM, flops, nominal_peak, pairs_per_pass

#: Shape of the stack whose peak memory is measured.
MEMORY_SHAPE = (64, 512, 512)


def package(case: Case, threads: int | None = None, refine: bool = False) -> Denoiser:
    """`pxvorel.denoise` with its default parameters and the known noise: the engine alone,
    or with `refine`, followed by the second stage as the default call runs it."""
    return lambda a: pxvorel.denoise(a, axes=case.axes, noise=case.noise, threads=threads, refine=refine)


def best_by_psnr(case: Case, options: dict[str, Denoiser]) -> tuple[str, Denoiser]:
    """The option whose result on the case is closest to the clean data."""
    scores = {label: psnr(case.clean, denoise(case.noisy)) for label, denoise in options.items()}
    label = max(scores, key=lambda k: scores[k])
    return label, options[label]


def comparison(
    cases: list[Case], baseline: ModuleType | None, count: int, strengths: list[float], peak: float
) -> dict[str, dict[str, float]]:
    """Prints the side-by-side table; returns per case the seconds of `_px`, the saved
    build, OpenCV and the package, and the kernel's share of the peak."""
    print("\n## Side by side (median seconds of interleaved rounds; all cores)\n")
    header = ["data", "tool", "seconds", "× pxvorel `_px`", "PSNR dB", "SSIM", "Mvoxel/s", "GFLOP/s", "% of peak"]
    print("| " + " | ".join(header) + " |")
    print("|" + "---|" * len(header))
    found: dict[str, dict[str, float]] = {}
    for case in cases:
        work = flops(case.engine_shape(), case.patch)
        # fastNlMeansDenoisingMulti takes 8-bit data only.
        depths = (8,) if case.gain > 0 else (8, 16)
        cv_label, cv_run = best_by_psnr(
            case, {f"{b}-bit, h {s}σ": opencv(case, b, s) for b in depths for s in strengths}
        )
        sk_label, sk_run = best_by_psnr(case, {f"h {s}σ": scikit(case, s) for s in strengths})
        tools = {"pxvorel `_px` defaults": engine_call(px, case)}
        if baseline is not None:
            tools["pxvorel `_px` saved build"] = engine_call(baseline, case)
        tools["`pxvorel.denoise` defaults"] = package(case)
        tools["`pxvorel.denoise` defaults with the stage"] = package(case, refine=True)
        tools[f"OpenCV ({cv_label})"] = cv_run
        tools[f"scikit-image fast ({sk_label})"] = sk_run
        timings = rounds({name: (lambda run=run: run(case.noisy)) for name, run in tools.items()}, count)
        ours = timings["pxvorel `_px` defaults"][0]
        found[case.name] = {
            "px": ours,
            "package": timings["`pxvorel.denoise` defaults"][0],
            "opencv": timings[f"OpenCV ({cv_label})"][0],
            "peak share": work / ours / 1e9 / peak,
        }
        if baseline is not None:
            found[case.name]["saved"] = timings["pxvorel `_px` saved build"][0]
        for name, (seconds, result) in timings.items():
            engine = name.startswith("pxvorel `_px`")
            cells = [
                case.name,
                name,
                f"{seconds:.3f}",
                f"{seconds / ours:.2f}",
                f"{psnr(case.clean, result):.2f}",
                f"{ssim(case.clean, result):.3f}",
                f"{case.clean.size / seconds / 1e6:.2f}",
                f"{work / seconds / 1e9:.1f}" if engine else "",
                f"{100 * work / seconds / 1e9 / peak:.1f} %" if engine else "",
            ]
            print("| " + " | ".join(cells) + " |", flush=True)
        if case.slices > 1:
            per = {n: s / case.slices for n, (s, _) in timings.items() if not n.startswith(("pxvorel", "`pxvorel"))}
            print(
                "| "
                + case.name
                + " | per slice, peers | "
                + ", ".join(f"{s:.3f}" for s in per.values())
                + " | | | | | | |"
            )
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
            results.append(engine_call(module, case, 1)(case.noisy))
            seconds.append(time.process_time() - start)
        same = np.array_equal(results[0].view(np.uint32), results[1].view(np.uint32))
        print(
            f"| {case.name} | {seconds[0]:.3f} | {seconds[1]:.3f} | {seconds[0] / seconds[1]:.2f} | "
            f"{'yes' if same else 'no'} |",
            flush=True,
        )
        found[case.name] = (seconds[0] / seconds[1], same)
    return found


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
        contestants: dict[str, Callable[[], np.ndarray]] = {}
        for n in (1, 2):
            contestants[f"px{n}"] = lambda n=n: engine_call(px, case, n)(case.noisy)
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
    print(
        f"\n## Size scaling (`_px` defaults, σ 15; CPU seconds of one thread, wall seconds of all cores, "
        f"median of {count})\n"
    )
    print(
        "| data | voxels | CPU s, 1 thread | Mvoxel/s | wall s, all cores | Mvoxel/s "
        "| edge passes' share of the pairs |"
    )
    print("|---|---|---|---|---|---|---|")
    found: dict[str, list[float]] = {"planes": [], "stacks": []}
    for case in size_cases(quick):
        cpu = []
        for _ in range(count):
            start = time.process_time()
            engine_call(px, case, 1)(case.noisy)
            cpu.append(time.process_time() - start)
        seconds = rounds({"run": lambda case=case: engine_call(px, case)(case.noisy)}, count)["run"][0]
        one = statistics.median(cpu)
        size = case.clean.size
        interior, edges = pairs_per_pass(case.engine_shape(), case.patch)
        print(
            f"| {case.name} | {size} | {one:.3f} | {size / one / 1e6:.3f} | {seconds:.3f} | "
            f"{size / seconds / 1e6:.3f} | {100 * edges / (interior + edges):.0f} % |",
            flush=True,
        )
        stack = case.axes == "ZYX"
        found["stacks" if stack else "planes"].append(size / one / 1e6)
        if stack:
            found.setdefault("edge share", []).append(edges / (interior + edges))
            found.setdefault("depths", []).append(case.clean.shape[0])
    return found


MEMORY_SCRIPT = """
import numpy as np, pxvorel
from benchmarks.data import flat_noise
def status(key):
    return next(int(line.split()[1]) * 1024 for line in open("/proc/self/status") if line.startswith(key))
image = flat_noise({shape}, mean=100.0, sigma=10.0)
base = status("VmRSS")
pxvorel.denoise(image, noise={noise}, iterations=1)
print((status("VmHWM") - base) / image.size)
"""


def peak_memory() -> dict[str, float]:
    """Peak resident memory of `pxvorel.denoise` above its input, in bytes per voxel, on a
    64×512² float32 stack with the default parameters and threads, each in a fresh
    process. One iteration: every iteration reuses the same arrays, so the peak is that
    of any number of iterations."""
    print(f"\n## Memory (`pxvorel.denoise`, {'×'.join(map(str, MEMORY_SHAPE))} float32, peak RSS above the input)\n")
    print("| noise | bytes per voxel |")
    print("|---|---|")
    found = {}
    for label, noise in (("known σ", "10.0"), ("estimated (default)", "'auto'")):
        script = MEMORY_SCRIPT.format(shape=MEMORY_SHAPE, noise=noise)
        output = subprocess.run(
            [sys.executable, "-c", script], capture_output=True, text=True, check=True, cwd=ROOT
        ).stdout
        found[label] = float(output.split()[-1])
        print(f"| {label} | {found[label]:.1f} |", flush=True)
    return found


def goals(
    cases: list[Case],
    side: dict[str, dict[str, float]],
    cpu: dict[str, tuple[float, bool]],
    threads: dict[str, dict[str, float]],
    sizes: dict[str, list[float]],
    memory: dict[str, float],
) -> None:
    """The targets of the engine work, each with what this run measured."""
    print("\n## Targets\n")
    print("| target | measured | met |")
    print("|---|---|---|")

    def row(target: str, measured: str, met: bool | None) -> None:
        print(f"| {target} | {measured} | {'—' if met is None else 'yes' if met else 'no'} |")

    names = [case.name for case in cases]
    if cpu:
        gains = [cpu[n][0] for n in names]
        same = all(cpu[n][1] for n in names)
        row(
            "one thread: 1.25× less CPU time than the saved build on every row, the same bits",
            ", ".join(f"{g:.2f}×" for g in gains) + ("; same bits" if same else "; BITS DIFFER"),
            min(gains) >= 1.25 and same,
        )
    limits = [("2-D", 1.3), ("3 channels", 0.8), ("stack (per slice)", 5.0), ("time-lapse", 0.6)]
    for name, (label, limit) in zip(names, limits, strict=True):
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
    parser.add_argument(
        "--baseline",
        type=Path,
        default=None,
        help="a saved _px build to time in the same rounds (default: build/baseline/_px*.so if any)",
    )
    args = parser.parse_args()
    count = args.rounds or (1 if args.quick else 3)
    saved = args.baseline or saved_build.default_path()
    baseline = saved_build.load(saved) if saved is not None else None

    cv2.setNumThreads(2)
    peak, formula = nominal_peak()
    print(f"# pxvorel vs OpenCV {cv2.__version__} and scikit-image\n")
    print(
        f"FP32 peak {peak:.0f} GFLOP/s ({formula}); saved build: {saved if baseline is not None else 'none'}; "
        f"rounds: {count}; kernel GFLOP/s count pairs × patch samples × {FLOPS_PER_TERM}"
    )
    cases = benchmark_cases(args.quick)
    side = comparison(cases, baseline, count, [0.8] if args.quick else [0.6, 0.8, 1.0, 1.2], peak)
    cpu = engine_cpu_time(cases, baseline)
    threads = thread_scaling([cases[0], cases[2], cases[3]], count)
    sizes = size_scaling(args.quick, max(1, count - 2))
    memory = peak_memory()
    goals(cases, side, cpu, threads, sizes, memory)


if __name__ == "__main__":
    main()
