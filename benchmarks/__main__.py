"""Lists the benchmarks, or runs each of them once in a short form, one after another:

tools/py314 python3 -m benchmarks            # the list, with each one's command
tools/py314 python3 -m benchmarks --smoke    # every benchmark in its short form (tens of minutes)
tools/py314 python3 -m benchmarks --smoke --only quality
"""

from __future__ import annotations

import argparse
import importlib
import subprocess
import sys
import time

from benchmarks import saved_build
from benchmarks.data import ROOT

#: (module, the arguments of its short form).
BENCHMARKS = [
    ("speed.default_call", ["--quick", "--no-busy"]),
    ("speed.vs_peers", ["--quick"]),
    ("speed.engine", ["--threads", "1"]),
    ("speed.stage", ["--repeat", "1"]),
    ("speed.chunked", ["--big-gib", "0", "--workers", "1", "--skip-two-threads"]),
    ("quality.vs_bm3d", ["--quick"]),
    ("quality.tuning", ["--quick"]),
    ("quality.second_stage", ["--quick"]),
    ("quality.defaults_by_kind", ["--quick", "--only", "time-lapse"]),
    ("quality.channels", ["--quick"]),
    ("quality.choose_defaults", ["--frames", "4", "--size", "64"]),
    ("validation.check_bit_identity", ["--only", "microtubules"]),
    ("validation.real_image_trust", ["--only", "microtubules"]),
    ("validation.sure_accuracy", ["--draws", "2"]),
    ("validation.promises", []),
    ("validation.montage", ["--only", "microtubules"]),
]


def summary(module: str) -> str:
    """The first line of the benchmark's docstring."""
    doc = importlib.import_module(f"benchmarks.{module}").__doc__ or ""
    return doc.strip().splitlines()[0]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--smoke", action="store_true", help="run every benchmark once in its short form")
    parser.add_argument("--only", default="", help="only the benchmarks whose module name holds this")
    args = parser.parse_args()
    chosen = [(m, a) for m, a in BENCHMARKS if args.only in m]
    if not args.smoke:
        for module, _ in chosen:
            print(f"python3 -m benchmarks.{module:<28} {summary(module)}")
        return
    failed, skipped = [], []
    for module, arguments in chosen:
        if module == "validation.check_bit_identity" and saved_build.default_path() is None:
            print(f"## {module}: skipped (no saved build: tools/build_baseline.sh)\n", flush=True)
            skipped.append(module)
            continue
        command = [sys.executable, "-m", f"benchmarks.{module}", *arguments]
        print(f"## {' '.join(command[1:])}\n", flush=True)
        start = time.perf_counter()
        status = subprocess.run(command, cwd=ROOT).returncode
        print(f"\n({module}: exit status {status}, {time.perf_counter() - start:.0f} s)\n", flush=True)
        if status != 0:
            failed.append(module)
    ran = len(chosen) - len(skipped)
    print(
        f"{ran - len(failed)} of {ran} ran without error"
        + (f"; failed: {', '.join(failed)}" if failed else "")
        + (f"; skipped: {', '.join(skipped)}" if skipped else "")
    )
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
