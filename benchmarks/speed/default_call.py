"""The default call on the real images, as users run it, beside OpenCV in the same run.

For one file of every kind in ``../shared/data`` (planes, channels, z-stacks, time-lapses;
planes larger than ``CROP`` along Y or X are cut to their central ``CROP`` x ``CROP``),
``pxvorel.denoise(image, axes=...)`` with nothing else given (the noise measured, the
settings chosen, the engine, the second stage, the transform back) runs in a fresh child
process per measurement, which reports

- CPU seconds of the process (all its threads) and wall seconds, on 1 and 2 threads, and
  on 1 and 2 threads again while another process keeps one core busy (a busy loop pinned to
  the last core, as a desktop running napari would);
- the peak resident memory above the input (``VmHWM`` minus ``VmRSS`` once the image is
  read), in bytes per voxel;
- the one-thread CPU seconds of each step, from the profiler's cumulative times of the
  package's step functions in a second call (the timed call runs without the profiler),
  and the noise step's share of the call (NOISE_SHARE at most);
  with ``--wall-steps`` the profiler counts wall seconds instead, and each step's wall
  seconds on 1 and 2 threads are printed side by side with their ratio (where the second
  thread idles: a step near 1x runs on one thread);

and OpenCV's ``fastNlMeansDenoising`` (per 2-D plane, 8-bit, 7 x 7 patches, 21 x 21 search,
h 10) on the same planes with 1 and 2 threads. The rounds are interleaved (every
measurement once, then again) and medians count. The load average of the machine and the
kernel's instruction set are printed with the figures:

    tools/py314 python3 -m benchmarks.speed.default_call [--repeat 3] [--quick] [--only TEXT] [--wall-steps]

``--kernel avx2`` runs the engine's kernel on another instruction set than the widest (as on a
processor without AVX-512); ``--package DIR`` measures another build of the package beside this
one, in the same rounds (e.g. main's, installed with ``pip install --target DIR``).
"""

from __future__ import annotations

import argparse
import cProfile
import json
import math
import os
import pstats
import statistics
import subprocess
import sys
import time
from collections.abc import Iterator
from contextlib import contextmanager, nullcontext
from pathlib import Path
from typing import Any

import numpy as np

from benchmarks.data import DATA, ROOT, RealImage, present

#: Planes are cut to their central CROP x CROP samples (the 1024² confocal pair).
CROP = 512
#: One file of every kind; ``--quick`` takes the first of each group of three.
FILES = (
    "2d_er_exit_sites_noisy_u16.tif",
    "pair_nucleus_lowsnr_u8.tif",
    "pair_mito_confocal_lowsnr_u8.tif",
    "3d_nuclear_envelope_drosophila_u8.tif",
    "3d_golgi_bfa_u16.tif",
    "3dc_spots_2ch_u16.tif",
    "2dt_nuclei_mitocheck_30frames_u8.tif",
    "2dt_cancer_cell_nuclei_48frames_u16.tif",
    "2dc_hela_dna_tubulin_actin_3ch_u16.tif",
)
QUICK = (
    "2d_er_exit_sites_noisy_u16.tif",
    "3d_nuclear_envelope_drosophila_u8.tif",
    "2dt_nuclei_mitocheck_30frames_u8.tif",
)

#: The steps of a run, by the package function whose cumulative time is the step's ("run" is
#: the run after the choice: engine and second stage; "engine" and "stage" count every native
#: call, the choice's runs on its tiles included).
STEPS = {
    "noise": ("pxvorel/noise/choose.py", "choose_model"),
    "choice": ("pxvorel/quality/tile_choice.py", "choose"),
    "to unit": ("pxvorel/run/unit.py", "of"),
    "run": ("pxvorel/run/execute.py", "execute"),
    "back": ("pxvorel/run/unit.py", "back"),
    "engine": ("~", "<built-in method pxvorel._engine.denoise>"),
    "stage": ("~", "<built-in method pxvorel._engine.wiener>"),
}
#: The steps that do not overlap: the rest of the call's CPU time is "other".
APART = ("noise", "choice", "to unit", "run", "back")
#: The largest share of the call's CPU time the noise step should take.
NOISE_SHARE = 0.1


