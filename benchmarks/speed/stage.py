"""Speed of the second stage alone, with the package's block shapes.

All its passes (``_engine.wiener``) on random data of a 512² plane, a 32×256² stack and a
10×256² time-lapse, on 1 and 2 threads (best wall seconds; the result is the same on both):

    tools/py314 python3 -m benchmarks.speed.stage [--repeat 3]
"""

from __future__ import annotations

import argparse

import numpy as np

from benchmarks.timing import best
from pxvorel.run.refine import Blocks, refine

#: (name, (T, C, Z, Y, X) shape).
SHAPES = [
    ("plane 512²", (1, 1, 1, 512, 512)),
    ("stack 32×256²", (1, 1, 32, 256, 256)),
    ("time-lapse 10×256²", (10, 1, 1, 256, 256)),
]


def stage_seconds(shape: tuple[int, ...], threads: int, repeat: int) -> float:
    """Best wall seconds of the stage on random unit-noise data of a (T, C, Z, Y, X) shape."""
    rng = np.random.default_rng(0)
    noisy = rng.normal(5.0, 1.0, shape).astype(np.float32)
    pilot = (noisy * 0.5).astype(np.float32)
    blocks = Blocks.for_shape(shape)
    return best(lambda: refine(noisy, pilot, blocks, threads=threads), repeat)


def described(blocks: Blocks) -> str:
    """Each pass's block and steps along the axes it extends along."""
    return " then ".join(
        "×".join(str(p.size[a]) for a in "TZYX" if p.size[a] > 1)
        + " step "
        + ",".join(str(p.step[a]) for a in "TZYX" if p.size[a] > 1)
        for p in blocks.passes()
    )


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--repeat", type=int, default=3, help="runs per shape and thread count; the best counts")
    args = parser.parse_args()
    print("| stage alone | blocks | 1 thread s | 2 threads s | speed-up |")
    print("|---|---|---|---|---|")
    for name, shape in SHAPES:
        one, two = stage_seconds(shape, 1, args.repeat), stage_seconds(shape, 2, args.repeat)
        print(
            f"| {name} | {described(Blocks.for_shape(shape))} | {one:.3f} | {two:.3f} | {one / two:.2f}× |", flush=True
        )


if __name__ == "__main__":
    main()
