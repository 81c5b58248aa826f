"""Which part of a run leaves the texture that the figure finds: every case run again with one
part changed, each judged against its own Gaussian blur of the same noise reduction.

Per case (and channel), one row per run, with the default run's noise model throughout:

- default: the default call (its settings chosen on tiles where it chooses);
- engine alone: the same settings without the second stage;
- fixed: the default setting without the choice on tiles (what ``patch_radius=2`` gives; 1 in
  X and Y on a time-lapse), with its stage;
- fixed engine alone: the same without the stage;
- stage alone: the default run's second stage on the unit-noise image with a Gaussian blur of
  it as the pilot in the engine's stead (the blur's sigma is that of the blur that matches the
  default output).

A run that repeats an earlier one (the fixed runs where the default call keeps the default
setting) is not run again. The cells are ratios to the run's own blur; for a bad pixel the
footprint follows (area and ringing, output / blur).

    tools/py314 python3 -m benchmarks.quality.texture_diagnosis [--only TEXT] [--synthetic]
"""

from __future__ import annotations

import argparse
import dataclasses
import math
import time

from benchmarks.quality.texture import MEASURES
from benchmarks.quality.texture_cases import Case, defect_cases, flat_cases, real_cases
from benchmarks.quality.texture_figure import TOLERANCE, Denoiser, Judgement, judge_case, judge_output, replay
from benchmarks.quality.texture_runs import Run, describe, fixed_settings, run_with, stage_alone
from pxvorel.run.settings import Settings


def variants(case: Case, run: Run, sigma: float) -> list[tuple[str, Settings, Denoiser]]:
    """The runs other than the default one: a name, the settings whose lattices they are judged
    on, and the run itself on an image."""
    chosen = run.settings
    fixed = dataclasses.replace(fixed_settings(case.image, case.axes), threads=1)

    def with_settings(settings: Settings) -> Denoiser:
        return lambda image: run_with(image, case.axes, run.model, settings)

    found: list[tuple[str, Settings, Denoiser]] = []
    seen = [dataclasses.replace(chosen, automatic=False, threads=1)]
    for name, settings in (
        ("engine alone", dataclasses.replace(chosen, refine=False)),
        ("fixed", fixed),
        ("fixed engine alone", dataclasses.replace(fixed, refine=False)),
    ):
        key = dataclasses.replace(settings, automatic=False, threads=1)
        if key not in seen:
            seen.append(key)
            found.append((name, settings, with_settings(settings)))
    found.append(("stage alone", chosen, lambda image: stage_alone(image, case.axes, run.model, chosen, sigma)))
    return found


def row(name: str, judgement: Judgement) -> str:
    ratios, worse = judgement.ratios(), judgement.worse()
    cells = ["–" if not math.isfinite(ratios[k]) else f"{ratios[k]:.2f}{'*' if k in worse else ''}" for k in MEASURES]
    if judgement.footprints is not None:
        out, blur = judgement.footprints
        cells.append(f"{out.area} / {blur.area}, {out.ringing:.1f} / {blur.ringing:.1f}")
    return f"| {name} | {judgement.sd:.3g} | {judgement.sigma:.2f} | " + " | ".join(cells) + " |"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--only", default="", help="only the cases whose name holds this text")
    parser.add_argument("--synthetic", action="store_true", help="leave out the real images")
    args = parser.parse_args()
    cases = flat_cases() + defect_cases() + ([] if args.synthetic else real_cases())
    start = time.perf_counter()
    for case in (c for c in cases if args.only in c.name):
        run, defaults = judge_case(case, None)
        again = replay(case, run)(case.image)
        same = bool((again == run.output).all())
        rows: dict[int, list[str]] = {
            c: [row(f"default ({describe(run.settings)})", j)] for c, j in enumerate(defaults)
        }
        for name, settings, denoiser in variants(case, run, defaults[0].sigma):
            for c, j in enumerate(judge_output(case, denoiser(case.image), settings, run.shape, denoiser, None)):
                rows[c].append(row(f"{name} ({describe(settings)})" if name != "stage alone" else name, j))
        for c, lines in rows.items():
            channel = f", channel {c}" if len(rows) > 1 else ""
            print(f"\n### {case.name}{channel}" + ("" if same else " (the replayed default differs from the call's)"))
            header = ["run", "residual sd", "blur sigma", *MEASURES] + (
                ["footprint area, ringing"] if case.defect else []
            )
            print("\n| " + " | ".join(header) + " |\n|" + "---|" * len(header))
            print("\n".join(lines), flush=True)
    print(
        f"\n(* worse than the blur: output above it and above 1 by more than {TOLERANCE}; "
        f"{time.perf_counter() - start:.0f} s)"
    )


if __name__ == "__main__":
    main()