def step_seconds(stats: dict[tuple[str, int, str], Any]) -> dict[str, float]:
    """CPU seconds of every step of STEPS from a profile's raw statistics ("run": the calls of
    `execute` made by the pipeline itself, not the choice's)."""
    found = {}
    for step, (path, function) in STEPS.items():
        entries = [(k, v) for k, v in stats.items() if k[0].endswith(path) and k[2] == function]
        if step == "run":
            found[step] = sum(
                ct for _, v in entries for c, (_, _, _, ct) in v[4].items() if c[0].endswith("pipeline.py")
            )
        else:
            found[step] = sum(v[3] for _, v in entries)
    return found


def read(image: RealImage) -> tuple[np.ndarray, str]:
    """The file's samples (planes cut to CROP x CROP around their centre) and axes."""
    found = image.read()
    data = np.asarray(found.data)
    cut = []
    for axis, n in zip(found.axes, data.shape, strict=True):
        start = (n - CROP) // 2 if axis in "YX" and n > CROP else 0
        cut.append(slice(start, start + CROP) if axis in "YX" else slice(None))
    return np.ascontiguousarray(data[tuple(cut)]), found.axes


def _status(key: str) -> int:
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) * 1024 for line in status if line.startswith(key))


def child(file: str, tool: str, threads: int, wall_steps: bool = False) -> dict[str, object]:
    """One measurement in this (fresh) process; the steps' times in wall seconds where `wall_steps`
    (the profiler sees the calling thread only: a step's wall time there is the step's)."""
    import cv2
    import numpy.fft
    import numpy.ma
    import numpy.random  # noqa: F401  (imported by the call; loaded before its memory is measured)

    import pxvorel

    data, axes = read(next(iter(present([file]))))
    base = _status("VmRSS")
    steps: dict[str, float] = {}
    if tool == "pxvorel":
        cpu, wall = time.process_time(), time.perf_counter()
        pxvorel.denoise(data, axes=axes, threads=threads)
        cpu, wall = time.process_time() - cpu, time.perf_counter() - wall
        peak = (_status("VmHWM") - base) / data.size
        # the steps from a second, profiled call: the profiler's own work runs on the calling
        # thread alone and would lower the timed call's gain from a second thread
        profile = cProfile.Profile(time.perf_counter if wall_steps else time.process_time)
        profile.enable()
        pxvorel.denoise(data, axes=axes, threads=threads)
        profile.disable()
        steps = step_seconds(pstats.Stats(profile).stats)  # type: ignore[attr-defined,unused-ignore]
    else:
        cv2.setNumThreads(threads)
        planes = data.reshape(-1, *data.shape[-2:]).astype(np.float32)
        cpu, wall = time.process_time(), time.perf_counter()
        for plane in planes:
            low, high = float(plane.min()), float(plane.max())
            scaled = np.clip((plane - low) * (255.0 / max(high - low, 1e-6)), 0, 255).astype(np.uint8)
            cv2.fastNlMeansDenoising(scaled, None, 10.0, 7, 21)
        cpu, wall = time.process_time() - cpu, time.perf_counter() - wall
        peak = (_status("VmHWM") - base) / data.size
    return {"cpu": cpu, "wall": wall, "peak": peak, "steps": steps, "size": data.size, "shape": list(data.shape)}


@contextmanager
def busy_core() -> Iterator[None]:
    """A busy loop in another process, pinned to the last core, while the block runs (it ends
    by itself should this process end first)."""
    core = max(os.sched_getaffinity(0))
    loop = (
        f"import os\nparent = os.getppid()\nos.sched_setaffinity(0, {{{core}}})\n"
        "while os.getppid() == parent:\n    for _ in range(100_000): pass"
    )
    busy = subprocess.Popen([sys.executable, "-c", loop], stdin=subprocess.DEVNULL)
    time.sleep(0.2)
    try:
        yield
    finally:
        busy.kill()
        busy.wait()


def measure(
    file: str, tool: str, threads: int, busy: bool, kernel: str | None, package: Path | None, wall_steps: bool = False
) -> dict[str, Any]:
    """One measurement in a fresh child process: with a core kept busy where `busy`, the
    kernel's instruction set chosen where `kernel` names one, and the package imported from
    `package` where given (a saved build of another commit)."""
    command = [sys.executable, "-m", "benchmarks.speed.default_call", "--child", file, tool, str(threads)]
    if kernel is not None:
        command += ["--kernel", kernel]
    if wall_steps:
        command.append("--wall-steps")
    environment = dict(os.environ)
    if package is not None:
        environment["PYTHONPATH"] = os.pathsep.join([str(package), str(ROOT)])
    with busy_core() if busy else nullcontext():
        output = subprocess.run(command, capture_output=True, text=True, check=True, cwd=ROOT, env=environment).stdout
    result: dict[str, Any] = json.loads(output.splitlines()[-1])
    return result


def processor() -> str:
    """The processor's model and its widest vector instructions (from /proc/cpuinfo)."""
    with open("/proc/cpuinfo") as info:
        fields = {k.strip(): v.strip() for k, v in (line.split(":", 1) for line in info if ":" in line)}
    flags = fields.get("flags", "").split()
    widest = "AVX-512" if "avx512f" in flags else "AVX2" if "avx2" in flags else "no AVX2"
    return f"{fields.get('model name', '?')}, {widest}"


#: (label, tool, threads, busy) of every measurement of a file.
RUNS = (
    ("1 thread", "pxvorel", 1, False),
    ("2 threads", "pxvorel", 2, False),
    ("1 thread, core busy", "pxvorel", 1, True),
    ("2 threads, core busy", "pxvorel", 2, True),
    ("OpenCV 1 thread", "opencv", 1, False),
    ("OpenCV 2 threads", "opencv", 2, False),
)


def table(header: list[str], rows: list[list[str]]) -> None:
    """A markdown table."""
    print("| " + " | ".join(header) + " |")
    print("|" + "---|" * len(header))
    for row in rows:
        print("| " + " | ".join(row) + " |")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--repeat", type=int, default=1, help="interleaved rounds; medians count (default 1)")
    parser.add_argument("--quick", action="store_true", help="one plane, one stack, one time-lapse")
    parser.add_argument("--only", default="", help="only the files whose name holds this")
    parser.add_argument("--no-busy", action="store_true", help="leave out the runs beside a busy core")
    parser.add_argument("--kernel", choices=("avx512", "avx2", "portable"), help="the kernel's instruction set")
    parser.add_argument(
        "--package",
        type=Path,
        help="a folder holding another build of the package (pip --target), measured beside this one",
    )
    parser.add_argument(
        "--wall-steps", action="store_true", help="the steps' wall seconds on 1 and 2 threads instead of CPU seconds"
    )
    parser.add_argument("--child", nargs=3, metavar=("FILE", "TOOL", "THREADS"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        import pxvorel._engine as engine

        # A saved build may not let its kernel be chosen (nor report it): it runs its widest.
        choose = getattr(engine, "kernel_path", None)
        kernel = "widest" if choose is None else choose(args.kernel)
        file, tool, threads = args.child
        print(json.dumps(child(file, tool, int(threads), args.wall_steps) | {"kernel": kernel}))
        return
    images = [i for i in present(QUICK if args.quick else FILES) if args.only in i.file]
    if not images:
        print(f"none of the real images is present in {DATA}: nothing to measure")
        return
    runs = [r for r in RUNS if not (args.no_busy and r[3])]
    builds: dict[str, Path | None] = {"this build": None}
    if args.package is not None:
        builds["other build"] = args.package.resolve()
    print(
        f"cores: {len(os.sched_getaffinity(0))}; processor: {processor()}; "
        f"load average at start: {' '.join(f'{x:.1f}' for x in os.getloadavg())}"
    )
    figures: dict[tuple[str, str, str], list[dict[str, Any]]] = {}
    for _ in range(args.repeat):
        for image in images:
            for build, package in builds.items():
                for label, tool, threads, busy in runs:
                    if tool == "opencv" and build != "this build":
                        continue
                    found = measure(image.file, tool, threads, busy, args.kernel, package, args.wall_steps)
                    figures.setdefault((image.file, build, label), []).append(found)
    print(f"load average at end: {' '.join(f'{x:.1f}' for x in os.getloadavg())}\n")

    def median(file: str, build: str, label: str, key: str) -> float:
        return statistics.median(float(r[key]) for r in figures[(file, build, label)])

    rows = []
    for image in images:
        for build in builds:
            first = figures[(image.file, build, "1 thread")][0]
            mvoxel = first["size"] / 1e6
            cpu = median(image.file, build, "1 thread", "cpu")
            wall = {
                label: median(image.file, build, label, "wall")
                for label, *_ in runs
                if (image.file, build, label) in figures
            }
            busy = wall.get("2 threads, core busy", math.nan) / wall.get("1 thread, core busy", math.nan)
            opencv = median(image.file, "this build", "OpenCV 2 threads", "wall")
            rows.append(
                [
                    image.name,
                    f"{build} ({first['kernel']})",
                    "×".join(map(str, first["shape"])),
                    f"{mvoxel:.2f}",
                    f"{cpu:.2f}",
                    f"{mvoxel / cpu:.3f}",
                    f"{wall['1 thread']:.2f}",
                    f"{wall['2 threads']:.2f}",
                    f"{wall['1 thread'] / wall['2 threads']:.2f}x",
                    f"{wall.get('1 thread, core busy', math.nan):.2f}",
                    f"{wall.get('2 threads, core busy', math.nan):.2f}",
                    f"{busy:.2f}",
                    f"{median(image.file, build, '2 threads', 'peak'):.1f}",
                    f"{opencv:.2f}",
                    f"{wall['2 threads'] / opencv:.1f}x",
                ]
            )
    table(
        [
            "file",
            "build",
            "shape",
            "Mvoxel",
            "CPU s, 1 thread",
            "Mvoxel / CPU s",
            "wall s, 1 thread",
            "wall s, 2 threads",
            "2 threads vs 1",
            "core busy: wall s, 1 thread",
            "core busy: 2 threads",
            "core busy: 2 / 1",
            "peak bytes / voxel",
            "OpenCV wall s, 2 threads",
            "default call / OpenCV",
        ],
        rows,
    )
    if args.wall_steps:
        print(
            "\nWall seconds per step on 1 and 2 threads (the profiler's on the calling thread, medians; "
            "'run' is the engine and the stage after the choice; 'engine' and 'stage' count only the calls "
            "made on the calling thread, not those on the bands' threads; 'other' is the rest of the call):\n"
        )
        rows = []
        for image in images:
            for build in builds:
                wall = {}
                for label in ("1 thread", "2 threads"):
                    found = figures[(image.file, build, label)]
                    steps = {s: statistics.median(float(r["steps"][s]) for r in found) for s in STEPS}
                    steps["other"] = median(image.file, build, label, "wall") - sum(steps[s] for s in APART)
                    wall[label] = steps
                rows.append(
                    [
                        image.name,
                        build,
                        *(
                            f"{one:.3f} / {two:.3f} ({one / two if two > 0 else math.nan:.2f}x)"
                            for one, two in zip(wall["1 thread"].values(), wall["2 threads"].values(), strict=True)
                        ),
                    ]
                )
        table(["file", "build", *(f"{s}: 1 / 2 threads" for s in (*STEPS, "other"))], rows)
        return
    print(
        "\nOne-thread CPU seconds per step (the profiler's, medians; 'run' is the engine and the stage after the "
        "choice, 'engine' and 'stage' count all their calls, the choice's too; 'other' is the rest of the call; "
        f"'noise share' is the noise step's share of the call's CPU seconds, target at most {NOISE_SHARE}):\n"
    )
    rows = []
    for image in images:
        for build in builds:
            found = figures[(image.file, build, "1 thread")]
            steps = {s: statistics.median(float(r["steps"][s]) for r in found) for s in STEPS}
            cpu = median(image.file, build, "1 thread", "cpu")
            other = cpu - sum(steps[s] for s in APART)
            share = steps["noise"] / cpu
            rows.append([image.name, build, *(f"{v:.2f}" for v in steps.values()), f"{other:.2f}", f"{share:.3f}"])
    table(["file", "build", *STEPS, "other", "noise share"], rows)


if __name__ == "__main__":
    main()
